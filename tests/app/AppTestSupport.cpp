#include <winsock2.h>
#include "AppTestSupport.h"
#include "WinText.h"
#include <gtest/gtest.h>
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include "WinHarness.h"
#include "resource.h"
#include "QuillonVersion.h"

namespace apptest {

namespace {
std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Wide, so folders that tests name in Chinese go too on any system code page.
void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = dir + L"\\" + name;
            ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else
                ::DeleteFileW(full.c_str());
        } while (::FindNextFileW(h, &fd));
        ::FindClose(h);
    }
    ::RemoveDirectoryW(dir.c_str());
}
}

ScratchFolder::ScratchFolder()
{
    char prev[MAX_PATH], tmp[MAX_PATH];
    ::GetCurrentDirectoryA(MAX_PATH, prev);
    m_previous = prev;
    ::GetTempPathA(MAX_PATH, tmp);
    static int counter = 0;
    for (;;) {
        char name[64];
        std::snprintf(name, sizeof name, "quillon-test-%lu-%d", ::GetCurrentProcessId(), ++counter);
        m_path = std::string(tmp) + name;
        if (::CreateDirectoryA(m_path.c_str(), nullptr))
            break;
    }
    ::SetCurrentDirectoryA(m_path.c_str());
}

ScratchFolder::~ScratchFolder()
{
    ::SetCurrentDirectoryA(m_previous.c_str());
    RemoveTree(wintext::Wide(m_path));
}

// Paths are GBK, opened wide like the program's own files.
bool WriteBytes(const std::string& path, const std::string& bytes)
{
    std::FILE* f = ::_wfopen(wintext::Wide(path).c_str(), L"wb");
    if (!f)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

std::string ReadBytes(const std::string& path)
{
    std::FILE* f = ::_wfopen(wintext::Wide(path).c_str(), L"rb");
    if (!f)
        return "<missing>";
    std::string bytes;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        bytes.append(buf, n);
    std::fclose(f);
    return bytes;
}

bool Exists(const std::string& path)
{
    return ::GetFileAttributesW(wintext::Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool AccountServer::Available() { return !Env("QUILLON_FIXTURE_DIR").empty(); }
std::string AccountServer::Url() { return Env("QUILLON_SERVER_URL"); }
std::string AccountServer::HttpsUrl() { return Env("QUILLON_SERVER_HTTPS_URL"); }
std::string AccountServer::WrongNameUrl() { return Env("QUILLON_SERVER_WRONG_NAME_URL"); }
std::string AccountServer::BlackholeUrl() { return Env("QUILLON_SERVER_BLACKHOLE_URL"); }

void AccountServer::Answer(const char* path, const std::string& body, int status, double delay)
{
    const std::string base = Env("QUILLON_FIXTURE_DIR") + "\\" + path;
    WriteBytes(base + ".body", body);
    WriteBytes(base + ".status", std::to_string(status));
    if (delay > 0)
        WriteBytes(base + ".delay", std::to_string(delay));
    else
        ::DeleteFileA((base + ".delay").c_str());
    ::DeleteFileA((base + ".close").c_str());
}

void AccountServer::CloseWithoutAnswer(const char* path, bool close)
{
    const std::string file = Env("QUILLON_FIXTURE_DIR") + "\\" + path + ".close";
    if (close)
        WriteBytes(file, "1");
    else
        ::DeleteFileA(file.c_str());
}

std::vector<std::string> AccountServer::Requests()
{
    std::vector<std::string> lines;
    std::ifstream f(Env("QUILLON_FIXTURE_DIR") + "\\requests.log", std::ios::binary);
    std::string line;
    while (std::getline(f, line))
        lines.push_back(line);
    return lines;
}

void AccountServer::ClearRequests()
{
    ::DeleteFileA((Env("QUILLON_FIXTURE_DIR") + "\\requests.log").c_str());
}

std::string DeadServerUrl()
{
    // Bind a port, learn its number and close it again: nothing listens there now.
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::closesocket(s);
    return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

const char ProgramRun::kCaption[] = QUILLON_CAPTION;

void ProgramRun::CopyFiles()
{
    for (const char* f : {"Quillon.exe", "callctl.dll", "SkinFeature.dll", "superxp.rss", "Login.xml", "Audio.xml",
                          "Call.xml"})
        ASSERT_TRUE(::CopyFileA((std::string(QUILLON_DIST_WIN) + "/" + f).c_str(), f, FALSE)) << f;
}

HANDLE ProgramRun::Start(const std::string& moreArguments)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string cmd = "Quillon.exe --server=" + AccountServer::Url() + moreArguments;
    if (!::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, m_folder.c_str(), &si, &m_process)) {
        m_process = {};
        return nullptr;
    }
    return m_process.hProcess;
}

HWND ProgramRun::SignIn(int callServerPort, int proxyPort, const std::string& moreArguments)
{
    AccountServer::Answer("login.php", "ok!8001@25.60#127.0.0.1:" + std::to_string(callServerPort) +
                                           "$075512345678%127.0.0.1:" + std::to_string(proxyPort) + "^\n");
    if (!Start(moreArguments))
        return nullptr;
    HWND login = WaitForLogin();
    if (!login)
        return nullptr;
    HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(login, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0));
    ::SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("80012345"));
    ::SendDlgItemMessageA(login, IDC_PASSWORD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("secret"));
    if (!wintest::Click(login, IDC_SIGNIN))
        return nullptr;
    HWND phone = nullptr;
    wintest::PumpUntil([&] { return (phone = Phone()) != nullptr; }, 15000);
    return phone;
}

HWND ProgramRun::SignInAndRegister(int callServerPort, int proxyPort)
{
    HWND phone = SignIn(callServerPort, proxyPort);
    if (!phone ||
        !wintest::PumpUntil([&] { return wintest::Text(phone, IDC_STATUS) == "成功登陆.请输入呼叫号码"; }, 10000))
        return nullptr;
    return phone;
}

HWND ProgramRun::Login()
{
    return ::FindWindowW(nullptr, wintext::Wide(kCaption).c_str());
}

HWND ProgramRun::WaitForLogin()
{
    HWND w = nullptr;
    wintest::PumpUntil([&] { return (w = Login()) != nullptr && ::IsWindowVisible(w); }, 15000);
    return w;
}

HWND ProgramRun::Phone() const
{
    for (HWND w : Shown())
        if (::GetDlgItem(w, IDC_KEY_5))
            return w;
    return nullptr;
}

std::vector<HWND> ProgramRun::Shown() const
{
    struct Ctx {
        DWORD pid;
        std::vector<HWND> out;
        static BOOL CALLBACK Add(HWND w, LPARAM p)
        {
            auto* c = reinterpret_cast<Ctx*>(p);
            DWORD pid = 0;
            ::GetWindowThreadProcessId(w, &pid);
            if (pid == c->pid && ::IsWindowVisible(w))
                c->out.push_back(w);
            return TRUE;
        }
    } ctx{m_process.dwProcessId, {}};
    ::EnumWindows(&Ctx::Add, reinterpret_cast<LPARAM>(&ctx));
    return ctx.out;
}

HWND ProgramRun::Find(const std::string& caption, int id) const
{
    for (HWND w : Shown())
        if (wintest::Text(w) == caption && (id == 0 || ::GetDlgItem(w, id)))
            return w;
    return nullptr;
}

void ProgramRun::End(Closing closing, DWORD ms)
{
    if (!m_process.hProcess)
        return;
    if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
        if (closing == Closing::ExitButton) {
            if (HWND w = Login())
                ::PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
        } else if (closing == Closing::PhoneWindow) {
            if (HWND w = Phone())
                ::PostMessageA(w, WM_CLOSE, 0, 0);
        } else {
            for (HWND w : Shown())
                ::PostMessageA(w, WM_CLOSE, 0, 0);
        }
        if (::WaitForSingleObject(m_process.hProcess, ms) == WAIT_TIMEOUT)
            ::TerminateProcess(m_process.hProcess, 1);
    }
    ::CloseHandle(m_process.hThread);
    ::CloseHandle(m_process.hProcess);
    m_process = {};
}

}  // namespace apptest
