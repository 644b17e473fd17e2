// The built program driven from outside by control id: signed in and registered, its
// multi-party window opened by the command of the phone window's hidden button, three
// calls placed from it to a sipp call server, connected with their clocks running, and
// ended when the window is closed.
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

const char kPhoneCaption[] = "Korvani网络电话1.10";
const char kPartyCaption[] = "多人通话模式(多方通话)";

class PartyProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(AccountServer::Available()) << "run with tests/fixtures/with_account_server";
        for (const char* f : {"Quillon.exe", "callctl.dll", "SkinFeature.dll", "superxp.rss", "Login.xml",
                              "Audio.xml", "Call.xml"})
            ASSERT_TRUE(::CopyFileA((std::string(QUILLON_DIST_WIN) + "/" + f).c_str(), f, FALSE)) << f;
        AccountServer::CloseWithoutAnswer("login.php", false);
    }
    void TearDown() override
    {
        if (!m_process.hProcess)
            return;
        if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
            for (HWND w : Shown())
                ::PostMessageA(w, WM_CLOSE, 0, 0);
            if (::WaitForSingleObject(m_process.hProcess, 8000) == WAIT_TIMEOUT)
                ::TerminateProcess(m_process.hProcess, 1);
        }
        ::CloseHandle(m_process.hThread);
        ::CloseHandle(m_process.hProcess);
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
        PumpUntil([&] { return (login = ::FindWindowA(nullptr, kPhoneCaption)) != nullptr && ::IsWindowVisible(login); },
                  15000);
        if (!login)
            return nullptr;
        HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(login, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0));
        ::SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("80012345"));
        ::SendDlgItemMessageA(login, IDC_PASSWORD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("secret"));
        if (!Click(login, IDC_SIGNIN))
            return nullptr;
        HWND phone = nullptr;
        PumpUntil([&] { return (phone = Shown(kPhoneCaption)) != nullptr && ::GetDlgItem(phone, IDC_KEY_5); }, 15000);
        return phone;
    }
    // The program's visible top-level windows, or the one with the caption.
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
    HWND Shown(const char* caption) const
    {
        for (HWND w : Shown())
            if (Text(w) == caption)
                return w;
        return nullptr;
    }
    bool Ended(DWORD ms) const { return ::WaitForSingleObject(m_process.hProcess, ms) == WAIT_OBJECT_0; }

    apptest::ScratchFolder folder;
    PROCESS_INFORMATION m_process = {};
};

TEST_F(PartyProgram, ThreeCallsFromTheWindowConnectCountAndEndWhenItCloses)
{
    SippPeer server;
    // The registration, one keep-alive and three calls.
    ASSERT_TRUE(server.Start("party_calls.xml", 5));
    HWND phone = SignIn(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();
    ASSERT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "成功登陆.请输入呼叫号码"; }, 10000))
        << Text(phone, IDC_STATUS) << server.Log();
    EXPECT_FALSE(Visible(phone, IDC_MULTI_PARTY));

    // The hidden button's command, posted: the window runs modally inside the program.
    ::PostMessageA(phone, WM_COMMAND, MAKEWPARAM(IDC_MULTI_PARTY, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(phone, IDC_MULTI_PARTY)));
    HWND party = nullptr;
    PumpUntil([&] { return (party = Shown(kPartyCaption)) != nullptr; }, 8000);
    ASSERT_NE(party, nullptr);
    EXPECT_EQ(::GetWindow(party, GW_OWNER), phone);

    const int edits[3] = {IDC_LINE1_NUMBER, IDC_LINE2_NUMBER, IDC_LINE3_NUMBER};
    const int calls[3] = {IDC_LINE1_CALL, IDC_LINE2_CALL, IDC_LINE3_CALL};
    const int statuses[3] = {IDC_LINE1_STATUS, IDC_LINE2_STATUS, IDC_LINE3_STATUS};
    const char* numbers[3] = {"075512345678", "013912345678", "02187654321"};
    for (int i = 0; i < 3; ++i) {
        ::SendDlgItemMessageA(party, edits[i], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(numbers[i]));
        ASSERT_TRUE(Click(party, calls[i])) << i;
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(PumpUntil([&] {
            const std::string t = Text(party, statuses[i]);
            return t == "00:00:01" || t == "00:00:02";
        }, 6000)) << "line " << i + 1 << ": " << Text(party, statuses[i]) << server.Log();

    // Closed by its close box: the program holds and ends the three calls (the call server
    // expects a hold and a BYE for each); the phone window is back.
    ::PostMessageA(party, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(PumpUntil([&] { return Shown(kPartyCaption) == nullptr; }, 5000));
    EXPECT_TRUE(PumpUntil([&] { return ::IsWindowEnabled(phone) != FALSE; }, 5000));
    ::PostMessageA(phone, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Ended(15000));
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

}  // namespace
