#include "AccountQuery.h"
#include <process.h>
#include <wininet.h>
#include <memory>
#include <stdexcept>
#include <thread>
#include "ProgramLog.h"
#include "SupportLog.h"

bool StartQueryWorker(unsigned (__stdcall* worker)(void*), void* argument)
{
    uintptr_t thread = ::_beginthreadex(nullptr, 0, worker, argument, 0, nullptr);
    if (!thread)
        return false;
    ::CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

std::string ApplicationName()
{
    wchar_t path[MAX_PATH] = {0};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, n < MAX_PATH ? n : 0);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0)
        name.erase(dot);
    // In GBK like every text; a character GBK lacks becomes '?'.
    std::string gbk;
    const int bytes = ::WideCharToMultiByte(936, 0, name.data(), static_cast<int>(name.size()), nullptr, 0, "?", nullptr);
    if (bytes > 0) {
        gbk.resize(static_cast<size_t>(bytes));
        ::WideCharToMultiByte(936, 0, name.data(), static_cast<int>(name.size()), &gbk[0], bytes, "?", nullptr);
    }
    return gbk;
}

namespace {
// An https:// base URL makes every query HTTPS. WinINet checks the server's certificate
// (chain to a trusted root, dates, the URL's host name) and fails the request when it
// does not hold; nothing here turns a check off, so a certificate error is a failed
// query like any network failure.
bool IsHttps(const std::string& url)
{
    static const char scheme[] = "https://";
    return url.size() >= sizeof scheme - 1 && ::_strnicmp(url.c_str(), scheme, sizeof scheme - 1) == 0;
}

// What a failed query's error means when it is about the server's certificate, the
// TLS connection or the time-outs, for the support log; empty for every other error.
std::string FailureCause(DWORD error)
{
    switch (error) {
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return "the server's certificate is for another name";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return "the server's certificate has expired or is not valid yet";
    case ERROR_INTERNET_INVALID_CA: return "the server's certificate is from an untrusted authority";
    case ERROR_INTERNET_SEC_CERT_REVOKED: return "the server's certificate is revoked";
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_NO_REV: return "the server's certificate chain could not be checked";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT: return "the server's certificate is not valid";
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED: return "the server asks for a client certificate";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: return "no secure connection could be made";
    case ERROR_INTERNET_TIMEOUT: return "no answer in time";
    default: return std::string();
    }
}

bool FetchLine(const std::string& url, std::string& line, DWORD& error)
{
    // An answer line longer than this is no answer of ours; stop reading there.
    const size_t kMaxLine = 64 * 1024;
    line.clear();
    HINTERNET inet = ::InternetOpenA(ApplicationName().c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!inet) {
        error = ::GetLastError();
        return false;
    }
    const struct { DWORD option, ms; } timeouts[] = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, querytime::kConnectMs},
        {INTERNET_OPTION_SEND_TIMEOUT, querytime::kSendMs},
        {INTERNET_OPTION_DATA_SEND_TIMEOUT, querytime::kSendMs},
        {INTERNET_OPTION_RECEIVE_TIMEOUT, querytime::kReceiveMs},
        {INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, querytime::kReceiveMs},
    };
    for (const auto& t : timeouts) {
        DWORD ms = t.ms;
        ::InternetSetOptionA(inet, t.option, &ms, sizeof ms);
    }
    DWORD retries = 1;
    ::InternetSetOptionA(inet, INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof retries);
    // The query carries the password: WinINet writes nothing of it to its cache on disk,
    // and never answers it from there either; the request asks proxies for no cached
    // copy too.
    DWORD flags = INTERNET_FLAG_TRANSFER_ASCII | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD |
                  INTERNET_FLAG_PRAGMA_NOCACHE;
    if (IsHttps(url))
        flags |= INTERNET_FLAG_SECURE;
    HINTERNET request = ::InternetOpenUrlA(inet, url.c_str(), nullptr, 0, flags, 0);
    if (!request) {
        error = ::GetLastError();
        ::InternetCloseHandle(inet);
        return false;
    }
    bool ok = true;
    // One byte at a time: a server that keeps the connection open after the line
    // must not keep us waiting for more.
    for (;;) {
        char c;
        DWORD got = 0;
        if (!::InternetReadFile(request, &c, 1, &got)) {
            error = ::GetLastError();
            ok = false;
            break;
        }
        if (got == 0 || c == '\n' || line.size() >= kMaxLine)
            break;
        line += c;
    }
    ::InternetCloseHandle(request);
    ::InternetCloseHandle(inet);
    if (!ok)
        line.clear();
    return ok;
}

// FetchLine on a thread of its own, waited for at most querytime::kWholeMs: the system's
// time-outs do not bound everything (name lookup, a connection attempt per address). A
// query given up on finishes, or not, on its own; its result is dropped with it.
bool FetchLineWithin(const std::string& url, std::string& line, DWORD& error)
{
    struct Job {
        std::string url, line;
        DWORD error = 0;
        bool ok = false;
        HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~Job() { if (done) ::CloseHandle(done); }
    };
    auto job = std::make_shared<Job>();
    job->url = url;
    try {
        if (!job->done)
            throw std::runtime_error("no event");
        std::thread([job] {
            job->ok = FetchLine(job->url, job->line, job->error);
            ::SetEvent(job->done);
        }).detach();
    } catch (const std::exception&) {
        return FetchLine(url, line, error);   // no thread to spare: the system's time-outs only
    }
    if (::WaitForSingleObject(job->done, querytime::kWholeMs) != WAIT_OBJECT_0) {
        line.clear();
        error = ERROR_INTERNET_TIMEOUT;
        return false;
    }
    line = job->line;
    error = job->error;
    return job->ok;
}
}  // namespace

// Every query and its answer go to the support log when it is on; the password never
// does.
bool FetchFirstLine(const std::string& url, std::string& line)
{
    const bool logged = SupportLogEnabled();
    std::string masked;
    if (logged) {
        masked = MaskQueryValue(url, "pass");
        SupportLogWrite("account", "GET " + masked);
    }
    DWORD error = 0;
    const bool ok = FetchLineWithin(url, line, error);
    if (logged) {
        const size_t query = masked.find('?');
        const std::string what = masked.substr(0, query);
        if (ok)
            LogGbk("account", what + " answered: " + line.substr(0, 512));
        else {
            const std::string why = FailureCause(error);
            SupportLogWrite("account", what + " failed: network error " + std::to_string(error) +
                                           (why.empty() ? "" : " (" + why + ")"));
        }
    }
    return ok;
}
