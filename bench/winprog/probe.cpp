// Drives a program from outside and reads what its process costs, under Wine.
//
//   quillon_probe baseline EXE SETTLE_S CPU_S
//   quillon_probe phone FOLDER SERVER_URL NUMBER SETTLE_S CPU_S
//
// "baseline" starts EXE and measures it once it has settled, then its CPU over CPU_S
// seconds. "phone" starts FOLDER\Quillon.exe --server=SERVER_URL, measures the login
// window, signs in (80012345 / demo1234) and measures the registered phone window idle,
// then calls NUMBER and measures the answered call, hangs up and closes the program.
// One line per stage, tab-separated:
//   stage  private_kB  working_set_kB  rss_anon_kB  cpu_ms  over_ms
// private and working set come from GetProcessMemoryInfo; rss_anon and the CPU time
// (user + system) from the Linux process that runs the program (/proc through Z:).
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>
#include "resource.h"

namespace {

struct Process {
    PROCESS_INFORMATION pi = {};
    std::string exeName;    // the file name the Linux command line ends with
    long unixPid = 0;
};

std::string ReadUnixFile(const std::string& path)
{
    std::string z = "Z:" + path;
    for (char& c : z)
        if (c == '/')
            c = '\\';
    FILE* f = std::fopen(z.c_str(), "rb");
    if (!f)
        return std::string();
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

// The Linux process whose command line names the program: Wine shows the Windows
// command line there.
long FindUnixPid(const std::string& exeName)
{
    WIN32_FIND_DATAA fd;
    HANDLE find = ::FindFirstFileA("Z:\\proc\\*", &fd);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    long found = 0;
    do {
        char* end = nullptr;
        const long pid = std::strtol(fd.cFileName, &end, 10);
        if (pid <= 0 || *end)
            continue;
        std::string cmd = ReadUnixFile("/proc/" + std::to_string(pid) + "/cmdline");
        for (char& c : cmd)
            if (c == '\0')
                c = ' ';
        if (cmd.find(exeName) != std::string::npos && cmd.find("quillon_probe") == std::string::npos)
            found = pid;
    } while (!found && ::FindNextFileA(find, &fd));
    ::FindClose(find);
    return found;
}

long StatusKb(long pid, const char* key)
{
    const std::string status = ReadUnixFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find(std::string(key) + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(key) + 1);
}

// User + system time of the Linux process, in milliseconds.
long long CpuMs(long pid)
{
    const std::string stat = ReadUnixFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> fields;
    std::string cur;
    for (size_t i = close + 2; i <= stat.size(); ++i) {
        if (i == stat.size() || stat[i] == ' ') {
            fields.push_back(cur);
            cur.clear();
        } else {
            cur += stat[i];
        }
    }
    if (fields.size() < 13)
        return -1;
    const long long ticks = std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str());
    return ticks * 10;     // USER_HZ is 100 on Linux
}

bool Start(Process& p, const std::string& commandLine, const std::string& folder, const std::string& exeName)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string cmd = commandLine;
    if (!::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &si, &p.pi))
        return false;
    p.exeName = exeName;
    ::WaitForInputIdle(p.pi.hProcess, 15000);
    for (int i = 0; i < 100 && !p.unixPid; ++i) {
        p.unixPid = FindUnixPid(exeName);
        if (!p.unixPid)
            ::Sleep(100);
    }
    return p.unixPid != 0;
}

void Report(const Process& p, const char* stage, long long cpuMs, DWORD overMs)
{
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    ::GetProcessMemoryInfo(p.pi.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc);
    std::printf("%s\t%lu\t%lu\t%ld\t%lld\t%lu\n", stage, static_cast<unsigned long>(pmc.PrivateUsage / 1024),
                static_cast<unsigned long>(pmc.WorkingSetSize / 1024), StatusKb(p.unixPid, "RssAnon"), cpuMs,
                static_cast<unsigned long>(overMs));
    std::fflush(stdout);
}

// Settles, reports the memory, then the CPU time over cpuS seconds.
void Measure(const Process& p, const char* stage, int settleS, int cpuS)
{
    ::Sleep(static_cast<DWORD>(settleS) * 1000);
    const long long before = CpuMs(p.unixPid);
    const DWORD t0 = ::GetTickCount();
    ::Sleep(static_cast<DWORD>(cpuS) * 1000);
    const long long after = CpuMs(p.unixPid);
    Report(p, stage, after - before, ::GetTickCount() - t0);
}

struct Find {
    DWORD pid;
    int childId;
    HWND found;
};

BOOL CALLBACK Visit(HWND h, LPARAM l)
{
    Find& f = *reinterpret_cast<Find*>(l);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(h, &pid);
    if (pid == f.pid && ::IsWindowVisible(h) && ::GetDlgItem(h, f.childId)) {
        f.found = h;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level window of the process with a child of this id.
HWND WindowWith(const Process& p, int childId)
{
    Find f = {p.pi.dwProcessId, childId, nullptr};
    ::EnumWindows(Visit, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

HWND WaitForWindow(const Process& p, int childId, DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 100) {
        if (HWND h = WindowWith(p, childId))
            return h;
        ::Sleep(100);
    }
    return nullptr;
}

std::wstring Text(HWND h)
{
    wchar_t buf[512] = {0};
    ::SendMessageW(h, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf));
    return buf;
}

bool WaitForText(HWND h, const wchar_t* prefix, DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 100) {
        if (Text(h).compare(0, std::wcslen(prefix), prefix) == 0)
            return true;
        ::Sleep(100);
    }
    return false;
}

void SetComboText(HWND dlg, int id, const wchar_t* text)
{
    HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageW(dlg, id, CBEM_GETEDITCONTROL, 0, 0));
    ::SendMessageW(edit ? edit : ::GetDlgItem(dlg, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void Press(HWND dlg, int id)
{
    ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dlg, id)));
}

int Fail(Process& p, const char* what)
{
    std::fprintf(stderr, "probe: %s\n", what);
    if (p.pi.hProcess)
        ::TerminateProcess(p.pi.hProcess, 1);
    return 1;
}

void End(Process& p, HWND window)
{
    if (window)
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(p.pi.hProcess, 15000) != WAIT_OBJECT_0)
        ::TerminateProcess(p.pi.hProcess, 1);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    Process p;
    if (mode == "baseline" && argc == 5) {
        std::string exe = argv[2];
        const std::string name = exe.substr(exe.find_last_of("\\/") + 1);
        if (!Start(p, "\"" + exe + "\"", std::string(), name))
            return Fail(p, "the baseline program did not start");
        Measure(p, "baseline", std::atoi(argv[3]), std::atoi(argv[4]));
        HWND h = ::FindWindowW(nullptr, L"quillon baseline");
        End(p, h);
        return 0;
    }
    if (mode != "phone" || argc != 7)
        return std::fprintf(stderr, "usage: quillon_probe baseline EXE SETTLE_S CPU_S\n"
                                    "       quillon_probe phone FOLDER SERVER_URL NUMBER SETTLE_S CPU_S\n"), 2;
    const std::string folder = argv[2], url = argv[3];
    const int settle = std::atoi(argv[5]), cpu = std::atoi(argv[6]);
    wchar_t number[64] = {0};
    ::MultiByteToWideChar(CP_ACP, 0, argv[4], -1, number, 64);

    if (!Start(p, "\"" + folder + "\\Quillon.exe\" --server=" + url, folder, "Quillon.exe"))
        return Fail(p, "Quillon.exe did not start");
    HWND login = WaitForWindow(p, IDC_SIGNIN, 20000);
    if (!login)
        return Fail(p, "no login window");
    Measure(p, "login", settle, cpu);

    SetComboText(login, IDC_ACCOUNT, L"80012345");
    SetComboText(login, IDC_PASSWORD, L"demo1234");
    Press(login, IDC_SIGNIN);
    HWND phone = WaitForWindow(p, IDC_KEY_1, 20000);
    if (!phone)
        return Fail(p, "no phone window");
    if (!WaitForText(::GetDlgItem(phone, IDC_STATUS), L"成功登陆", 20000))
        return Fail(p, "the line did not register");
    Measure(p, "registered", settle, cpu);

    SetComboText(phone, IDC_NUMBER, number);
    Press(phone, IDC_CALL);
    if (!WaitForText(::GetDlgItem(phone, IDC_STATUS), L"呼叫成功", 20000))
        return Fail(p, "the call was not answered");
    Measure(p, "call", settle, cpu);
    Press(phone, IDC_HANGUP);
    ::Sleep(1000);
    End(p, phone);
    return 0;
}
