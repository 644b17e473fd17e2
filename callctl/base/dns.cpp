// DNS message format (RFC 1035 section 4): queries out, answers in. See dns.h.
//
// The reader walks the header, the question, the answer and the authority
// sections (the additional section is never read: nothing in it is used).
// A compression pointer must point strictly before the name part that holds
// it, so every jump goes backwards and no pointer chain can loop.
#include "dns.h"

#include <algorithm>

namespace callctl {
namespace dns {

namespace {

constexpr size_t kHeader = 12;
constexpr size_t kMaxName = 255;  // wire length, with the length bytes and the root
constexpr uint16_t kClassIn = 1;
constexpr int kMaxAliases = 8;

bool host_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// A message being read: every read is bounds-checked and a failure is kept
// with its offset.
class Reader {
public:
    Reader(const uint8_t *msg, size_t len) : m_(msg), len_(len) {}

    bool fail(ParseError e, size_t at) {
        if (err_ == ParseError::None) {
            err_ = e;
            at_ = at;
        }
        return false;
    }
    ParseResult result() const { return ParseResult{err_, err_ == ParseError::None ? pos_ : at_}; }

    size_t pos() const { return pos_; }
    size_t size() const { return len_; }
    void seek(size_t p) { pos_ = p; }

    bool u8(uint8_t *v) {
        if (pos_ + 1 > len_) return fail(ParseError::Short, pos_);
        *v = m_[pos_++];
        return true;
    }
    bool u16(uint16_t *v) {
        if (pos_ + 2 > len_) return fail(ParseError::Short, pos_);
        *v = uint16_t(m_[pos_] << 8 | m_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t *v) {
        if (pos_ + 4 > len_) return fail(ParseError::Short, pos_);
        *v = uint32_t(m_[pos_]) << 24 | uint32_t(m_[pos_ + 1]) << 16 | uint32_t(m_[pos_ + 2]) << 8 | m_[pos_ + 3];
        pos_ += 4;
        return true;
    }
    // A <character-string>: a length byte and that many bytes.
    bool text(size_t end, std::string *out) {
        uint8_t n = 0;
        if (!u8(&n)) return false;
        if (pos_ + n > end) return fail(ParseError::BadRecord, pos_);
        out->assign(reinterpret_cast<const char *>(m_ + pos_), n);
        pos_ += n;
        return true;
    }

    // A domain name at the current position, compression followed; the
    // position moves past the name's own bytes.
    bool name(std::string *out) {
        std::string s;
        size_t p = pos_;
        size_t floor = pos_;  // a pointer must point below this
        size_t after = 0;     // where the name's own bytes end (0: not yet known)
        size_t wire = 1;      // the root's byte
        for (;;) {
            if (p >= len_) return fail(ParseError::Short, p);
            const uint8_t c = m_[p];
            if (c == 0) {
                if (!after) after = p + 1;
                break;
            }
            if ((c & 0xC0) == 0xC0) {
                if (p + 1 >= len_) return fail(ParseError::Short, p);
                const size_t to = size_t(c & 0x3F) << 8 | m_[p + 1];
                if (to >= floor) return fail(ParseError::BadName, p);  // forwards, or a loop
                if (!after) after = p + 2;
                floor = to;
                p = to;
                continue;
            }
            if (c & 0xC0) return fail(ParseError::BadName, p);  // extended label types
            if (p + 1 + c > len_) return fail(ParseError::Short, p);
            wire += 1 + size_t(c);
            if (wire > kMaxName) return fail(ParseError::BadName, p);
            if (!s.empty()) s.push_back('.');
            for (size_t i = 0; i < c; ++i) {
                const unsigned char ch = m_[p + 1 + i];
                if (ch <= 0x20 || ch >= 0x7F || ch == '.' || ch == '\\') return fail(ParseError::BadName, p + 1 + i);
                s.push_back(lower(char(ch)));
            }
            p += 1 + size_t(c);
        }
        pos_ = after;
        *out = std::move(s);
        return true;
    }

private:
    const uint8_t *m_;
    size_t len_;
    size_t pos_ = 0;
    ParseError err_ = ParseError::None;
    size_t at_ = 0;
};

// One resource record of the answer or authority section, its data read
// for the types used here (and checked to fill rdlength exactly).
struct Rr {
    std::string owner;
    uint16_t type = 0;
    uint16_t cls = 0;
    uint32_t ttl = 0;
    Record rec;
    std::string cname;
    uint32_t soa_minimum = 0;
};

bool read_rr(Reader &r, Rr *rr) {
    uint16_t rdlen = 0;
    if (!r.name(&rr->owner) || !r.u16(&rr->type) || !r.u16(&rr->cls) || !r.u32(&rr->ttl) || !r.u16(&rdlen))
        return false;
    if (rr->ttl & 0x80000000u) rr->ttl = 0;  // RFC 2181 section 8
    const size_t start = r.pos(), end = start + rdlen;
    rr->rec.ttl = rr->ttl;
    // The data must lie inside the message before anything in it is read.
    if (end > r.size()) return r.fail(ParseError::Short, start);
    if (rr->cls == kClassIn) {
        bool ok = true;
        switch (rr->type) {
        case kA:
            ok = rdlen == 4 && r.u32(&rr->rec.a);
            break;
        case kCname:
            ok = r.name(&rr->cname);
            break;
        case kSrv: {
            Srv &s = rr->rec.srv;
            ok = r.u16(&s.priority) && r.u16(&s.weight) && r.u16(&s.port) && r.name(&s.target);
            break;
        }
        case kNaptr: {
            Naptr &n = rr->rec.naptr;
            ok = r.u16(&n.order) && r.u16(&n.preference) && r.text(end, &n.flags) && r.text(end, &n.service) &&
                 r.text(end, &n.regexp) && r.name(&n.replacement);
            std::transform(n.flags.begin(), n.flags.end(), n.flags.begin(), lower);
            std::transform(n.service.begin(), n.service.end(), n.service.begin(), lower);
            break;
        }
        case kSoa: {
            std::string mname, rname;
            uint32_t serial, refresh, retry, expire;
            ok = r.name(&mname) && r.name(&rname) && r.u32(&serial) && r.u32(&refresh) && r.u32(&retry) &&
                 r.u32(&expire) && r.u32(&rr->soa_minimum);
            break;
        }
        default:
            r.seek(end);
            break;
        }
        if (!ok || r.pos() != end) return r.fail(ParseError::BadRecord, start);
    }
    r.seek(end);
    return true;
}

}  // namespace

const char *parse_error_text(ParseError e) {
    switch (e) {
    case ParseError::None: return "no error";
    case ParseError::Short: return "message ends inside a field";
    case ParseError::NotAnAnswer: return "not an answer to a standard query";
    case ParseError::WrongId: return "another query's ID";
    case ParseError::WrongQuestion: return "not the question asked";
    case ParseError::BadName: return "bad domain name";
    case ParseError::BadRecord: return "record data does not fit its length";
    }
    return "?";
}

bool valid_name(std::string_view name) {
    if (name.empty() || name.size() + 2 > kMaxName) return false;
    size_t label = 0;
    for (char c : name) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (!host_char(static_cast<unsigned char>(c)) || ++label > 63) {
            return false;
        }
    }
    return label != 0;
}

bool build_query(std::string_view name, uint16_t type, uint16_t id, std::string *out) {
    if (!valid_name(name)) return false;
    std::string q;
    const uint8_t header[kHeader] = {uint8_t(id >> 8), uint8_t(id), 0x01 /* RD */, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    q.assign(reinterpret_cast<const char *>(header), kHeader);
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) dot = name.size();
        q.push_back(char(dot - start));
        q.append(name.data() + start, dot - start);
        start = dot + 1;
    }
    q.push_back('\0');
    const char tail[4] = {char(type >> 8), char(type & 0xFF), 0, char(kClassIn)};
    q.append(tail, 4);
    *out = std::move(q);
    return true;
}

ParseResult parse_answer(const uint8_t *msg, size_t len, uint16_t id, std::string_view name, uint16_t type,
                         Answer *out) {
    Reader r(msg, len);
    uint16_t got_id = 0, flags = 0, qd = 0, an = 0, ns = 0, ar = 0;
    if (!r.u16(&got_id) || !r.u16(&flags) || !r.u16(&qd) || !r.u16(&an) || !r.u16(&ns) || !r.u16(&ar))
        return r.result();
    if (!(flags & 0x8000) || (flags & 0x7800)) {
        r.fail(ParseError::NotAnAnswer, 2);
        return r.result();
    }
    if (got_id != id) {
        r.fail(ParseError::WrongId, 0);
        return r.result();
    }
    std::string qname;
    uint16_t qtype = 0, qclass = 0;
    if (qd != 1) {
        r.fail(ParseError::WrongQuestion, 4);
        return r.result();
    }
    const size_t qat = r.pos();
    if (!r.name(&qname) || !r.u16(&qtype) || !r.u16(&qclass)) return r.result();
    if (!same_name(qname, name) || qtype != type || qclass != kClassIn) {
        r.fail(ParseError::WrongQuestion, qat);
        return r.result();
    }
    Answer a;
    a.rcode = uint8_t(flags & 0x0F);
    a.truncated = (flags & 0x0200) != 0;
    if (a.truncated) {  // whatever follows may be cut anywhere
        *out = std::move(a);
        return r.result();
    }
    std::vector<Rr> answers;
    uint32_t negative_ttl = 0;
    bool have_soa = false;
    for (uint32_t i = 0; i < uint32_t(an) + ns; ++i) {
        Rr rr;
        if (!read_rr(r, &rr)) return r.result();
        if (rr.cls != kClassIn) continue;
        if (i < an) {
            if (rr.type == type || rr.type == kCname) answers.push_back(std::move(rr));
        } else if (rr.type == kSoa && !have_soa) {
            have_soa = true;
            negative_ttl = std::min(rr.ttl, rr.soa_minimum);
        }
    }
    // From the name asked along its aliases; each alias's TTL bounds the answer's.
    std::string owner = qname;
    uint32_t ttl = UINT32_MAX;
    for (int hop = 0; hop <= kMaxAliases; ++hop) {
        const Rr *alias = nullptr;
        for (const Rr &rr : answers) {
            if (rr.owner != owner) continue;
            if (rr.type == type) {
                a.records.push_back(rr.rec);
                ttl = std::min(ttl, rr.ttl);
            } else if (rr.type == kCname && !alias) {
                alias = &rr;
            }
        }
        if (!a.records.empty() || !alias || type == kCname) break;
        ttl = std::min(ttl, alias->ttl);
        owner = alias->cname;
    }
    a.ttl = !a.records.empty() ? ttl : have_soa ? std::min(ttl, negative_ttl) : 0;
    *out = std::move(a);
    return r.result();
}

}  // namespace dns
}  // namespace callctl
