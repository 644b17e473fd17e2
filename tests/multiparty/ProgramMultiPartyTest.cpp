// The built program driven from outside by control id: signed in and registered, its
// multi-party window opened by the command of the phone window's hidden button, three
// calls placed from it to a sipp call server, connected with their clocks running, and
// ended when the window is closed.
#include <gtest/gtest.h>
#include <windows.h>
#include "AppTestSupport.h"
#include "PhoneTestSupport.h"
#include "WinHarness.h"
#include "resource.h"

using namespace wintest;
using apptest::AccountServer;
using apptest::ProgramRun;
using phonetest::SippPeer;

namespace {

const char kPartyCaption[] = "多人通话模式(多方通话)";

class PartyProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(AccountServer::Available()) << "run with tests/fixtures/with_account_server";
        ASSERT_NO_FATAL_FAILURE(ProgramRun::CopyFiles());
        AccountServer::CloseWithoutAnswer("login.php", false);
    }
    void TearDown() override { program.End(ProgramRun::Closing::AllWindows); }

    apptest::ScratchFolder folder;
    ProgramRun program{folder.Path()};
};

TEST_F(PartyProgram, ThreeCallsFromTheWindowConnectCountAndEndWhenItCloses)
{
    SippPeer server;
    // The registration, one keep-alive and three calls.
    ASSERT_TRUE(server.Start("party_calls.xml", 5));
    HWND phone = program.SignIn(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();
    ASSERT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "成功登陆.请输入呼叫号码"; }, 10000))
        << Text(phone, IDC_STATUS) << server.Log();
    EXPECT_FALSE(Visible(phone, IDC_MULTI_PARTY));

    // The hidden button's command, posted: the window runs modally inside the program.
    ::PostMessageA(phone, WM_COMMAND, MAKEWPARAM(IDC_MULTI_PARTY, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(phone, IDC_MULTI_PARTY)));
    HWND party = nullptr;
    PumpUntil([&] { return (party = program.Find(kPartyCaption)) != nullptr; }, 8000);
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
    EXPECT_TRUE(PumpUntil([&] { return program.Find(kPartyCaption) == nullptr; }, 5000));
    EXPECT_TRUE(PumpUntil([&] { return ::IsWindowEnabled(phone) != FALSE; }, 5000));
    ::PostMessageA(phone, WM_CLOSE, 0, 0);
    EXPECT_TRUE(program.Ended(15000));
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

}  // namespace
