// A small Windows tool for the package tests: reads shortcuts through the shell's own
// IShellLink, names the user's shell folders, starts the installed program from its
// shortcut and drives its login window by control id. Prints UTF-8 "key=value" lines.
//
//   probe folders                 programs=, desktop=, localappdata=
//   probe lnk FILE                target=, workdir=, args=, icon=
//   probe start LNK [URL]         starts the shortcut's program in the shortcut's working
//                                 folder (with --server=URL when given, else as the
//                                 shortcut says), signs in with an account the
//                                 server refuses and waits for the refusal; leaves the
//                                 program running; prints pid=, status=
//   probe close                   ends the running program by its exit button
//   probe run "COMMAND LINE"      runs the command line exactly as given (an installer's
//                                 /D= wants its path unquoted) and waits; prints exit=
//
// Exit status 0 when what was asked happened, 1 otherwise.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <string>
#include "QuillonVersion.h"
#include "resource.h"

namespace {

const wchar_t kCaption[] = L"" QUILLON_CAPTION;
const wchar_t kRefused[] = L"帐号密码验证错误";

void Out(const std::wstring& key, const std::wstring& value)
{
    const std::wstring line = key + L"=" + value + L"\n";
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), &bytes[0], n, nullptr, nullptr);
    DWORD written;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

int Fail(const std::wstring& why)
{
    Out(L"error", why);
    return 1;
}

template <class F>
bool WaitFor(F condition, DWORD ms)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (::GetTickCount() - start > ms)
            return false;
        ::Sleep(50);
    }
}

std::wstring ShellFolder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    return SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) ? path : L"";
}

struct Shortcut {
    std::wstring target, workdir, args, icon;
};

bool ReadShortcut(const wchar_t* file, Shortcut& out)
{
    IShellLinkW* link = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(&link))))
        return false;
    IPersistFile* persist = nullptr;
    bool ok = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
              SUCCEEDED(persist->Load(file, STGM_READ));
    if (ok) {
        wchar_t buf[MAX_PATH * 2];
        int index = 0;
        buf[0] = 0;
        link->GetPath(buf, MAX_PATH * 2, nullptr, SLGP_RAWPATH);
        out.target = buf;
        buf[0] = 0;
        link->GetWorkingDirectory(buf, MAX_PATH * 2);
        out.workdir = buf;
        buf[0] = 0;
        link->GetArguments(buf, MAX_PATH * 2);
        out.args = buf;
        buf[0] = 0;
        link->GetIconLocation(buf, MAX_PATH * 2, &index);
        out.icon = std::wstring(buf) + L"," + std::to_wstring(index);
    }
    if (persist)
        persist->Release();
    link->Release();
    return ok;
}

std::wstring Text(HWND w)
{
    wchar_t buf[512] = L"";
    ::SendMessageW(w, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf));
    return buf;
}

// The program's login window, visible; of process `pid` unless it is 0.
HWND LoginWindow(DWORD pid)
{
    HWND w = ::FindWindowW(nullptr, kCaption);
    if (!w || !::IsWindowVisible(w))
        return nullptr;
    DWORD owner = 0;
    ::GetWindowThreadProcessId(w, &owner);
    return pid == 0 || owner == pid ? w : nullptr;
}

int Start(const wchar_t* lnk, const wchar_t* url)
{
    Shortcut s;
    if (!ReadShortcut(lnk, s))
        return Fail(L"cannot read the shortcut");
    std::wstring cmd = L"\"" + s.target + L"\" " + s.args + (url ? L" --server=" + std::wstring(url) : L"");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                          s.workdir.empty() ? nullptr : s.workdir.c_str(), &si, &pi))
        return Fail(L"CreateProcess failed: " + std::to_wstring(::GetLastError()));
    Out(L"pid", std::to_wstring(pi.dwProcessId));
    HWND login = nullptr;
    if (!WaitFor([&] { return (login = LoginWindow(pi.dwProcessId)) != nullptr ||
                              ::WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0; }, 20000) || !login)
        return Fail(L"no login window");
    HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageW(login, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0));
    if (!edit)
        return Fail(L"no account field");
    ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"80012345"));
    ::SendDlgItemMessageW(login, IDC_PASSWORD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"secret"));
    ::PostMessageW(login, WM_COMMAND, MAKEWPARAM(IDC_SIGNIN, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(login, IDC_SIGNIN)));
    HWND status = ::GetDlgItem(login, IDC_LOGIN_STATUS);
    const bool refused = WaitFor([&] { return Text(status) == kRefused; }, 20000);
    Out(L"status", Text(status));
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return refused ? 0 : Fail(L"the refusal was not shown");
}

int Close()
{
    HWND login = ::FindWindowW(nullptr, kCaption);
    if (!login)
        return Fail(L"no program window");
    DWORD pid = 0;
    ::GetWindowThreadProcessId(login, &pid);
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!process)
        return Fail(L"cannot open the program's process");
    ::PostMessageW(login, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
    const bool ended = ::WaitForSingleObject(process, 15000) == WAIT_OBJECT_0;
    if (!ended)
        ::TerminateProcess(process, 1);
    ::CloseHandle(process);
    return ended ? 0 : Fail(L"the program did not end by its exit button");
}

int Run(const wchar_t* commandLine)
{
    std::wstring cmd = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return Fail(L"CreateProcess failed: " + std::to_wstring(::GetLastError()));
    DWORD code = 1;
    const bool ended = ::WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    if (!ended)
        return Fail(L"still running after two minutes");
    Out(L"exit", std::to_wstring(code));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ::CoInitialize(nullptr);
    const std::wstring cmd = argc > 1 ? argv[1] : L"";
    if (cmd == L"folders") {
        Out(L"programs", ShellFolder(CSIDL_PROGRAMS));
        Out(L"desktop", ShellFolder(CSIDL_DESKTOPDIRECTORY));
        Out(L"localappdata", ShellFolder(CSIDL_LOCAL_APPDATA));
        return 0;
    }
    if (cmd == L"lnk" && argc == 3) {
        Shortcut s;
        if (!ReadShortcut(argv[2], s))
            return Fail(L"cannot read the shortcut");
        Out(L"target", s.target);
        Out(L"workdir", s.workdir);
        Out(L"args", s.args);
        Out(L"icon", s.icon);
        return 0;
    }
    if (cmd == L"start" && (argc == 3 || argc == 4))
        return Start(argv[2], argc == 4 ? argv[3] : nullptr);
    if (cmd == L"close")
        return Close();
    if (cmd == L"run" && argc == 3)
        return Run(argv[2]);
    return Fail(L"usage: probe folders | lnk FILE | start LNK [URL] | close | run \"COMMAND LINE\"");
}
