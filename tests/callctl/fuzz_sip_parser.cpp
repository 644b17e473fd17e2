// libFuzzer entry for the SIP parser (built when the compiler is clang):
// any input must parse or be refused without a sanitizer report, and a
// message that parses must have its validated fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sip/sip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    callctl::sip::Message m;
    if (m.parse(reinterpret_cast<const char *>(data), size)) {
        if (m.call_id().empty() || m.cseq_method().empty()) std::abort();
        if (m.is_request() && m.method() != m.cseq_method()) std::abort();
        // The field helpers must also hold up on whatever the parser let through.
        for (const auto &h : m.headers()) {
            callctl::sip::NameAddr na;
            callctl::sip::parse_name_addr(h.value, &na);
            std::string_view v;
            callctl::sip::find_param(h.value, "tag", &v);
        }
    }
    return 0;
}
