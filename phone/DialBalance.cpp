// The balance query after each call: timer 4 starts a worker that asks the account
// server for the balance; the answer is shown by the window's own thread.
#include "Dial.h"
#include <memory>
#include "AccountQuery.h"
#include "AnswerLine.h"
#include "ServerUrl.h"
#include "resource.h"

namespace {
// What one balance worker needs, made on the window's thread: the worker reads
// nothing of the window itself.
struct BalanceRequest {
    CDial* pDial;
    HWND hWnd;
    std::string strUrl;
};
}

void CDial::StartBalanceQuery()
{
    // Values are percent-encoded, so "&", "#", spaces and GBK reach the server as typed.
    auto* request = new BalanceRequest{this, m_hWnd,
                                       ServerBaseUrl() + "/money.php?username=" + answer::PercentEncode(m_strAccount) +
                                           "&pass=" + answer::PercentEncode(m_strSipPassword)};
    if (!StartQueryWorker(&CDial::BalanceWorker, request))
        delete request;
}

// On a thread of its own. The answer goes to the window's thread as a task, so the
// session's balance is only ever written where the number checks read it; of two workers
// the one that answers last decides what is shown.
unsigned __stdcall CDial::BalanceWorker(void* pRequest)
{
    const std::unique_ptr<BalanceRequest> request(static_cast<BalanceRequest*>(pRequest));
    std::string line;
    if (!FetchFirstLine(request->strUrl, line))
        return 0;                   // network failure: nothing shown, nothing changed
    const bool bOk = answer::Word(line) == "ok";
    const std::string strBalance = bOk ? answer::Field(line, '!', '@') : std::string();
    CDial* dial = request->pDial;
    CWnd::PostTask(request->hWnd, [dial, bOk, strBalance] { dial->OnBalanceAnswer(bOk, strBalance); });
    return 1;
}

// "ok": the balance between "!" and "@" (empty without "@"); anything else empties the
// display and keeps the balance the number checks go by.
void CDial::OnBalanceAnswer(bool bOk, const std::string& strBalance)
{
    if (bOk)
        m_session.m_strBalance = strBalance;
    SetDlgItemText(IDC_BALANCE, bOk ? m_session.m_strBalance : std::string());
}
