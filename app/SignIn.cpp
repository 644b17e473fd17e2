// The sign-in exchange: the worker asks the account server, the login window shows
// refusals or, on "ok", remembers the account and runs the phone window.
#include <ctime>
#include "AccountQuery.h"
#include "AnswerLine.h"
#include "Desktop.h"
#include "Dial.h"
#include "LoginDlg.h"
#include "ServerUrl.h"
#include "resource.h"

namespace {
// The local time as the account server expects it in "t"; empty if it cannot be made.
std::string TimeText()
{
    char text[128] = {0};
    const time_t now = ::time(nullptr);
    const struct tm* local = ::localtime(&now);
    if (!local || ::strftime(text, sizeof text, "现在时间是%Y年%m月%d日 %X", local) == 0)
        text[0] = '\0';
    return text;
}
}

unsigned __stdcall CQuillonDlg::SignInWorker(void* pLoginDlg)
{
    CQuillonDlg* dlg = static_cast<CQuillonDlg*>(pLoginDlg);
    const HWND hWnd = dlg->m_hWnd;
    // Values are percent-encoded, so "&", "#", spaces and GBK reach the server as typed.
    const std::string url = ServerBaseUrl() + "/login.php?username=" + answer::PercentEncode(dlg->m_strAccount) +
                            "&pass=" + answer::PercentEncode(dlg->m_strSipPassword) + "&banben=2.54" +
                            "&t=" + answer::PercentEncode(TimeText());

    std::string line;
    if (!FetchFirstLine(url, line)) {
        CWnd::PostTask(hWnd, [dlg] { dlg->ShowRefusal("验证失败.网络问题"); });
        return 0;
    }

    const answer::SignInAnswer a = answer::ParseSignIn(line);
    if (a.strWord == "ok") {
        if (!::IsWindow(hWnd))
            return 1;
        dlg->m_strSipUser = a.strSipUser;
        dlg->m_strBalance = a.strBalance;
        dlg->m_strSipDomain = a.strSipDomain;
        dlg->m_strKeepAliveHost = a.strKeepAliveHost;
        dlg->m_nKeepAlivePort = a.nKeepAlivePort;
        // Sent, not posted: the writes above come before the handler's reads, and this
        // thread waits here for as long as the phone window runs.
        ::SendMessageA(hWnd, WM_SIGNIN_SUCCEEDED, 0, 0);
    } else if (a.strWord == "error") {
        CWnd::PostTask(hWnd, [dlg] { dlg->ShowRefusal("帐号密码验证错误"); });
    } else if (a.strWord == "suoding") {
        CWnd::PostTask(hWnd, [dlg] { dlg->ShowRefusal("帐号非法.被系统锁定"); });
    } else if (a.strWord == "shengji") {
        CWnd::PostTask(hWnd, [dlg] { dlg->ShowRefusal("版本已升级.请到网站更新"); });
    } else {
        // No answer this program knows (an error page, an empty body, a word without
        // "!"): the server could not be asked properly, so the window must not stay
        // verifying with its button disabled.
        CWnd::PostTask(hWnd, [dlg] { dlg->ShowRefusal("验证失败.网络问题"); });
    }
    return 1;
}

void CQuillonDlg::EndVerifying()
{
    GetDlgItem(IDC_SIGNIN).EnableWindow(TRUE);
    GetDlgItem(IDC_BUSY).ShowWindow(SW_HIDE);
    KillTimer(1);
}

void CQuillonDlg::ShowRefusal(const char* pszText)
{
    TheDesktop().PlayResourceSound(IDW_REFUSED);
    m_stStatus.SetWindowText(pszText);
    EndVerifying();
}

LRESULT CQuillonDlg::OnSignInSucceeded(WPARAM, LPARAM)
{
    m_stStatus.SetWindowText("正在登陆服务器");
    EndVerifying();
    RememberAccount();
    ShowWindow(SW_HIDE);

    CDial dial;
    dial.m_strAccount = m_strAccount;
    dial.m_strSipPassword = m_strSipPassword;
    dial.m_strSipUser = m_strSipUser;
    dial.m_strBalance = m_strBalance;
    dial.m_strSipDomain = m_strSipDomain;
    dial.m_strKeepAliveHost = m_strKeepAliveHost;
    dial.m_nKeepAlivePort = m_nKeepAlivePort;
    dial.m_strInputDevice = m_strInputDevice;
    dial.m_strOutputDevice = m_strOutputDevice;
    dial.DoModal();
    return 1;
}
