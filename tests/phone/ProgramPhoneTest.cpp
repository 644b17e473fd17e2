// The built program, started as a user starts it and driven from outside by control id:
// it signs in against the account-server fixture, registers its line with a sipp call
// server, gates its buttons while it is not registered, and ends cleanly when its phone
// window is closed.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include "AppTestSupport.h"
#include "PhoneTestSupport.h"
#include "WinHarness.h"
#include "resource.h"

using namespace wintest;
using apptest::AccountServer;
using phonetest::SippPeer;

namespace {

const char kCaption[] = "Korvani网络电话1.10";

class PhoneProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* f : {"Quillon.exe", "callctl.dll", "SkinFeature.dll", "superxp.rss", "Login.xml",
                              "Audio.xml", "Call.xml"})
            ASSERT_TRUE(::CopyFileA((std::string(QUILLON_DIST_WIN) + "/" + f).c_str(), f, FALSE)) << f;
        AccountServer::CloseWithoutAnswer("login.php", false);
        AccountServer::ClearRequests();
    }
    void TearDown() override
    {
        if (m_process.hProcess) {
            if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
                if (HWND w = Phone())
                    ::PostMessageA(w, WM_CLOSE, 0, 0);
                if (::WaitForSingleObject(m_process.hProcess, 8000) == WAIT_TIMEOUT)
                    ::TerminateProcess(m_process.hProcess, 1);
            }
            ::CloseHandle(m_process.hThread);
            ::CloseHandle(m_process.hProcess);
        }
    }
    // Starts the program and signs in; the call server's answer names 127.0.0.1:port.
    HWND SignIn(int port)
    {
        AccountServer::Answer("login.php", "ok!8001@25.60#127.0.0.1:" + std::to_string(port) +
                                               "$075512345678%127.0.0.1:5061^\n");
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::string cmd = "Quillon.exe --server=" + AccountServer::Url();
        if (!::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, folder.Path().c_str(), &si,
                              &m_process))
            return nullptr;
        HWND login = nullptr;
        PumpUntil([&] { return (login = ::FindWindowA(nullptr, kCaption)) != nullptr && ::IsWindowVisible(login); },
                  15000);
        if (!login)
            return nullptr;
        HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(login, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0));
        ::SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("80012345"));
        ::SendDlgItemMessageA(login, IDC_PASSWORD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("secret"));
        if (!Click(login, IDC_SIGNIN))
            return nullptr;
        HWND phone = nullptr;
        PumpUntil([&] { return (phone = Phone()) != nullptr; }, 15000);
        return phone;
    }
    // The program's visible window with a status line 1040: the phone window.
    HWND Phone() const
    {
        for (HWND w : Shown())
            if (::GetDlgItem(w, IDC_STATUS) && ::GetDlgItem(w, IDC_KEY_5))
                return w;
        return nullptr;
    }
    // The program's visible top-level windows.
    std::vector<HWND> Shown() const
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
    bool Ended(DWORD ms) const { return ::WaitForSingleObject(m_process.hProcess, ms) == WAIT_OBJECT_0; }

    apptest::ScratchFolder folder;
    PROCESS_INFORMATION m_process = {};
};

TEST_F(PhoneProgram, SignsInRegistersAndEndsCleanlyWhenThePhoneWindowCloses)
{
    SippPeer server;
    // The keep-alives go to the call server too: one OPTIONS, one registration.
    ASSERT_TRUE(server.Start("register_unregister.xml", 2));
    HWND phone = SignIn(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "成功登陆.请输入呼叫号码"; }, 10000))
        << Text(phone, IDC_STATUS) << server.Log();
    EXPECT_EQ(Text(phone, IDC_ACCOUNT_NUMBER), "80012345");
    EXPECT_EQ(Text(phone, IDC_BALANCE), "25.60");
    EXPECT_EQ(Text(phone), kCaption);
    // Only the phone window is on the screen: the login window hid, the ad panel opened
    // nothing of its own and no installer or message box came up.
    EXPECT_EQ(Shown(), std::vector<HWND>{phone});
    // The ad panel's browser asked the account server for the advertising page.
    EXPECT_TRUE(PumpUntil([] {
        for (const std::string& r : AccountServer::Requests())
            if (r == "GET /ad2.htm HTTP/1.1")
                return true;
        return false;
    }, 5000));

    // Typed from outside through the keypad.
    ASSERT_TRUE(Click(phone, IDC_KEY_0));
    ASSERT_TRUE(Click(phone, IDC_KEY_7));
    HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(phone, IDC_NUMBER, CBEM_GETEDITCONTROL, 0, 0));
    EXPECT_TRUE(PumpUntil([&] { return Text(edit) == "07"; }, 3000)) << Text(edit);

    ::PostMessageA(phone, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Ended(15000));
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

TEST_F(PhoneProgram, RefusedRegistrationShowsTheWarningBoxForTheButtons)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("register_refused.xml", 2));
    HWND phone = SignIn(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "注册服务器失败"; }, 10000))
        << Text(phone, IDC_STATUS) << server.Log();

    // The click is posted: the box runs modally inside the program.
    ::PostMessageA(phone, WM_COMMAND, MAKEWPARAM(IDC_PAGE_ACCOUNT, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(phone, IDC_PAGE_ACCOUNT)));
    HWND box = nullptr;
    PumpUntil([&] {
        for (HWND w : Shown())
            if (w != phone && Text(w) == "警告!")
                box = w;
        return box != nullptr;
    }, 8000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(::GetWindow(box, GW_OWNER), phone);
    struct Find {
        static BOOL CALLBACK Static(HWND c, LPARAM p)
        {
            char cls[32] = {0};
            ::GetClassNameA(c, cls, sizeof cls);
            const std::string t = Text(c);
            if (std::string(cls) == "Static" && !t.empty())
                *reinterpret_cast<std::string*>(p) = t;
            return TRUE;
        }
    };
    std::string message;
    ::EnumChildWindows(box, &Find::Static, reinterpret_cast<LPARAM>(&message));
    EXPECT_EQ(message, "登陆服务器失败.禁止进行任何操作");
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == std::vector<HWND>{phone}; }, 5000));

    ::PostMessageA(phone, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Ended(15000));
    server.Wait(2000);
}

}  // namespace
