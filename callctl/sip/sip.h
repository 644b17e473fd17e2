// SIP message model: parser, field grammar helpers and the message writer.
//
// A parsed Message owns one copy of the datagram; every string_view it hands
// out points into that copy and lives as long as the Message. Parsing
// validates the grammar the transaction layer relies on (start line, Via,
// From, To, Call-ID, CSeq, Content-Length and the single-valued headers) so
// a message that parses can be acted on without further checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace callctl::sip {

constexpr size_t kMaxMessage = 65536;

enum class Hdr : uint8_t {
    Other,
    Accept,
    Allow,
    Authorization,
    CallId,
    Contact,
    ContentEncoding,
    ContentLength,
    ContentType,
    CSeq,
    Date,
    Event,
    Expires,
    From,
    MaxForwards,
    MinExpires,
    ProxyAuthenticate,
    ProxyAuthorization,
    RecordRoute,
    Route,
    Server,
    Subject,
    Supported,
    To,
    UserAgent,
    Via,
    WwwAuthenticate,
    Count
};

// Header id from a field name; long and compact forms, case-insensitive.
Hdr header_id(std::string_view name);
// The name written for an id ("Call-ID").
std::string_view header_name(Hdr id);

struct HeaderField {
    std::string_view name;
    std::string_view value;  // trimmed, folding replaced by spaces
    Hdr id;
};

enum class ParseError {
    None,
    Empty,
    TooLarge,
    BadStartLine,
    BadVersion,
    BadHeaderLine,
    MissingHeader,
    DuplicateHeader,
    BadVia,
    BadFromTo,
    BadCallId,
    BadCSeq,
    CSeqMismatch,
    BadContentLength,
    BadContact,
    BadNumber,
    BadDate,
    TooManyHeaders,
};
const char *parse_error_text(ParseError e);

struct ParseResult {
    ParseError error = ParseError::None;
    size_t offset = 0;  // byte offset of the faulty line in the input
    explicit operator bool() const { return error == ParseError::None; }
};

// A SIP or SIPS URI split into its parts (views into the text parsed);
// other schemes keep only scheme and the rest in `opaque`.
struct Uri {
    std::string_view scheme;
    std::string_view user;  // without password
    std::string_view password;
    std::string_view host;  // IPv6 references keep their brackets
    uint16_t port = 0;      // 0: none given
    std::string_view params;   // ";a=b;c" (leading ';' included) or empty
    std::string_view headers;  // after '?' or empty
    std::string_view opaque;   // non-SIP schemes: everything after ':'
    bool is_sip() const;
};
bool parse_uri(std::string_view text, Uri *out);

// name-addr or addr-spec with its header parameters (From, To, Contact...).
struct NameAddr {
    std::string_view display;  // unquoted view, may contain escapes
    std::string_view uri_text;
    Uri uri;
    std::string_view params;  // ";tag=x;expires=3" or empty
    bool bracketed = false;
};
bool parse_name_addr(std::string_view text, NameAddr *out);

struct Via {
    std::string_view transport;  // "UDP"
    std::string_view host;
    uint16_t port = 0;
    std::string_view params;
    std::string_view branch;
    std::string_view received;
    bool has_rport = false;
    int rport = -1;  // -1: no value
};
bool parse_via(std::string_view text, Via *out);

// Parameter lookup in a ";a=b;c;d=\"q\"" list; name case-insensitive.
// Returns true when present; *value is empty for a flag.
bool find_param(std::string_view params, std::string_view name, std::string_view *value);

// Splits a header value at top-level commas (outside quotes and <...>).
// Calls fn(element) for each trimmed element; stops and returns false when fn does.
template <typename Fn>
bool for_each_element(std::string_view value, Fn fn);

bool iequals(std::string_view a, std::string_view b);
std::string_view trim(std::string_view s);
bool parse_uint(std::string_view s, uint64_t max, uint64_t *out);
bool is_token(std::string_view s);

class Message {
public:
    ParseResult parse(const char *data, size_t len);
    ParseResult parse(std::string_view s) { return parse(s.data(), s.size()); }

    bool is_request() const { return status_ == 0; }
    std::string_view method() const { return method_; }
    std::string_view request_uri() const { return ruri_; }
    int status() const { return status_; }
    std::string_view reason() const { return reason_; }
    std::string_view body() const { return body_; }
    const std::string &raw() const { return raw_; }

    const std::vector<HeaderField> &headers() const { return headers_; }
    const HeaderField *find(Hdr id) const;
    const HeaderField *find(std::string_view name) const;  // by name (any form)
    std::string_view value(Hdr id) const;  // first value or empty

    // Validated fields, available when parse() succeeded.
    std::string_view call_id() const { return call_id_; }
    uint32_t cseq() const { return cseq_; }
    std::string_view cseq_method() const { return cseq_method_; }
    const Via &top_via() const { return via_; }
    const NameAddr &from() const { return from_; }
    const NameAddr &to() const { return to_; }
    std::string_view from_tag() const { return from_tag_; }
    std::string_view to_tag() const { return to_tag_; }

private:
    std::string raw_;
    std::vector<HeaderField> headers_;
    std::string_view method_, ruri_, reason_, body_;
    int status_ = 0;
    std::string_view call_id_, cseq_method_, from_tag_, to_tag_;
    uint32_t cseq_ = 0;
    Via via_;
    NameAddr from_, to_;

    ParseResult parse_start_line(std::string_view line);
    ParseResult validate();
};

// Writes a message: start line, headers in the order added, then
// Content-Length and the body.
class Writer {
public:
    Writer() { out_.reserve(768); }
    void request_line(std::string_view method, std::string_view uri);
    void status_line(int code, std::string_view reason);
    void header(std::string_view name, std::string_view value);
    void header(Hdr id, std::string_view value) { header(header_name(id), value); }
    void header(Hdr id, uint64_t value);
    // Copies a header of a received message unchanged (all its fields).
    void copy(const Message &m, Hdr id);
    std::string finish(std::string_view body = {}, std::string_view content_type = {});

private:
    std::string out_;
};

const char *reason_phrase(int code);

// ---- template body ------------------------------------------------------

template <typename Fn>
bool for_each_element(std::string_view value, Fn fn) {
    if (value.find(',') == std::string_view::npos) {  // one element: the usual case
        std::string_view el = trim(value);
        return el.empty() || fn(el);
    }
    size_t start = 0;
    bool quoted = false, angle = false;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size()) {
            char c = value[i];
            if (quoted) {
                if (c == '\\') ++i;
                else if (c == '"') quoted = false;
                continue;
            }
            if (c == '"') { quoted = true; continue; }
            if (c == '<') { angle = true; continue; }
            if (c == '>') { angle = false; continue; }
            if (c != ',' || angle) continue;
        }
        std::string_view el = trim(value.substr(start, i - start));
        start = i + 1;
        if (el.empty()) continue;
        if (!fn(el)) return false;
    }
    return true;
}

}  // namespace callctl::sip
