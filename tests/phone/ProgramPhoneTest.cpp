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
using apptest::ProgramRun;
using phonetest::SippPeer;

namespace {

class PhoneProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ProgramRun::CopyFiles());
        AccountServer::CloseWithoutAnswer("login.php", false);
        AccountServer::ClearRequests();
    }
    void TearDown() override { program.End(ProgramRun::Closing::PhoneWindow); }

    apptest::ScratchFolder folder;
    ProgramRun program{folder.Path()};
};

TEST_F(PhoneProgram, SignsInRegistersAndEndsCleanlyWhenThePhoneWindowCloses)
{
    SippPeer server;
    // The keep-alives go to the call server too: one OPTIONS, one registration.
    ASSERT_TRUE(server.Start("register_unregister.xml", 2));
    HWND phone = program.SignIn(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "成功登陆.请输入呼叫号码"; }, 10000))
        << Text(phone, IDC_STATUS) << server.Log();
    EXPECT_EQ(Text(phone, IDC_ACCOUNT_NUMBER), "80012345");
    EXPECT_EQ(Text(phone, IDC_BALANCE), "25.60");
    EXPECT_EQ(Text(phone), ProgramRun::kCaption);
    Pump(1500);
    EXPECT_TRUE(phonetest::Screenshot("phone_program"));
    // Only the phone window is on the screen: the login window hid, the ad panel opened
    // nothing of its own and no installer or message box came up.
    EXPECT_EQ(program.Shown(), std::vector<HWND>{phone});
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
    EXPECT_TRUE(program.Ended(15000));
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

TEST_F(PhoneProgram, RefusedRegistrationShowsTheWarningBoxForTheButtons)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("register_refused.xml", 2));
    HWND phone = program.SignIn(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();
    EXPECT_TRUE(PumpUntil([&] { return Text(phone, IDC_STATUS) == "注册服务器失败"; }, 10000))
        << Text(phone, IDC_STATUS) << server.Log();

    // The click is posted: the box runs modally inside the program.
    ::PostMessageA(phone, WM_COMMAND, MAKEWPARAM(IDC_PAGE_ACCOUNT, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(phone, IDC_PAGE_ACCOUNT)));
    HWND box = nullptr;
    PumpUntil([&] {
        for (HWND w : program.Shown())
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
    EXPECT_TRUE(phonetest::Screenshot("phone_program_warning"));
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(PumpUntil([&] { return program.Shown() == std::vector<HWND>{phone}; }, 5000));

    ::PostMessageA(phone, WM_CLOSE, 0, 0);
    EXPECT_TRUE(program.Ended(15000));
    server.Wait(2000);
}

}  // namespace
