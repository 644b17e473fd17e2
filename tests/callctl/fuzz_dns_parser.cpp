// libFuzzer entry for the DNS reader (built when the compiler is clang):
// any input must be read or refused without a sanitizer report. The first
// byte picks the type asked and the form: mostly the input is the rest of
// an answer behind our header and question ("sip.test"), so the fuzzer
// works on the records; otherwise it is the whole message, its own ID taken
// as the query's. What the reader lets through must hold its promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/dns.h"

using namespace callctl;

namespace {

bool printable_name(const std::string &n) {
    if (n.empty()) return true;  // the root
    if (n.front() == '.' || n.back() == '.' || n.find("..") != std::string::npos || n.size() > 253) return false;
    for (unsigned char c : n)
        if (c <= 0x20 || c >= 0x7F || (c >= 'A' && c <= 'Z')) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    static const uint16_t kTypes[] = {dns::kA, dns::kSrv, dns::kNaptr, dns::kCname};
    const uint16_t type = kTypes[data[0] % 4];
    std::string built;
    if (data[0] & 0x80) {
        built.assign(reinterpret_cast<const char *>(data) + 1, size - 1);
    } else if (size >= 9) {
        // ID 0x1234, the input's flags, one question, the input's counts.
        built = std::string("\x12\x34", 2) + std::string(reinterpret_cast<const char *>(data) + 1, 2) +
                std::string("\0\1", 2) + std::string(reinterpret_cast<const char *>(data) + 3, 6) +
                std::string("\3sip\4test\0", 10) + char(type >> 8) + char(type & 0xFF) + std::string("\0\1", 2) +
                std::string(reinterpret_cast<const char *>(data) + 9, size - 9);
    } else {
        return 0;
    }
    const uint8_t *msg = reinterpret_cast<const uint8_t *>(built.data());
    const size_t len = built.size();
    const uint16_t id = uint16_t(msg[0] << 8 | msg[1]);
    dns::Answer a;
    a.ttl = 4242;
    const dns::ParseResult r = dns::parse_answer(msg, len, id, "sip.test", type, &a);
    if (r.offset > len) std::abort();
    if (!r) {
        if (a.ttl != 4242 || !a.records.empty()) std::abort();  // untouched
        return 0;
    }
    if (a.truncated && !a.records.empty()) std::abort();
    for (const dns::Record &rec : a.records) {
        if (rec.ttl > 0x7FFFFFFFu || rec.ttl < a.ttl) std::abort();
        if (!printable_name(rec.srv.target) || !printable_name(rec.naptr.replacement)) std::abort();
    }
    return 0;
}
