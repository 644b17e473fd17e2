// The SIP parser and the field helpers: any datagram parses or is refused without a
// sanitizer report. A message that parses has its validated fields, every view it
// hands out lies in its own copy of the datagram, and its text (folding undone in
// place) parses again to the same message.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "sip/sip.h"

using namespace callctl::sip;

namespace {

bool Inside(std::string_view v, const std::string &raw)
{
    return v.empty() || (v.data() >= raw.data() && v.data() + v.size() <= raw.data() + raw.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Message m;
    const ParseResult r = m.parse(reinterpret_cast<const char *>(data), size);
    if (!r) {
        FUZZ_CHECK(r.offset <= size);
        FUZZ_CHECK(parse_error_text(r.error) != nullptr);
        return 0;
    }

    const std::string &raw = m.raw();
    FUZZ_CHECK(raw.size() == size);
    FUZZ_CHECK(!m.call_id().empty() && !m.cseq_method().empty());
    FUZZ_CHECK(!m.is_request() || m.method() == m.cseq_method());
    FUZZ_CHECK(m.is_request() || (m.status() >= 100 && m.status() <= 699));
    for (std::string_view v : {m.method(), m.request_uri(), m.reason(), m.body(), m.call_id(), m.cseq_method(),
                               m.from_tag(), m.to_tag(), m.top_via().host, m.top_via().branch, m.from().uri_text,
                               m.to().uri_text})
        FUZZ_CHECK(Inside(v, raw));

    for (const HeaderField &h : m.headers()) {
        FUZZ_CHECK(Inside(h.name, raw) && Inside(h.value, raw));
        FUZZ_CHECK(header_id(h.name) == h.id);
        FUZZ_CHECK(h.id == Hdr::Other || m.find(h.id) != nullptr);
        FUZZ_CHECK(m.find(h.name) != nullptr);
        // The helpers hold up on whatever the parser let through.
        NameAddr na;
        if (parse_name_addr(h.value, &na)) {
            FUZZ_CHECK(Inside(na.uri_text, raw) && Inside(na.params, raw));
            std::string_view tag;
            find_param(na.params, "tag", &tag);
        }
        Via via;
        parse_via(h.value, &via);
        Uri uri;
        parse_uri(h.value, &uri);
        for_each_element(h.value, [](std::string_view el) {
            NameAddr e;
            parse_name_addr(el, &e);
            return true;
        });
        uint64_t n = 0;
        parse_uint(h.value, 0xFFFFFFFFu, &n);
    }

    Message again;
    FUZZ_CHECK(static_cast<bool>(again.parse(raw)));
    FUZZ_CHECK(again.raw() == raw);
    FUZZ_CHECK(again.headers().size() == m.headers().size());
    FUZZ_CHECK(again.call_id() == m.call_id() && again.cseq() == m.cseq() && again.body() == m.body());
    FUZZ_CHECK(again.method() == m.method() && again.status() == m.status());
    return 0;
}
