// The built program, started as a user starts it: Quillon.exe in a folder holding the
// shipped files, found by its caption and driven from outside by control id.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include "AppTestSupport.h"
#include "WinHarness.h"
#include "resource.h"

using namespace wintest;
using apptest::AccountServer;

namespace {

const char kCaption[] = "Korvani网络电话1.10";

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Everything the build assembled beside the program: libraries, skin, settings files.
        WIN32_FIND_DATAA fd;
        HANDLE find = ::FindFirstFileA((std::string(QUILLON_DIST_WIN) + "/*").c_str(), &fd);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                ASSERT_TRUE(::CopyFileA((std::string(QUILLON_DIST_WIN) + "/" + fd.cFileName).c_str(), fd.cFileName, FALSE))
                    << fd.cFileName;
            }
        } while (::FindNextFileA(find, &fd));
        ::FindClose(find);
        ASSERT_TRUE(apptest::Exists("Quillon.exe"));
        AccountServer::Answer("login.php", "error!");
        AccountServer::CloseWithoutAnswer("login.php", false);
        AccountServer::ClearRequests();
    }
    void TearDown() override
    {
        for (PROCESS_INFORMATION& pi : started) {
            if (::WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
                HWND w = Window();
                if (w)
                    ::PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
                if (::WaitForSingleObject(pi.hProcess, 5000) == WAIT_TIMEOUT)
                    ::TerminateProcess(pi.hProcess, 1);
            }
            ::CloseHandle(pi.hThread);
            ::CloseHandle(pi.hProcess);
        }
    }
    HANDLE Start()
    {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        std::string cmd = "Quillon.exe --server=" + AccountServer::Url();
        if (!::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, folder.Path().c_str(), &si, &pi))
            return nullptr;
        started.push_back(pi);
        return pi.hProcess;
    }
    static HWND Window() { return ::FindWindowA(nullptr, kCaption); }
    static HWND WaitForWindow()
    {
        HWND w = nullptr;
        PumpUntil([&] { return (w = Window()) != nullptr && ::IsWindowVisible(w); }, 15000);
        return w;
    }

    apptest::ScratchFolder folder;
    std::vector<PROCESS_INFORMATION> started;
};

TEST_F(Program, SignInRefusalIsShownInTheRunningProgram)
{
    ASSERT_NE(Start(), nullptr);
    HWND w = WaitForWindow();
    ASSERT_NE(w, nullptr);
    HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(w, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0));
    ASSERT_NE(edit, nullptr);
    ::SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("80012345"));
    ::SendDlgItemMessageA(w, IDC_PASSWORD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("secret"));
    ASSERT_TRUE(Click(w, IDC_SIGNIN));
    EXPECT_TRUE(PumpUntil([&] { return Text(w, IDC_LOGIN_STATUS) == "帐号密码验证错误"; }, 15000))
        << Text(w, IDC_LOGIN_STATUS);
    ASSERT_EQ(AccountServer::Requests().size(), 1u);
    EXPECT_EQ(AccountServer::Requests()[0].rfind("GET /login.php?username=80012345&pass=secret&banben=2.54&t=", 0), 0u);
    EXPECT_TRUE(Enabled(w, IDC_SIGNIN));

    // Exit ends the program.
    ASSERT_TRUE(Click(w, IDC_EXIT));
    EXPECT_EQ(::WaitForSingleObject(started[0].hProcess, 10000), WAIT_OBJECT_0);
}

TEST_F(Program, SecondCopyBringsTheFirstForwardAndEnds)
{
    ASSERT_NE(Start(), nullptr);
    HWND first = WaitForWindow();
    ASSERT_NE(first, nullptr);
    ::ShowWindow(first, SW_MINIMIZE);
    ASSERT_TRUE(PumpUntil([&] { return ::IsIconic(first) != FALSE; }, 5000));

    HANDLE second = Start();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(::WaitForSingleObject(second, 15000), WAIT_OBJECT_0);
    EXPECT_TRUE(PumpUntil([&] { return ::IsIconic(first) == FALSE; }, 5000));
    EXPECT_EQ(Window(), first);                          // still the one window
    EXPECT_EQ(::WaitForSingleObject(started[0].hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
