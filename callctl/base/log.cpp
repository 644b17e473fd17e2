#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "boundary.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/time.h>
#endif

namespace callctl::log {

std::atomic<int> g_level{None};

namespace {

constexpr size_t kDefaultFileCap = 1024 * 1024;
constexpr size_t kLeastFileCap = 256;
constexpr int64_t kRenameRetryMs = 1000;

struct Sink {
    std::mutex mu;
    FILE *file = nullptr;
    SIPX_LOG_CALLBACK cb = nullptr;
    void *user = nullptr;
    // The file sink: its GBK path, its size, the cap, and the lines left out while
    // the full file could not be renamed (the next try not before next_try).
    std::string path;
    size_t size = 0;
    size_t cap = kDefaultFileCap;
    unsigned long left_out = 0;
    int64_t next_try = 0;
};

// Never destroyed: a library thread may still log while the process ends.
Sink &sink() {
    static Sink &s = *new Sink;
    return s;
}

const char *level_word(int level) {
    switch (level) {
    case Error: return "ERROR";
    case Warning: return "WARNING";
    case Info: return "INFO";
    default: return "DEBUG";
    }
}

// "2024-05-01 12:34:56.789", local time.
std::string timestamp() {
    char buf[64];
#ifdef _WIN32
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
#else
    timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    tm t;
    localtime_r(&secs, &t);
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, int(tv.tv_usec / 1000));
#endif
    return buf;
}

#ifdef _WIN32
constexpr char kEol[] = "\r\n";
#else
constexpr char kEol[] = "\n";
#endif

// Opens s.path for appending and takes its size. False when it cannot.
bool open_file(Sink &s) {
    s.file = open_file_gbk(s.path, "ab");
    if (!s.file) return false;
    std::fseek(s.file, 0, SEEK_END);
    long at = std::ftell(s.file);
    s.size = at > 0 ? size_t(at) : 0;
    return true;
}

void put(Sink &s, const std::string &line) {
    s.size += std::fwrite(line.data(), 1, line.size(), s.file);
}

// The full file becomes the previous one (path + ".1", replacing it) and a new one
// starts. False when the rename failed: the file is open again as it was and the
// next try waits a second; or when it could not be opened again (the file sink then
// writes nothing more).
bool rotate(Sink &s) {
    if (s.file) std::fclose(s.file);
    s.file = nullptr;
    const bool renamed = rename_file_gbk(s.path, s.path + ".1");
    if (!open_file(s)) return false;
    if (!renamed) {
        s.next_try = now_ms() + kRenameRetryMs;
        return false;
    }
    if (s.left_out) {
        put(s, timestamp() + " " + level_word(Warning) + " " + std::to_string(s.left_out) +
                   " lines left out: the full log could not be renamed" + kEol);
        s.left_out = 0;
    }
    return true;
}

// One line into the file sink, within the cap.
void write_capped(Sink &s, int level, const std::string &stamp, const std::string &text) {
    char head[48];
    std::snprintf(head, sizeof head, "%s %-7s ", stamp.c_str(), level_word(level));
    std::string line = head + text;
    const size_t eol = sizeof kEol - 1;
    // While lines are being left out every line waits for the rename, so none is
    // written out of its order.
    if ((s.size + line.size() + eol > s.cap && s.size > 0) || s.left_out) {
        if (now_ms() < s.next_try || !rotate(s)) {
            ++s.left_out;
            return;
        }
    }
    if (!s.file) return;
    // A line longer than a whole file is cut to fit.
    const size_t room = s.cap > s.size + eol ? s.cap - s.size - eol : 0;
    if (line.size() > room) line.resize(room);
    put(s, line + kEol);
}

// One entry of several lines, kept together in the sink.
void emit(int level, const std::vector<std::string> &lines) {
    Sink &s = sink();
    std::lock_guard<std::mutex> g(s.mu);
    if (!on(level)) return;  // turned off meanwhile
    if (s.cb) {
        // A callback that throws loses the rest of the entry, nothing more.
        for (const auto &l : lines)
            if (!call_out([&] { s.cb(level, l.c_str(), s.user); })) break;
    } else if (s.file) {
        std::string stamp = timestamp();
        for (const auto &l : lines) {
            write_capped(s, level, stamp, l);
            if (!s.file) break;
        }
        if (s.file) std::fflush(s.file);  // a crash keeps what came before it
    }
}

bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_token_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-.!%*_+`'~").find(c) != std::string_view::npos;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool same_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool secret_param(std::string_view name) {
    if (same_word(name, "response")) return true;
    for (size_t i = 0; i + 4 <= name.size(); ++i)
        if (same_word(name.substr(i, 4), "pass")) return true;
    return false;
}

// End of a quoted string starting at v[i] == '"': after its closing quote,
// or at the line's end when it has none.
size_t quoted_end(std::string_view v, size_t i) {
    for (size_t j = i + 1; j < v.size(); ++j) {
        if (v[j] == '\\') ++j;
        else if (v[j] == '"') return j + 1;
        else if (v[j] == '\r' || v[j] == '\n') return j;
    }
    return v.size();
}

// The parameters of a credentials value, secrets replaced.
std::string mask_params(std::string_view v) {
    std::string o;
    o.reserve(v.size());
    size_t i = 0;
    while (i < v.size()) {
        if (v[i] == '"') {
            size_t j = quoted_end(v, i);
            o.append(v.substr(i, j - i));
            i = j;
            continue;
        }
        if (!is_token_char(v[i])) {
            o.push_back(v[i++]);
            continue;
        }
        size_t j = i;
        while (j < v.size() && is_token_char(v[j])) ++j;
        std::string_view name = v.substr(i, j - i);
        o.append(name);
        size_t k = j;
        while (k < v.size() && is_lws(v[k])) ++k;
        if (k >= v.size() || v[k] != '=') {
            i = j;
            continue;
        }
        size_t vs = k + 1;
        while (vs < v.size() && is_lws(v[vs])) ++vs;
        o.append(v.substr(j, vs - j));
        bool quoted = vs < v.size() && v[vs] == '"';
        size_t ve = vs;
        if (quoted) ve = quoted_end(v, vs);
        else
            while (ve < v.size() && v[ve] != ',' && !is_lws(v[ve])) ++ve;
        if (secret_param(name)) o.append(quoted ? "\"***\"" : "***");
        else o.append(v.substr(vs, ve - vs));
        i = ve;
    }
    return o;
}

// An a=crypto line with the value of every "inline:" key parameter (its
// key and salt, up to a lifetime, MKI or the next parameter) as ***.
std::string mask_inline_keys(std::string_view line) {
    std::string o;
    o.reserve(line.size());
    size_t i = 0;
    while (i < line.size()) {
        if (i + 7 <= line.size() && same_word(line.substr(i, 7), "inline:")) {
            o.append(line.substr(i, 7));
            o.append("***");
            i += 7;
            while (i < line.size() && std::string_view("|; \t\r\n").find(line[i]) == std::string_view::npos) ++i;
            continue;
        }
        o.push_back(line[i++]);
    }
    return o;
}

size_t after_line(std::string_view m, size_t pos) {
    size_t e = m.find('\n', pos);
    return e == std::string_view::npos ? m.size() : e + 1;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && is_lws(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_lws(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

SIPX_RESULT set_sink(int level, const char *path, SIPX_LOG_CALLBACK cb, void *user) {
    bool has_file = path && *path;
    if (level < None || level > Debug || (has_file && cb)) return SIPX_RESULT_INVALID_ARGS;
    if (!has_file && !cb) level = None;
    Sink opened;  // the new file, opened before the sink is touched
    if (level != None && has_file) {
        opened.path = path;
        if (!open_file(opened)) return SIPX_RESULT_FAILURE;
    }
    Sink &s = sink();
    FILE *old;
    {
        std::lock_guard<std::mutex> g(s.mu);
        old = s.file;
        s.file = opened.file;
        s.path = opened.path;
        s.size = opened.size;
        s.left_out = 0;
        s.next_try = 0;
        s.cb = level != None ? cb : nullptr;
        s.user = user;
        g_level.store(level, std::memory_order_relaxed);
    }
    if (old) std::fclose(old);
    return SIPX_RESULT_SUCCESS;
}

void set_file_cap(size_t bytes) {
    Sink &s = sink();
    std::lock_guard<std::mutex> g(s.mu);
    s.cap = bytes < kLeastFileCap ? kLeastFileCap : bytes;
}

void linef(int level, const char *fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    std::string text;
    if (size_t(n) < sizeof small) {
        text.assign(small, size_t(n));
    } else {
        text.resize(size_t(n) + 1);
        va_start(ap, fmt);
        std::vsnprintf(&text[0], text.size(), fmt, ap);
        va_end(ap);
        text.resize(size_t(n));
    }
    emit(level, {printable(text)});
}

void sip_message(bool sent, const Endpoint &peer, std::string_view datagram) {
    if (!on(Debug)) return;
    std::string masked = mask_secrets(datagram);
    std::string_view m = masked;
    std::vector<std::string> lines;
    lines.push_back(std::string(sent ? "SIP sent to " : "SIP received from ") + peer.text() + ", " +
                    std::to_string(datagram.size()) + " bytes:");
    const char *mark = sent ? "> " : "< ";
    for (size_t pos = 0; pos < m.size();) {
        size_t next = after_line(m, pos);
        std::string_view l = m.substr(pos, next - pos);
        if (!l.empty() && l.back() == '\n') l.remove_suffix(1);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        lines.push_back(mark + printable(l));
        pos = next;
    }
    emit(Debug, lines);
}

std::string mask_secrets(std::string_view m) {
    std::string out;
    out.reserve(m.size());
    size_t pos = after_line(m, 0);  // the start line
    out.append(m.substr(0, pos));
    while (pos < m.size()) {
        size_t end = after_line(m, pos);
        std::string_view first = m.substr(pos, end - pos);
        if (first == "\r\n" || first == "\n") break;  // the body follows, as it is
        while (end < m.size() && (m[end] == ' ' || m[end] == '\t')) end = after_line(m, end);  // folded lines
        std::string_view header = m.substr(pos, end - pos);
        size_t colon = header.find(':');
        std::string_view name = colon == std::string_view::npos ? std::string_view() : trimmed(header.substr(0, colon));
        if (same_word(name, "Authorization") || same_word(name, "Proxy-Authorization")) {
            out.append(header.substr(0, colon + 1));
            out.append(mask_params(header.substr(colon + 1)));
        } else {
            out.append(header);
        }
        pos = end;
    }
    // The body: the keys of SDES a=crypto lines (RFC 4568).
    while (pos < m.size()) {
        size_t end = after_line(m, pos);
        std::string_view line = m.substr(pos, end - pos);
        if (line.size() > 9 && same_word(line.substr(0, 9), "a=crypto:")) out.append(mask_inline_keys(line));
        else out.append(line);
        pos = end;
    }
    return out;
}

namespace {

// The length of the well-formed UTF-8 sequence at t[i] and its code point in cp;
// 0 when none starts there (a stray byte, an overlong form, a surrogate, past
// U+10FFFF, or cut off).
size_t utf8_at(std::string_view t, size_t i, uint32_t &cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(t[k]); };
    const unsigned char c = byte(i);
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > t.size() || byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    return len;
}

// Characters that could forge or hide a line in a log read in a viewer: controls
// (C0 but tab, DEL, C1), the line and paragraph separators, and the bidirectional
// embeddings, overrides and isolates.
bool hides(uint32_t cp) {
    return (cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string printable(std::string_view t) {
    std::string o;
    o.reserve(t.size());
    char b[16];
    for (size_t i = 0; i < t.size();) {
        uint32_t cp = 0;
        const size_t len = utf8_at(t, i, cp);
        if (len == 0) {
            std::snprintf(b, sizeof b, "\\x%02X", static_cast<unsigned char>(t[i]));
            o.append(b);
            ++i;
        } else if (!hides(cp)) {
            o.append(t.substr(i, len));
            i += len;
        } else {
            if (cp < 0x80) std::snprintf(b, sizeof b, "\\x%02X", unsigned(cp));
            else std::snprintf(b, sizeof b, "\\u%04X", unsigned(cp));
            o.append(b);
            i += len;
        }
    }
    return o;
}

}  // namespace callctl::log

namespace callctl {

void log_escaped(const char *where, const char *what) noexcept {
    try {
        CALLCTL_LOG(log::Error, "%s: stopped an exception at the C interface: %s", where, what ? what : "");
    } catch (...) {
    }
}

}  // namespace callctl
