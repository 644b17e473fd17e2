// The program's windows fit the screen at every scale: at 96, 144 and 192 DPI, on screens
// of 1366x768 and 1920x1080, the login window, the about box, the phone window and the
// multi-party, audio settings and sound-quality windows it opens each lie inside the work
// area of their monitor, every visible control inside its window's client area; a window
// is made smaller only when it has to be, and stays legible; the phone
// window's number box font keeps its size next to the window's text.
//
// One table of cases. Wine takes the DPI (HKCU\Control Panel\Desktop LogPixels) when a
// process starts, so each case runs this program again in a process of its own, with the
// value set for it and the test bed's desktop switched to the case's size; both are put
// back afterwards.
// The child runs OneScreen.EveryWindowFits (skipped in an ordinary run).
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include "AboutDlg.h"
#include "DialogTemplate.h"
#include "Dpi.h"
#include "LoginDlg.h"
#include "MultiPartyFixture.h"
#include "WinHarness.h"
#include "resource.h"

namespace {

const char kCaseVariable[] = "QUILLON_SCREEN_CASE";    // "dpi width height results-file"

// --- the parent: the table ------------------------------------------------------------------

// A registry value set for one case and put back as it was (or removed) afterwards.
class ScopedValue {
public:
    ScopedValue(HKEY root, const wchar_t* key, const wchar_t* name) : m_name(name)
    {
        m_ok = ::RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &m_key,
                                 nullptr) == ERROR_SUCCESS;
        DWORD size = 0;
        if (m_ok && ::RegQueryValueExW(m_key, name, nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS) {
            m_old.resize(size);
            m_had = ::RegQueryValueExW(m_key, name, nullptr, &m_type, m_old.data(), &size) == ERROR_SUCCESS;
        }
    }
    ~ScopedValue()
    {
        if (!m_ok)
            return;
        if (m_had)
            ::RegSetValueExW(m_key, m_name.c_str(), 0, m_type, m_old.data(), static_cast<DWORD>(m_old.size()));
        else
            ::RegDeleteValueW(m_key, m_name.c_str());
        ::RegCloseKey(m_key);
    }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

    bool Set(DWORD value)
    {
        return m_ok && ::RegSetValueExW(m_key, m_name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                        sizeof value) == ERROR_SUCCESS;
    }
    bool Set(const std::wstring& value)
    {
        return m_ok && ::RegSetValueExW(m_key, m_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

private:
    std::wstring m_name;
    HKEY m_key = nullptr;
    bool m_ok = false, m_had = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_old;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Screen {
    UINT dpi;
    int width, height;
};

// The desktop switched to another size for one case, and back to its own afterwards
// (the registry's mode; nothing is stored).
class ScopedScreenSize {
public:
    ScopedScreenSize(int width, int height)
    {
        DEVMODEW mode = {};
        mode.dmSize = sizeof mode;
        mode.dmPelsWidth = static_cast<DWORD>(width);
        mode.dmPelsHeight = static_cast<DWORD>(height);
        mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
        m_ok = ::ChangeDisplaySettingsExW(nullptr, &mode, nullptr, 0, nullptr) == DISP_CHANGE_SUCCESSFUL;
    }
    ~ScopedScreenSize() { ::ChangeDisplaySettingsExW(nullptr, nullptr, nullptr, 0, nullptr); }
    ScopedScreenSize(const ScopedScreenSize&) = delete;
    ScopedScreenSize& operator=(const ScopedScreenSize&) = delete;
    bool Ok() const { return m_ok; }

private:
    bool m_ok = false;
};

// Runs OneScreen.EveryWindowFits in a process of its own with the screen at the case's
// size and DPI; its exit code, with its output in `output` and its result line in `result`.
DWORD RunCase(const Screen& screen, const std::string& folder, std::string& output, std::string& result)
{
    ScopedValue logPixels(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels");
    if (!logPixels.Set(screen.dpi))
        return 0xFFFF0001;
    ScopedScreenSize size(screen.width, screen.height);
    if (!size.Ok())
        return 0xFFFF0004;

    const std::string outPath = folder + "\\case.out", resultPath = folder + "\\case.result";
    ::DeleteFileA(resultPath.c_str());
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = ::CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    const std::string value = std::to_string(screen.dpi) + " " + std::to_string(screen.width) + " " +
                              std::to_string(screen.height) + " " + resultPath;
    ::SetEnvironmentVariableA(kCaseVariable, value.c_str());

    wchar_t self[MAX_PATH] = {0};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=OneScreen.*";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi = {};
    DWORD code = 0xFFFF0002;
    if (::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        if (::WaitForSingleObject(pi.hProcess, 180000) != WAIT_OBJECT_0) {
            ::TerminateProcess(pi.hProcess, 0xFFFF0003);
            ::WaitForSingleObject(pi.hProcess, 5000);
        }
        ::GetExitCodeProcess(pi.hProcess, &code);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
    ::SetEnvironmentVariableA(kCaseVariable, nullptr);
    ::CloseHandle(out);
    output = ReadAll(outPath);
    result = ReadAll(resultPath);
    return code;
}

// The number box font next to the window's text, as a child reports it.
struct Reported {
    int dialogFont = 0, numberFont = 0;
};

TEST(WindowsFit, EveryWindowInsideTheWorkAreaAtEveryScale)
{
    if (std::getenv(kCaseVariable))
        GTEST_SKIP() << "a case's own run";
    apptest::ScratchFolder folder;
    const Screen table[] = {
        {96, 1366, 768}, {96, 1920, 1080},
        {144, 1366, 768}, {144, 1920, 1080},
        {192, 1366, 768}, {192, 1920, 1080},
    };
    std::vector<Reported> reports;
    for (const Screen& screen : table) {
        const std::string name = std::to_string(screen.dpi) + " DPI, " + std::to_string(screen.width) + "x" +
                                 std::to_string(screen.height);
        SCOPED_TRACE(name);
        std::string output, result;
        EXPECT_EQ(RunCase(screen, folder.Path(), output, result), 0u) << output;
        Reported r;
        std::istringstream(result) >> r.dialogFont >> r.numberFont;
        EXPECT_GT(r.dialogFont, 0) << output;
        reports.push_back(r);
    }
    // The number box font keeps its size next to the window's text at every scale, as at
    // 96 DPI (the first row).
    for (size_t i = 1; i < reports.size(); ++i) {
        SCOPED_TRACE(i);
        if (reports[0].dialogFont <= 0 || reports[i].dialogFont <= 0)
            continue;
        const int expected = ::MulDiv(reports[0].numberFont, reports[i].dialogFont, reports[0].dialogFont);
        EXPECT_NEAR(reports[i].numberFont, expected, 1);
    }
}

// --- the child: one screen ------------------------------------------------------------------

// The pixel height of a window's font (WM_GETFONT), 0 without one.
int FontHeight(HWND hWnd)
{
    HFONT font = reinterpret_cast<HFONT>(::SendMessageW(hWnd, WM_GETFONT, 0, 0));
    LOGFONTW lf = {};
    if (!font || !::GetObjectW(font, sizeof lf, &lf))
        return 0;
    return lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight;
}

bool Inside(const RECT& inner, const RECT& outer)
{
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

std::string Describe(const RECT& r)
{
    return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" + std::to_string(r.right) + "," +
           std::to_string(r.bottom) + ")";
}

// The window lies inside its monitor's work area and each visible control inside its
// client area; its font is the template's at this DPI unless the window would not fit
// with it, and not much smaller than the template's at 96 DPI.
void ExpectFits(HWND hWnd, UINT templateId, UINT dpi)
{
    SCOPED_TRACE("dialog " + std::to_string(templateId));
    ASSERT_TRUE(::IsWindow(hWnd));
    RECT window;
    ASSERT_TRUE(::GetWindowRect(hWnd, &window));
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(::GetMonitorInfoW(::MonitorFromWindow(hWnd, MONITOR_DEFAULTTONEAREST), &monitor));
    EXPECT_TRUE(Inside(window, monitor.rcWork)) << Describe(window) << " in " << Describe(monitor.rcWork);

    RECT client;
    ASSERT_TRUE(::GetClientRect(hWnd, &client));
    ::MapWindowPoints(hWnd, nullptr, reinterpret_cast<POINT*>(&client), 2);
    int controls = 0;
    for (HWND c = ::GetWindow(hWnd, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        if (!::IsWindowVisible(c))
            continue;
        ++controls;
        RECT r;
        ::GetWindowRect(c, &r);
        EXPECT_TRUE(Inside(r, client)) << "control " << ::GetDlgCtrlID(c) << " " << Describe(r) << " in "
                                       << Describe(client);
    }

    HRSRC res = ::FindResourceW(nullptr, MAKEINTRESOURCEW(templateId), MAKEINTRESOURCEW(5));
    ASSERT_NE(res, nullptr);
    dlgtemplate::Header header;
    ASSERT_TRUE(dlgtemplate::Read(::LockResource(::LoadResource(nullptr, res)), ::SizeofResource(nullptr, res), header));
    ASSERT_TRUE(header.hasFont);
    const int font = FontHeight(hWnd);
    const int full = ::MulDiv(header.points, static_cast<int>(dpi), 72);
    EXPECT_LE(font, full);
    // Legible: at least three quarters of its size at 96 DPI (template sizes are whole
    // points, which at 192 DPI are steps of two or three pixels).
    EXPECT_GE(font * 4, ::MulDiv(header.points, 96, 72) * 3) << font << " px";
    if (font < full) {
        // Made smaller: at the full size (the client area grows with the font) it would
        // not have fitted the work area.
        RECT frame = window;
        const LONG fullWidth = ::MulDiv(client.right - client.left, full, font) + (frame.right - frame.left) -
                               (client.right - client.left);
        const LONG fullHeight = ::MulDiv(client.bottom - client.top, full, font) + (frame.bottom - frame.top) -
                                (client.bottom - client.top);
        EXPECT_TRUE(fullWidth > monitor.rcWork.right - monitor.rcWork.left ||
                    fullHeight > monitor.rcWork.bottom - monitor.rcWork.top)
            << "made smaller than it had to be: " << font << " px instead of " << full;
    }
}

// The visible top-level windows of a thread.
std::vector<HWND> ThreadWindows(DWORD thread)
{
    std::vector<HWND> out;
    struct Collect {
        static BOOL CALLBACK Add(HWND h, LPARAM p)
        {
            if (::IsWindowVisible(h))
                reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            return TRUE;
        }
    };
    ::EnumThreadWindows(thread, &Collect::Add, reinterpret_cast<LPARAM>(&out));
    return out;
}

std::string ShotName(UINT dpi, const RECT& screen, const std::string& what)
{
    return "fit-" + std::to_string(dpi) + "-" + std::to_string(screen.right - screen.left) + "x" +
           std::to_string(screen.bottom - screen.top) + "-" + what;
}

// With QUILLON_SCREENSHOT_DIR set, a picture of the screen once `hWnd` (of this thread)
// and its controls have painted; true without it.
bool ScreenPicture(HWND hWnd, const std::string& name)
{
    ::RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    return phonetest::Screenshot(name);
}

class OneScreen : public partytest::MultiPartyTest {
protected:
    // Opens a window of the phone window by its button's command, checks it, takes its
    // picture and closes it.
    void CheckOpenedBy(int button, UINT dpi, const RECT& screen, const std::string& what)
    {
        const HWND phone = run.h;
        CWnd::PostTask(phone, [phone, button] { wintest::Command(phone, button); });
        HWND opened = nullptr;
        ASSERT_TRUE(run.WaitUntil([&] {
            for (HWND w : ThreadWindows(run.uiThread))
                if (w != phone)
                    opened = w;
            return opened != nullptr;
        })) << what;
        UINT id = 0;
        run.Ui([&] {
            if (CDialog* d = CDialog::FromHandle(opened))
                id = d->GetTemplateId();
        });
        ExpectFits(opened, id, dpi);
        run.Ui([&] { ::RedrawWindow(opened, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW); });
        EXPECT_TRUE(phonetest::Screenshot(ShotName(dpi, screen, what)));
        ::PostMessageW(opened, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(run.WaitUntil([&] { return !::IsWindow(opened); })) << what;
    }
};

TEST_F(OneScreen, EveryWindowFits)
{
    const char* value = std::getenv(kCaseVariable);
    if (!value)
        GTEST_SKIP() << "runs as a case of WindowsFit.EveryWindowInsideTheWorkAreaAtEveryScale";
    UINT dpi = 0;
    int width = 0, height = 0;
    std::string resultPath;
    std::istringstream(value) >> dpi >> width >> height >> resultPath;

    // The case's screen, as the parent set it.
    ASSERT_EQ(dpi::ForSystem(), dpi);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    const bool sized = wintest::PumpUntil([&] {
        return ::GetMonitorInfoW(::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor) &&
               monitor.rcMonitor.right - monitor.rcMonitor.left == width &&
               monitor.rcMonitor.bottom - monitor.rcMonitor.top == height;
    }, 20000);
    ASSERT_TRUE(sized) << Describe(monitor.rcMonitor);
    const RECT screen = monitor.rcMonitor;
    LoadSkin();

    // The login window stays, hidden, while the phone window is open, as in the program.
    CQuillonDlg login;
    ASSERT_TRUE(login.Create(nullptr));
    ExpectFits(login.m_hWnd, login.GetTemplateId(), dpi);
    {
        CAboutDlg about;
        ASSERT_TRUE(about.Create(login.m_hWnd));
        ExpectFits(about.m_hWnd, about.GetTemplateId(), dpi);
        ::RedrawWindow(login.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        EXPECT_TRUE(ScreenPicture(about.m_hWnd, ShotName(dpi, screen, "login")));
        about.DestroyWindow();
    }
    login.ShowWindow(SW_HIDE);

    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    UINT phoneId = 0;
    int dialogFont = 0, numberFont = 0;
    run.Ui([&] {
        phoneId = run.dial->GetTemplateId();
        dialogFont = FontHeight(run.h);
        numberFont = FontHeight(::GetDlgItem(run.h, IDC_NUMBER));
    });
    ExpectFits(run.h, phoneId, dpi);
    std::ofstream(resultPath) << dialogFont << " " << numberFont << "\n";
    run.Ui([&] { ::RedrawWindow(run.h, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW); });
    EXPECT_TRUE(phonetest::Screenshot(ShotName(dpi, screen, "phone")));

    ASSERT_TRUE(OpenPartyWindow());
    UINT partyId = 0;
    run.Ui([&] { partyId = party->GetTemplateId(); });
    ExpectFits(hParty, partyId, dpi);
    EXPECT_TRUE(Picture(ShotName(dpi, screen, "multiparty")));
    ASSERT_TRUE(ClosePartyWindow());

    CheckOpenedBy(IDC_AUDIO_SETTINGS, dpi, screen, "audio");
    CheckOpenedBy(IDC_SOUND_QUALITY, dpi, screen, "soundquality");
}

}  // namespace
