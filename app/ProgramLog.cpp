#include "ProgramLog.h"
#include <windows.h>
#include <cstdio>
#include "QuillonVersion.h"
#include "SupportLog.h"

bool LogSwitchInCommandLine(const std::string& cmdLine)
{
    for (size_t at = cmdLine.find("--log"); at != std::string::npos; at = cmdLine.find("--log", at + 1)) {
        const bool starts = at == 0 || cmdLine[at - 1] == ' ' || cmdLine[at - 1] == '\t';
        const size_t end = at + 5;
        const bool ends = end == cmdLine.size() || cmdLine[end] == ' ' || cmdLine[end] == '\t';
        if (starts && ends)
            return true;
    }
    return false;
}

namespace {
std::string Utf8(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromGbk(const std::string& gbk)
{
    if (gbk.empty())
        return std::wstring();
    const int n = ::MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), &out[0], n);
    return out;
}

// The Windows version as the system reports it to programs without a manifest entry
// for newer versions; good enough for support to tell XP from 10.
std::string WindowsVersion()
{
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOEXW*);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (!rtlGetVersion || rtlGetVersion(&info) != 0)
        return "unknown";
    char text[160];
    std::snprintf(text, sizeof text, "%lu.%lu build %lu %s, ANSI code page %u",
                  static_cast<unsigned long>(info.dwMajorVersion), static_cast<unsigned long>(info.dwMinorVersion),
                  static_cast<unsigned long>(info.dwBuildNumber), Utf8(info.szCSDVersion).c_str(), ::GetACP());
    return text;
}
}  // namespace

bool OpenProgramLog()
{
    wchar_t path[MAX_PATH] = {0};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    std::wstring folder(path, n);
    const size_t slash = folder.find_last_of(L"\\/");
    folder.erase(slash == std::wstring::npos ? 0 : slash + 1);
    if (!SupportLogOpen(folder + L"Quillon.log"))
        return false;
    SupportLogWrite("start", "Quillon " QUILLON_VERSION " (" + Utf8(std::wstring(path, n)) + ") on Windows " + WindowsVersion());
    return true;
}

void LogGbk(const char* category, const std::string& gbk)
{
    if (SupportLogEnabled())
        SupportLogWrite(category, Utf8(FromGbk(gbk)));
}
