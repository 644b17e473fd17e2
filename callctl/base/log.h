// The library's log: one sink for the whole process (sipxConfigSetLogSink),
// a file or the program's callback.
//
// Threads. Any thread may log: the library threads, the media threads and
// the program's threads inside API calls (often with an instance or engine
// lock held). The sink is guarded by its own lock, taken last and never
// while anything else is asked for; the program's callback runs under it,
// so lines never interleave and a sink replaced by set_sink is not running
// any more once set_sink has returned.
//
// Cost. While the level of a site is off, CALLCTL_LOG costs one relaxed
// atomic load: its arguments are not evaluated and nothing is formatted.
//
// Text is UTF-8. Names the program gave in GBK (devices) go through
// gbk_to_utf8 first; bytes that are not UTF-8 (a datagram's junk) are
// written as \xNN. Text from outside cannot forge or hide a line: control
// characters and the bidirectional overrides are escaped (printable).
//
// File size. The file sink never grows past its cap (1 MB): a line that
// would take it past the cap first renames it to the previous file's name
// (path + ".1", replacing the one before) and starts a new file. When that
// rename fails (another program holds the file), the full file is kept as it
// is, the lines meanwhile are left out (counted), and the rename is tried
// again at the next line a second or more later; the new file then begins
// with the count. The two files together never pass twice the cap.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "../include/callctl.h"
#include "base.h"

namespace callctl::log {

enum Level { None = SIPX_LOG_NONE, Error = SIPX_LOG_ERROR, Warning = SIPX_LOG_WARNING, Info = SIPX_LOG_INFO,
             Debug = SIPX_LOG_DEBUG };

extern std::atomic<int> g_level;
inline bool on(int level) { return level <= g_level.load(std::memory_order_relaxed); }

// As sipxConfigSetLogSink: level NONE or neither file nor callback turns the
// log off; a file that cannot be opened fails and keeps the sink as it was.
SIPX_RESULT set_sink(int level, const char *gbk_path, SIPX_LOG_CALLBACK cb, void *user);

// The file sink's cap in bytes (tests use small ones); at least 256.
void set_file_cap(size_t bytes);

// One entry (printf format). Callers check on() first; CALLCTL_LOG does.
void linef(int level, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// A SIP datagram, whole, at DEBUG: a heading line with the direction, the
// peer and the size, then one entry per line of the message, "> " before
// those sent and "< " before those received. Secrets are masked first.
void sip_message(bool sent, const Endpoint &peer, std::string_view datagram);

// The message with the values of response= and of parameters whose name
// holds "pass" replaced by *** in its Authorization and Proxy-Authorization
// headers (folded lines included), and in its body the SRTP keys of
// a=crypto lines ("inline:***", lifetime and MKI kept). Everything else is
// left as it was.
std::string mask_secrets(std::string_view message);

// Valid UTF-8 as it is, but: bytes that are not well-formed UTF-8, and the
// control characters but tab, as \xNN; C1 controls, the line and paragraph
// separators (U+2028, U+2029) and the bidirectional embeddings, overrides and
// isolates (U+202A-U+202E, U+2066-U+2069) as \uXXXX.
std::string printable(std::string_view text);

}  // namespace callctl::log

#define CALLCTL_LOG(level, ...)                                             \
    do {                                                                    \
        if (::callctl::log::on(level)) ::callctl::log::linef(level, __VA_ARGS__); \
    } while (0)
