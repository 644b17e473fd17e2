// The support log: a text file the program writes when it is started with --log, for
// the service's support staff to ask for. Portable (built and tested natively too).
//
// One line per entry, UTF-8, "YYYY-MM-DD hh:mm:ss.mmm [category] text" in local time;
// every line is flushed as it is written, so a crash keeps what came before it. A new
// file starts with a UTF-8 byte order mark (Notepad then shows Chinese text right);
// lines end in CRLF on Windows, LF elsewhere.
//
// Size: the file never grows past the cap (1 MB unless SupportLogSetCap says otherwise).
// A line that would take it past the cap first closes it and renames it to the previous
// file's name (path + ".1", replacing the one before), then starts a new file. When that
// rename fails (the previous file is held open by another program, say), the current
// file is kept as it is, the line and those after it are left out (counted), and the
// rename is tried again at the next line written a second or more later; the new file
// then begins with the count of the lines left out. So the two files together never
// pass twice the cap and nothing already written is lost.
//
// Threads: every function may be called from any thread; writes are serialised by one
// lock. SupportLogSipLine is called by the call-control library from its own threads,
// with its locks held: it only writes here and never calls the library.
#pragma once
#include <cstddef>
#include <string>

#ifdef _WIN32
typedef std::wstring SupportLogPath;
#else
typedef std::string SupportLogPath;
#endif

// Opens the file for appending (a file already open is closed first). A missing folder
// of the file (one level) is made. False, and the log stays off, when it cannot be
// opened.
bool SupportLogOpen(const SupportLogPath& path);
void SupportLogClose();
// Whether the log is open: one atomic read, cheap enough to ask before building a line.
bool SupportLogEnabled();
// Writes one line. Text from outside (SIP messages, server answers) cannot forge or
// hide a line: line breaks become spaces; other control characters (C0 but tab, DEL
// and bytes that are not well-formed UTF-8 as \xNN; C1 as \u0080-\u009F), the line
// and paragraph separators and the bidirectional embeddings, overrides and isolates
// (U+2028, U+2029, U+202A-U+202E, U+2066-U+2069, as \uXXXX) are escaped. Nothing
// happens while the log is not open.
void SupportLogWrite(const char* category, const std::string& utf8Line);
// The size cap in bytes (tests use small ones); at least 256.
void SupportLogSetCap(size_t bytes);

// The URL with the value of every query parameter named `key` (compared without regard
// to case) replaced by "***": MaskQueryValue("http://h/a?u=1&pass=x", "pass") gives
// "http://h/a?u=1&pass=***". Text without a query, or a null or empty key, comes back
// unchanged.
std::string MaskQueryValue(const std::string& url, const char* key);

// A log callback for the call-control library (SIPX_LOG_CALLBACK): its lines go to the
// log under category "sip", after the level's name ("INFO line 257 ...").
void SupportLogSipLine(int level, const char* szLine, void* pUserData);
