#include "SupportLog.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/time.h>
#endif

namespace {

const size_t kDefaultCap = 1024 * 1024;
const size_t kLeastCap = 256;
const char kBom[] = "\xEF\xBB\xBF";
const size_t kBomSize = 3;
#ifdef _WIN32
const char kEol[] = "\r\n";
#else
const char kEol[] = "\n";
#endif

struct Log {
    std::mutex mu;
    std::FILE* file = nullptr;
    SupportLogPath path;
    size_t size = 0;  // bytes in the file
    size_t cap = kDefaultCap;
    unsigned long leftOut = 0;  // lines not written while the file could not be renamed
    std::chrono::steady_clock::time_point nextTry;
};

// Never destroyed: a library thread may still write while the process ends.
Log& TheLog()
{
    static Log& log = *new Log;
    return log;
}

std::atomic<bool> g_enabled{false};

std::FILE* OpenAppending(const SupportLogPath& path)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), L"ab");
#else
    return std::fopen(path.c_str(), "ab");
#endif
}

bool RenameReplacing(const SupportLogPath& from, const SupportLogPath& to)
{
#ifdef _WIN32
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

void MakeFolderOf(const SupportLogPath& path)
{
    size_t slash = path.find_last_of(SupportLogPath::value_type('/'));
#ifdef _WIN32
    size_t back = path.find_last_of(L'\\');
    if (back != SupportLogPath::npos && (slash == SupportLogPath::npos || back > slash)) slash = back;
    if (slash != SupportLogPath::npos && slash > 0) CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
#else
    if (slash != SupportLogPath::npos && slash > 0) mkdir(path.substr(0, slash).c_str(), 0777);
#endif
}

// "2024-05-01 12:34:56.789", local time.
std::string Timestamp()
{
    char buf[64];
#ifdef _WIN32
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
#else
    timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    tm t;
    localtime_r(&secs, &t);
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, int(tv.tv_usec / 1000));
#endif
    return buf;
}

void Put(Log& log, const std::string& bytes)
{
    log.size += std::fwrite(bytes.data(), 1, bytes.size(), log.file);
    std::fflush(log.file);
}

// Opens log.path; an empty file gets the byte order mark. False when it cannot.
bool Start(Log& log)
{
    log.file = OpenAppending(log.path);
    if (!log.file) return false;
    std::fseek(log.file, 0, SEEK_END);
    long at = std::ftell(log.file);
    log.size = at > 0 ? size_t(at) : 0;
    if (log.size == 0) Put(log, kBom);
    return true;
}

void Stop(Log& log)
{
    if (log.file) std::fclose(log.file);
    log.file = nullptr;
    g_enabled = false;
}

// The full file becomes the previous one and a new one starts. False when the rename
// failed: the file is open again as it was, and the next try waits a second.
bool Rotate(Log& log)
{
    std::fclose(log.file);
    log.file = nullptr;
    bool renamed = RenameReplacing(log.path, log.path + SupportLogPath::value_type('.') +
                                                 SupportLogPath::value_type('1'));
    if (!Start(log)) {
        Stop(log);
        return false;
    }
    if (!renamed) {
        log.nextTry = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        return false;
    }
    if (log.leftOut) {
        Put(log, Timestamp() + " [log] " + std::to_string(log.leftOut) +
                     " lines left out: the full log could not be renamed" + kEol);
        log.leftOut = 0;
    }
    return true;
}

const char* LevelName(int level)
{
    switch (level) {
    case 1: return "ERROR";
    case 2: return "WARNING";
    case 3: return "INFO";
    default: return "DEBUG";
    }
}

// The length of the well-formed UTF-8 sequence at t[i] and its code point; 0 when none
// starts there (a stray byte, an overlong form, a surrogate, past U+10FFFF, cut off).
size_t Utf8At(const std::string& t, size_t i, unsigned long& cp)
{
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

// Characters that could forge or hide a line in a viewer: controls (C0 but tab, DEL,
// C1), the line and paragraph separators, the bidirectional embeddings, overrides and
// isolates.
bool Hides(unsigned long cp)
{
    return (cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// The text of a line as it is written: line breaks as spaces; other characters that
// Hides() and bytes that are not well-formed UTF-8 escaped (\xNN below U+0080 and for
// such bytes, \uXXXX above).
std::string Printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (size_t i = 0; i < text.size();) {
        unsigned long cp = 0;
        const size_t len = Utf8At(text, i, cp);
        if (len == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escape;
            ++i;
            continue;
        }
        if (cp == '\r' || cp == '\n')
            out += ' ';
        else if (!Hides(cp))
            out.append(text, i, len);
        else {
            std::snprintf(escape, sizeof escape, cp < 0x80 ? "\\x%02lX" : "\\u%04lX", cp);
            out += escape;
        }
        i += len;
    }
    return out;
}

bool SameLetters(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && !b[i];
}

}  // namespace

bool SupportLogOpen(const SupportLogPath& path)
{
    Log& log = TheLog();
    std::lock_guard<std::mutex> g(log.mu);
    Stop(log);
    MakeFolderOf(path);
    log.path = path;
    log.leftOut = 0;
    if (!Start(log)) return false;
    g_enabled = true;
    return true;
}

void SupportLogClose()
{
    Log& log = TheLog();
    std::lock_guard<std::mutex> g(log.mu);
    Stop(log);
}

bool SupportLogEnabled() { return g_enabled.load(std::memory_order_relaxed); }

void SupportLogSetCap(size_t bytes)
{
    Log& log = TheLog();
    std::lock_guard<std::mutex> g(log.mu);
    log.cap = bytes < kLeastCap ? kLeastCap : bytes;
}

void SupportLogWrite(const char* category, const std::string& utf8Line)
{
    if (!SupportLogEnabled()) return;
    std::string line = Timestamp() + " [" + (category ? category : "") + "] " + Printable(utf8Line);
    Log& log = TheLog();
    std::lock_guard<std::mutex> g(log.mu);
    if (!log.file) return;
    // While lines are being left out every line waits for the rename, so none is
    // written out of its order.
    if ((log.size + line.size() + sizeof kEol - 1 > log.cap && log.size > kBomSize) || log.leftOut) {
        if (std::chrono::steady_clock::now() < log.nextTry || !Rotate(log)) {
            ++log.leftOut;
            return;
        }
    }
    // A line longer than a whole file is cut to fit.
    size_t room = log.cap - log.size - (sizeof kEol - 1);
    if (line.size() > room) line.resize(room);
    Put(log, line + kEol);
}

std::string MaskQueryValue(const std::string& url, const char* key)
{
    size_t query = url.find('?');
    if (!key || !*key || query == std::string::npos) return url;
    size_t end = url.find('#', query);
    if (end == std::string::npos) end = url.size();
    std::string out = url.substr(0, query + 1);
    for (size_t pos = query + 1;;) {
        size_t amp = url.find('&', pos);
        if (amp == std::string::npos || amp > end) amp = end;
        std::string param = url.substr(pos, amp - pos);
        size_t eq = param.find('=');
        if (eq != std::string::npos && SameLetters(param.substr(0, eq), key)) out += param.substr(0, eq + 1) + "***";
        else out += param;
        if (amp == end) break;
        out += '&';
        pos = amp + 1;
    }
    return out + url.substr(end);
}

void SupportLogSipLine(int level, const char* szLine, void*)
{
    if (!SupportLogEnabled() || !szLine) return;
    SupportLogWrite("sip", std::string(LevelName(level)) + " " + szLine);
}
