// Message parser and writer.
#include "sip.h"

#include <cstring>

namespace callctl::sip {

namespace {

inline bool is_ws(char c) { return c == ' ' || c == '\t'; }

// Headers that may appear at most once in a message.
bool single_valued(Hdr id) {
    switch (id) {
    case Hdr::CallId:
    case Hdr::ContentLength:
    case Hdr::ContentType:
    case Hdr::CSeq:
    case Hdr::From:
    case Hdr::To:
    case Hdr::MaxForwards:
    case Hdr::Expires:
    case Hdr::MinExpires:
        return true;
    default:
        return false;
    }
}

// A NUL octet may stand in a header value only as a quoted pair inside a
// quoted string ("BEL:\<NUL>"); whether every NUL of the value does.
bool nuls_are_quoted_pairs(std::string_view value) {
    bool quoted = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\0') return false;
        if (!quoted) {
            quoted = c == '"';
        } else if (c == '\\') {
            ++i;  // the escaped octet, whatever it is
        } else if (c == '"') {
            quoted = false;
        }
    }
    return true;
}

}  // namespace

const char *parse_error_text(ParseError e) {
    switch (e) {
    case ParseError::None: return "ok";
    case ParseError::Empty: return "empty message";
    case ParseError::TooLarge: return "message too large";
    case ParseError::BadStartLine: return "malformed start line";
    case ParseError::BadVersion: return "unsupported SIP version";
    case ParseError::BadHeaderLine: return "malformed header line";
    case ParseError::MissingHeader: return "mandatory header missing";
    case ParseError::DuplicateHeader: return "single-valued header repeated";
    case ParseError::BadVia: return "malformed Via";
    case ParseError::BadFromTo: return "malformed From or To";
    case ParseError::BadCallId: return "malformed Call-ID";
    case ParseError::BadCSeq: return "malformed CSeq";
    case ParseError::CSeqMismatch: return "CSeq method differs from request method";
    case ParseError::BadContentLength: return "Content-Length does not fit the body";
    case ParseError::BadContact: return "malformed Contact";
    case ParseError::BadNumber: return "malformed number";
    case ParseError::BadDate: return "malformed Date";
    case ParseError::TooManyHeaders: return "too many header fields";
    }
    return "?";
}

const HeaderField *Message::find(Hdr id) const {
    for (const auto &h : headers_)
        if (h.id == id) return &h;
    return nullptr;
}

const HeaderField *Message::find(std::string_view name) const {
    Hdr id = header_id(name);
    if (id != Hdr::Other) return find(id);
    for (const auto &h : headers_)
        if (h.id == Hdr::Other && iequals(h.name, name)) return &h;
    return nullptr;
}

std::string_view Message::value(Hdr id) const {
    const HeaderField *h = find(id);
    return h ? h->value : std::string_view();
}

ParseResult Message::parse_start_line(std::string_view line) {
    ParseResult bad{ParseError::BadStartLine, 0};
    if (line.size() > 8 && line.compare(0, 4, "SIP/") == 0) {
        // Status-Line: SIP-Version SP Status-Code SP Reason-Phrase
        size_t sp = line.find(' ');
        if (sp == std::string_view::npos) return bad;
        if (line.substr(0, sp) != "SIP/2.0") return {ParseError::BadVersion, 0};
        std::string_view rest = line.substr(sp + 1);
        if (rest.size() < 3) return bad;
        for (int k = 0; k < 3; ++k)
            if (rest[size_t(k)] < '0' || rest[size_t(k)] > '9') return bad;
        if (rest.size() > 3 && rest[3] != ' ') return bad;
        status_ = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
        if (status_ < 100 || status_ > 699) return bad;
        reason_ = rest.size() > 4 ? rest.substr(4) : std::string_view();
        for (char c : reason_)
            if (c == '\r' || c == '\n' || c == '\0') return bad;
        return {};
    }
    // Request-Line: Method SP Request-URI SP SIP-Version, single spaces.
    size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos) return bad;
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) return bad;
    method_ = line.substr(0, sp1);
    ruri_ = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    if (!is_token(method_) || ruri_.empty()) return bad;
    if (version.size() != 7 || !iequals(version.substr(0, 4), "SIP/")) return bad;
    if (version.substr(4) != "2.0") return {ParseError::BadVersion, 0};
    Uri u;
    if (!parse_uri(ruri_, &u)) return bad;
    // A Request-URI never carries URI headers (RFC 3261 19.1.5).
    if (u.is_sip() && !u.headers.empty()) return bad;
    return {};
}

ParseResult Message::parse(const char *data, size_t len) {
    raw_.clear();
    headers_.clear();
    method_ = ruri_ = reason_ = body_ = call_id_ = cseq_method_ = from_tag_ = to_tag_ = {};
    status_ = 0;
    cseq_ = 0;
    via_ = Via();
    from_ = to_ = NameAddr();

    if (len == 0 || data == nullptr) return {ParseError::Empty, 0};
    if (len > kMaxMessage) return {ParseError::TooLarge, 0};
    raw_.assign(data, len);
    char *p = &raw_[0];
    size_t n = raw_.size();

    // Leading blank lines are allowed (RFC 3261 7.5).
    size_t pos = 0;
    while (pos < n && (p[pos] == '\r' || p[pos] == '\n')) ++pos;
    if (pos == n) return {ParseError::Empty, 0};

    // Find the end of the header section and unfold continuation lines in
    // place (CR LF WS -> three spaces) so that offsets keep their meaning.
    // The line ends met on the way are kept for the header loop below (as many
    // as fit; it looks for the others itself).
    size_t head_end = n, body_start = n;
    uint16_t line_ends[64];
    size_t n_line_ends = 0;
    auto keep_line_end = [&](size_t i) {
        if (n_line_ends < sizeof line_ends / sizeof line_ends[0]) line_ends[n_line_ends++] = uint16_t(i);
    };
    for (size_t i = pos; i < n; ++i) {
        const void *lf = std::memchr(p + i, '\n', n - i);
        if (!lf) break;
        i = size_t(static_cast<const char *>(lf) - p);
        size_t next = i + 1;
        // Blank line: LF (CR) LF ends the headers.
        if (next < n && p[next] == '\n') {
            head_end = i;
            body_start = next + 1;
            keep_line_end(i);
            break;
        }
        if (next + 1 < n && p[next] == '\r' && p[next + 1] == '\n') {
            head_end = i;
            body_start = next + 2;
            keep_line_end(i);
            break;
        }
        if (next < n && is_ws(p[next])) {
            p[i] = ' ';
            if (i > pos && p[i - 1] == '\r') p[i - 1] = ' ';
        } else {
            keep_line_end(i);
        }
    }
    if (head_end == n) {
        // No blank line: a datagram that ends right after the last header
        // line is accepted; anything else is truncated.
        if (n >= 1 && p[n - 1] == '\n') head_end = n - 1, body_start = n;
        else return {ParseError::BadHeaderLine, n};
    }

    std::string_view all(p, n);
    // CR is refused inside header lines, and NUL but as a quoted pair. The
    // next NUL of the header section is kept (rarely is there one), a CR is
    // looked for line by line.
    const void *nul = std::memchr(p + pos, '\0', head_end - pos);
    size_t next_nul = nul ? size_t(static_cast<const char *>(nul) - p) : head_end;
    headers_.reserve(24);
    bool first = true;
    size_t line_start = pos;
    for (size_t k = 0; line_start <= head_end; ++k) {
        size_t lf = k < n_line_ends ? line_ends[k] : all.find('\n', line_start);
        if (lf == std::string_view::npos || lf > head_end) lf = head_end;
        size_t line_end = lf;
        if (line_end > line_start && p[line_end - 1] == '\r') --line_end;
        std::string_view line = all.substr(line_start, line_end - line_start);
        size_t off = line_start;
        line_start = lf + 1;
        if (first) {
            first = false;
            ParseResult r = parse_start_line(line);
            if (!r) {
                r.offset = off;
                return r;
            }
            continue;
        }
        if (line.empty()) {
            if (lf >= head_end) break;
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) return {ParseError::BadHeaderLine, off};
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && is_ws(name.back())) name.remove_suffix(1);
        if (!is_token(name)) return {ParseError::BadHeaderLine, off};
        if (next_nul >= off && next_nul < line_end) {
            if (!nuls_are_quoted_pairs(line.substr(colon + 1))) return {ParseError::BadHeaderLine, off};
            nul = std::memchr(p + line_end, '\0', head_end - line_end);
            next_nul = nul ? size_t(static_cast<const char *>(nul) - p) : head_end;
        }
        if (std::memchr(line.data(), '\r', line.size())) return {ParseError::BadHeaderLine, off};
        if (headers_.size() >= 256) return {ParseError::TooManyHeaders, off};
        headers_.push_back({name, trim(line.substr(colon + 1)), header_id(name)});
        if (lf >= head_end) break;
    }
    if (first) return {ParseError::BadStartLine, pos};

    body_ = all.substr(body_start);
    ParseResult r = validate();
    return r;
}

ParseResult Message::validate() {
    const HeaderField *single[size_t(Hdr::Count)] = {};
    const char *base = raw_.data();
    for (const auto &h : headers_) {
        if (!single_valued(h.id)) continue;
        if (single[size_t(h.id)]) return {ParseError::DuplicateHeader, size_t(h.name.data() - base)};
        single[size_t(h.id)] = &h;
    }
    auto at = [&](const HeaderField *h) { return size_t(h->name.data() - base); };

    const HeaderField *via = find(Hdr::Via);
    const HeaderField *from = single[size_t(Hdr::From)];
    const HeaderField *to = single[size_t(Hdr::To)];
    const HeaderField *cid = single[size_t(Hdr::CallId)];
    const HeaderField *cseq = single[size_t(Hdr::CSeq)];
    if (!via || !from || !to || !cid || !cseq) return {ParseError::MissingHeader, 0};

    // Every Via element must parse; the top one is kept.
    bool first_via = true;
    for (const auto &h : headers_) {
        if (h.id != Hdr::Via) continue;
        bool ok = for_each_element(h.value, [&](std::string_view el) {
            Via v;
            if (!parse_via(el, &v)) return false;
            if (first_via) via_ = v, first_via = false;
            return true;
        });
        if (!ok || first_via) return {ParseError::BadVia, at(&h)};
    }

    if (!parse_name_addr(from->value, &from_)) return {ParseError::BadFromTo, at(from)};
    if (!parse_name_addr(to->value, &to_)) return {ParseError::BadFromTo, at(to)};
    find_param(from_.params, "tag", &from_tag_);
    find_param(to_.params, "tag", &to_tag_);

    call_id_ = cid->value;
    if (call_id_.empty()) return {ParseError::BadCallId, at(cid)};
    for (char c : call_id_)
        if (c == ' ' || c == '\t' || static_cast<unsigned char>(c) < 33 ||
            static_cast<unsigned char>(c) > 126)
            return {ParseError::BadCallId, at(cid)};

    // CSeq: 1*DIGIT LWS Method, number below 2^31.
    {
        std::string_view v = cseq->value;
        size_t sp = 0;
        while (sp < v.size() && v[sp] >= '0' && v[sp] <= '9') ++sp;
        uint64_t num = 0;
        if (!parse_uint(v.substr(0, sp), 0x7fffffffu, &num)) return {ParseError::BadCSeq, at(cseq)};
        std::string_view m = trim(v.substr(sp));
        if (sp == v.size() || !is_ws(v[sp]) || !is_token(m)) return {ParseError::BadCSeq, at(cseq)};
        cseq_ = static_cast<uint32_t>(num);
        cseq_method_ = m;
        if (is_request() && cseq_method_ != method_) return {ParseError::CSeqMismatch, at(cseq)};
    }

    if (const HeaderField *mf = single[size_t(Hdr::MaxForwards)]) {
        uint64_t v = 0;
        if (!parse_uint(mf->value, 255, &v)) return {ParseError::BadNumber, at(mf)};
    }
    for (Hdr id : {Hdr::Expires, Hdr::MinExpires}) {
        if (const HeaderField *h = single[size_t(id)]) {
            uint64_t v = 0;
            if (!parse_uint(h->value, 0xffffffffu, &v)) return {ParseError::BadNumber, at(h)};
        }
    }
    if (const HeaderField *d = find(Hdr::Date)) {
        std::string_view v = d->value;
        if (v.size() < 4 || v.substr(v.size() - 3) != "GMT") return {ParseError::BadDate, at(d)};
    }
    for (const auto &h : headers_) {
        if (h.id != Hdr::Contact) continue;
        if (h.value == "*") continue;
        bool ok = for_each_element(h.value, [](std::string_view el) {
            NameAddr na;
            return parse_name_addr(el, &na);
        });
        if (!ok || h.value.empty()) return {ParseError::BadContact, at(&h)};
    }

    if (const HeaderField *cl = single[size_t(Hdr::ContentLength)]) {
        uint64_t v = 0;
        if (!parse_uint(cl->value, kMaxMessage, &v)) return {ParseError::BadContentLength, at(cl)};
        if (v > body_.size()) return {ParseError::BadContentLength, at(cl)};
        // Bytes after the declared body belong to nothing and are dropped.
        body_ = body_.substr(0, size_t(v));
    }
    return {};
}

// ---- writer ---------------------------------------------------------------

void Writer::request_line(std::string_view method, std::string_view uri) {
    out_.append(method).append(" ").append(uri).append(" SIP/2.0\r\n");
}

void Writer::status_line(int code, std::string_view reason) {
    out_.append("SIP/2.0 ").append(std::to_string(code)).append(" ");
    out_.append(reason.empty() ? std::string_view(reason_phrase(code)) : reason).append("\r\n");
}

void Writer::header(std::string_view name, std::string_view value) {
    out_.append(name).append(": ").append(value).append("\r\n");
}

void Writer::header(Hdr id, uint64_t value) { header(header_name(id), std::to_string(value)); }

void Writer::copy(const Message &m, Hdr id) {
    for (const auto &h : m.headers())
        if (h.id == id) header(header_name(id), h.value);
}

std::string Writer::finish(std::string_view body, std::string_view content_type) {
    if (!body.empty() && !content_type.empty()) header(Hdr::ContentType, content_type);
    header(Hdr::ContentLength, body.size());
    out_.append("\r\n").append(body);
    std::string s;
    s.swap(out_);
    return s;
}

const char *reason_phrase(int code) {
    switch (code) {
    case 100: return "Trying";
    case 180: return "Ringing";
    case 183: return "Session Progress";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 415: return "Unsupported Media Type";
    case 416: return "Unsupported URI Scheme";
    case 420: return "Bad Extension";
    case 423: return "Interval Too Brief";
    case 480: return "Temporarily Unavailable";
    case 481: return "Call/Transaction Does Not Exist";
    case 482: return "Loop Detected";
    case 483: return "Too Many Hops";
    case 486: return "Busy Here";
    case 487: return "Request Terminated";
    case 488: return "Not Acceptable Here";
    case 491: return "Request Pending";
    case 500: return "Server Internal Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "Version Not Supported";
    case 603: return "Decline";
    default: return code < 200 ? "Progress" : code < 300 ? "OK" : "Error";
    }
}

}  // namespace callctl::sip
