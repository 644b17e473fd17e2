// A login window created for one test in a scratch folder, with the desktop recorded.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <memory>
#include "AppTestSupport.h"
#include "LoginDlg.h"
#include "ServerUrl.h"
#include "WinHarness.h"
#include "WinText.h"
#include "resource.h"

class LoginWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetServerBaseUrl(apptest::AccountServer::Url());
        apptest::AccountServer::Answer("login.php", "error!");
        apptest::AccountServer::CloseWithoutAnswer("login.php", false);
        apptest::AccountServer::ClearRequests();
    }
    void Open()
    {
        dlg.reset(new CQuillonDlg);
        ASSERT_TRUE(dlg->Create());
        h = dlg->m_hWnd;
    }
    void TearDown() override
    {
        if (dlg && dlg->m_hWnd)
            dlg->DestroyWindow();
        wintest::Pump(20);
    }
    HWND AccountEdit() const
    {
        return reinterpret_cast<HWND>(::SendMessageA(::GetDlgItem(h, IDC_ACCOUNT), CBEM_GETEDITCONTROL, 0, 0));
    }
    void SetAccount(const std::string& text) { wintest::SetText(AccountEdit(), text); }
    std::string Account() const { return wintest::Text(AccountEdit()); }
    void SetPassword(const std::string& text) { wintest::SetText(h, IDC_PASSWORD, text); }
    std::string Password() const { return wintest::Text(h, IDC_PASSWORD); }
    std::string Status() const { return wintest::Text(h, IDC_LOGIN_STATUS); }
    int ListCount() const { return static_cast<int>(::SendDlgItemMessageA(h, IDC_ACCOUNT, CB_GETCOUNT, 0, 0)); }
    std::string ListItem(int i) const
    {
        wchar_t text[256] = {0};
        COMBOBOXEXITEMW item = {};
        item.mask = CBEIF_TEXT;
        item.iItem = i;
        item.pszText = text;
        item.cchTextMax = 256;
        ::SendDlgItemMessageW(h, IDC_ACCOUNT, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        return wintext::Gbk(text);
    }
    // The user picks list item i.
    void Choose(int i)
    {
        ::SendDlgItemMessageA(h, IDC_ACCOUNT, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
        ::SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDC_ACCOUNT, CBN_SELCHANGE),
                       reinterpret_cast<LPARAM>(::GetDlgItem(h, IDC_ACCOUNT)));
    }
    bool Verifying() const
    {
        return !wintest::Enabled(h, IDC_SIGNIN) && wintest::Visible(h, IDC_BUSY);
    }
    bool Idle() const { return wintest::Enabled(h, IDC_SIGNIN) && !wintest::Visible(h, IDC_BUSY); }

    apptest::ScratchFolder folder;
    wintest::RecordingDesktop desktop;
    std::unique_ptr<CQuillonDlg> dlg;
    HWND h = nullptr;
};

// Two remembered accounts: A with its password (Type 2), then B without (Type 1).
constexpr const char* kTwoAccounts =
    "<UserInfo>\r\n"
    "<User UserID=\"10001\" UserPwd=\"pa&amp;ss\" Type=\"2\" Wangluo=\"\"/>\r\n"
    "<User UserID=\"20002\" UserPwd=\"secret\" Type=\"1\" Wangluo=\"\"/>\r\n"
    "</UserInfo>\r\n";
