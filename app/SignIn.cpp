// The sign-in exchange: the worker asks the account server, the login window shows
// refusals or, on "ok", remembers the account and runs the phone window.
#include <ctime>
#include <memory>
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

// What one sign-in worker needs, made on the window's thread: the worker reads and
// writes nothing of the window itself.
struct CQuillonDlg::SignInRequest {
    CQuillonDlg* pDlg;
    HWND hWnd;
    std::string strUrl;
};

bool CQuillonDlg::StartSignInWorker()
{
    // Values are percent-encoded, so "&", "#", spaces and GBK reach the server as typed.
    auto* request = new SignInRequest{this, m_hWnd,
                                      ServerBaseUrl() + "/login.php?username=" + answer::PercentEncode(m_strAccount) +
                                          "&pass=" + answer::PercentEncode(m_strSipPassword) + "&banben=2.54" +
                                          "&t=" + answer::PercentEncode(TimeText())};
    if (StartQueryWorker(&CQuillonDlg::SignInWorker, request))
        return true;
    delete request;
    return false;
}

unsigned __stdcall CQuillonDlg::SignInWorker(void* pRequest)
{
    const std::unique_ptr<SignInRequest> request(static_cast<SignInRequest*>(pRequest));
    CQuillonDlg* dlg = request->pDlg;
    std::string line;
    if (!FetchFirstLine(request->strUrl, line)) {
        CWnd::PostTask(request->hWnd, [dlg] { dlg->ShowRefusal("验证失败.网络问题"); });
        return 0;
    }

    const answer::SignInAnswer a = answer::ParseSignIn(line);
    if (a.strWord == "ok") {
        // Sent, not posted: the answer lives on this thread's stack while the window's
        // thread takes it. The handler only takes the values and queues the phone
        // window, so this thread ends at once instead of waiting out the phone window's
        // run. A window gone meanwhile makes the send fail and nothing happens.
        ::SendMessageW(request->hWnd, WM_SIGNIN_SUCCEEDED, 0, reinterpret_cast<LPARAM>(&a));
    } else if (a.strWord == "error") {
        CWnd::PostTask(request->hWnd, [dlg] { dlg->ShowRefusal("帐号密码验证错误"); });
    } else if (a.strWord == "suoding") {
        CWnd::PostTask(request->hWnd, [dlg] { dlg->ShowRefusal("帐号非法.被系统锁定"); });
    } else if (a.strWord == "shengji") {
        CWnd::PostTask(request->hWnd, [dlg] { dlg->ShowRefusal("版本已升级.请到网站更新"); });
    } else {
        // No answer this program knows (an error page, an empty body, a word without
        // "!"): the server could not be asked properly, so the window must not stay
        // verifying with its button disabled.
        CWnd::PostTask(request->hWnd, [dlg] { dlg->ShowRefusal("验证失败.网络问题"); });
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

LRESULT CQuillonDlg::OnSignInSucceeded(WPARAM, LPARAM lParam)
{
    // The worker's answer, valid while its send waits.
    if (const auto* a = reinterpret_cast<const answer::SignInAnswer*>(lParam)) {
        m_strSipUser = a->strSipUser;
        m_strBalance = a->strBalance;
        m_strSipDomain = a->strSipDomain;
        m_strKeepAliveHost = a->strKeepAliveHost;
        m_nKeepAlivePort = a->nKeepAlivePort;
    }
    m_stStatus.SetWindowText("正在登陆服务器");
    EndVerifying();
    RememberAccount();
    ShowWindow(SW_HIDE);
    // The phone window runs from this window's modal loop once the worker's send has
    // returned: the worker has nothing left to do and need not stay parked for hours.
    PostTask(m_hWnd, [this] { RunPhoneWindow(); });
    return 1;
}

void CQuillonDlg::RunPhoneWindow()
{
    CDial dial;
    CDial::SignedIn values;
    values.strAccount = m_strAccount;
    values.strSipPassword = m_strSipPassword;
    values.strSipUser = m_strSipUser;
    values.strBalance = m_strBalance;
    values.strSipDomain = m_strSipDomain;
    values.strKeepAliveHost = m_strKeepAliveHost;
    values.nKeepAlivePort = m_nKeepAlivePort;
    values.strInputDevice = m_strInputDevice;
    values.strOutputDevice = m_strOutputDevice;
    dial.TakeSignIn(values);
    dial.DoModal();
}
