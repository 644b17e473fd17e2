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
using apptest::ProgramRun;
using phonetest::SippPeer;

namespace {

class ProgramCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ProgramRun::CopyFiles());
        AccountServer::CloseWithoutAnswer("login.php", false);
        AccountServer::CloseWithoutAnswer("money.php", false);
        AccountServer::ClearRequests();
    }
    void TearDown() override { program.End(ProgramRun::Closing::PhoneWindow); }

    apptest::ScratchFolder folder;
    ProgramRun program{folder.Path()};
};

TEST_F(ProgramCall, CallRingsIsAnsweredRecordedAndHungUpAndTheBalanceFollowsTheServer)
{
    // A fresh installation: no Record folder until the program makes it.
    ASSERT_EQ(::GetFileAttributesA((folder.Path() + "\\Record").c_str()), INVALID_FILE_ATTRIBUTES);
    const std::string log = phonetest::UnixProgramFolder() + "/program-uris-" +
                            std::to_string(::GetCurrentProcessId()) + ".log";
    ::DeleteFileA(phonetest::LocalPath(log).c_str());
    SippPeer server;
    // The registration, one keep-alive OPTIONS and the call.
    ASSERT_TRUE(server.Start("call_hung_up.xml", 3, std::string(),
                             "-rtp_echo -mp " + std::to_string(phonetest::FreeUdpPort() & ~1) +
                                 " -trace_logs -log_file " + log));
    AccountServer::Answer("money.php", "ok!19.20@\n");
    HWND phone = program.SignIn(server.Port(), 5061, " --log");
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
    EXPECT_TRUE(program.Ended(15000));
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
    std::ifstream f(phonetest::LocalPath(log), std::ios::binary);
    std::ostringstream uris;
    uris << f.rdbuf();
    EXPECT_EQ(uris.str(), "uri sip:00867551234567@127.0.0.1:" + std::to_string(server.Port()) + "\n");
    ::DeleteFileA(phonetest::LocalPath(log).c_str());

    // Started with --log: the support log tells the call's story.
    const std::string support = apptest::ReadBytes(folder.Path() + "\\Quillon.log");
    std::string events;     // the lines other than whole SIP messages
    std::istringstream lines(support);
    for (std::string line; std::getline(lines, line);)
        if (line.find("DEBUG > ") == std::string::npos && line.find("DEBUG < ") == std::string::npos)
            events += line + "\n";
    for (const char* expected : {"[sip] DEBUG SIP sent to 127.0.0.1:", "> INVITE sip:00867551234567@127.0.0.1:",
                                 "< SIP/2.0 200 OK", " audio: ", ", RTP sent ", "[call] recording to ",
                                 "/money.php?username=80012345&pass=***"})
        EXPECT_NE(support.find(expected), std::string::npos) << expected << "\n" << events;
    EXPECT_EQ(support.find("secret"), std::string::npos);
}

}  // namespace
