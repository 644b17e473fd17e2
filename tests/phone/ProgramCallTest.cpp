// The built program driven from outside by control id: signed in against the account-
// server fixture, it calls a sipp call server with the record box ticked, the call rings,
// is answered, recorded and hung up, and the balance display follows the account
// server's answer four seconds later.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <fstream>
#include <sstream>
#include "AppTestSupport.h"
#include "PhoneTestSupport.h"
#include "WinHarness.h"
#include "resource.h"

using namespace wintest;
using apptest::AccountServer;
using phonetest::SippPeer;

namespace {

const char kCaption[] = "Korvani网络电话1.10";

class ProgramCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* f : {"Quillon.exe", "callctl.dll", "SkinFeature.dll", "superxp.rss", "Login.xml",
                              "Audio.xml", "Call.xml"})
            ASSERT_TRUE(::CopyFileA((std::string(QUILLON_DIST_WIN) + "/" + f).c_str(), f, FALSE)) << f;
        AccountServer::CloseWithoutAnswer("login.php", false);
        AccountServer::CloseWithoutAnswer("money.php", false);
        AccountServer::ClearRequests();
    }
    void TearDown() override
    {
        if (!m_process.hProcess)
            return;
        if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
            if (m_phone)
                ::PostMessageA(m_phone, WM_CLOSE, 0, 0);
            if (::WaitForSingleObject(m_process.hProcess, 8000) == WAIT_TIMEOUT)
                ::TerminateProcess(m_process.hProcess, 1);
        }
        ::CloseHandle(m_process.hThread);
        ::CloseHandle(m_process.hProcess);
    }
    // Starts the program in the scratch folder and signs in; the phone window, or null.
    HWND SignIn(int callServerPort)
    {
        AccountServer::Answer("login.php", "ok!8001@25.60#127.0.0.1:" + std::to_string(callServerPort) +
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
        PumpUntil([&] { return (m_phone = Phone()) != nullptr; }, 15000);
        return m_phone;
    }
    // The program's visible window with a keypad: the phone window (the login window,
    // of the same caption, is hidden by then).
    HWND Phone() const
    {
        struct Ctx {
            DWORD pid;
            HWND phone;
            static BOOL CALLBACK Look(HWND w, LPARAM p)
            {
                auto* c = reinterpret_cast<Ctx*>(p);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(w, &pid);
                if (pid == c->pid && ::IsWindowVisible(w) && ::GetDlgItem(w, IDC_KEY_5))
                    c->phone = w;
                return TRUE;
            }
        } ctx{m_process.dwProcessId, nullptr};
        ::EnumWindows(&Ctx::Look, reinterpret_cast<LPARAM>(&ctx));
        return ctx.phone;
    }
    bool Ended(DWORD ms) const { return ::WaitForSingleObject(m_process.hProcess, ms) == WAIT_OBJECT_0; }

    apptest::ScratchFolder folder;
    PROCESS_INFORMATION m_process = {};
    HWND m_phone = nullptr;
};

TEST_F(ProgramCall, CallRingsIsAnsweredRecordedAndHungUpAndTheBalanceFollowsTheServer)
{
    ASSERT_TRUE(::CreateDirectoryA((folder.Path() + "\\Record").c_str(), nullptr));
    const std::string log = phonetest::UnixProgramFolder() + "/program-uris-" +
                            std::to_string(::GetCurrentProcessId()) + ".log";
    ::DeleteFileA(phonetest::LocalPath(log).c_str());
    SippPeer server;
    // The registration, one keep-alive OPTIONS and the call.
    ASSERT_TRUE(server.Start("call_hung_up.xml", 3, std::string(),
                             "-rtp_echo -mp " + std::to_string(phonetest::FreeUdpPort() & ~1) +
                                 " -trace_logs -log_file " + log));
    AccountServer::Answer("money.php", "ok!19.20@\n");
    HWND phone = SignIn(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();
    ASSERT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "成功登陆.请输入呼叫号码"; }, 10000))
        << Text(phone, IDC_STATUS) << server.Log();
    EXPECT_EQ(Text(phone, IDC_BALANCE), "25.60");

    ASSERT_TRUE(Click(phone, IDC_RECORD));
    const int keys[] = {IDC_KEY_0, IDC_KEY_7, IDC_KEY_5, IDC_KEY_5, IDC_KEY_1, IDC_KEY_2,
                        IDC_KEY_3, IDC_KEY_4, IDC_KEY_5, IDC_KEY_6, IDC_KEY_7};
    for (int key : keys)
        ASSERT_TRUE(Click(phone, key));
    HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(phone, IDC_NUMBER, CBEM_GETEDITCONTROL, 0, 0));
    ASSERT_TRUE(PumpUntil([&] { return Text(edit) == "07551234567"; }, 3000)) << Text(edit);

    ASSERT_TRUE(Click(phone, IDC_CALL));
    // The call server may ring before the status is read.
    const std::string calling = Text(phone, IDC_STATUS);
    EXPECT_TRUE(calling == "正在呼叫:07551234567" || calling == "对方正在震铃") << calling;
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "对方正在震铃"; }, 5000))
        << Text(phone, IDC_STATUS) << server.Log();
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "呼叫成功,开始通话"; }, 5000))
        << Text(phone, IDC_STATUS) << server.Log();
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_CLOCK) == "00:00:01"; }, 3000)) << Text(phone, IDC_CLOCK);
    ASSERT_TRUE(Click(phone, IDC_HANGUP));
    EXPECT_EQ(Text(phone, IDC_STATUS), "");
    EXPECT_EQ(Text(edit), "");

    // Four seconds later the balance comes from the account server.
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_BALANCE) == "19.20"; }, 7000)) << Text(phone, IDC_BALANCE);
    int queries = 0;
    for (const std::string& r : AccountServer::Requests())
        queries += r == "GET /money.php?username=80012345&pass=secret HTTP/1.1";
    EXPECT_EQ(queries, 1);

    // One recording, named by the answer time and the international number.
    std::vector<std::pair<std::string, DWORD>> recordings;
    WIN32_FIND_DATAA found;
    HANDLE h = ::FindFirstFileA((folder.Path() + "\\Record\\*.wav").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do
            recordings.emplace_back(found.cFileName, found.nFileSizeLow);
        while (::FindNextFileA(h, &found));
        ::FindClose(h);
    }
    ASSERT_EQ(recordings.size(), 1u);
    const std::string& name = recordings[0].first;
    const std::string suffix = "分00867551234567.wav";
    EXPECT_TRUE(name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        << name;
    EXPECT_EQ(name.substr(0, 2), "20") << name;
    EXPECT_GT(recordings[0].second, 8000u) << name;  // more than half a second of audio

    ::PostMessageA(phone, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Ended(15000));
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
    std::ifstream f(phonetest::LocalPath(log), std::ios::binary);
    std::ostringstream uris;
    uris << f.rdbuf();
    EXPECT_EQ(uris.str(), "uri sip:00867551234567@127.0.0.1:" + std::to_string(server.Port()) + "\n");
    ::DeleteFileA(phonetest::LocalPath(log).c_str());
}

}  // namespace
