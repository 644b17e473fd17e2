// The phone window's telephony session: the call-control instance and its SIP line,
// the library's events, and the end of both with the window.
#include "Dial.h"
#include "AccountQuery.h"
#include "CallControl.h"
#include "Desktop.h"
#include "MultiParty.h"
#include "ProgramLog.h"
#include "SettingsFiles.h"
#include "resource.h"
#include "TimerPeriods.h"

namespace {
const char kStartFailed[] = "程序启动失败!";

// What the library's thread hands over to the window's thread for one event.
struct EventCopy {
    int category;
    SIPX_CALL hCall;
    uint32_t nCode;
    std::string strText;
};
}

void CDial::ShowStartFailure()
{
    TheDesktop().ShowMessageBox(m_hWnd, kStartFailed, ApplicationName().c_str(), MB_OK);
}

void CDial::InitTelephony()
{
    CallControl& sipx = TheCallControl();
    if (m_session.m_hInst) {
        sipx.EventListenerRemove(m_session.m_hInst, &CDial::OnCallControlEvent, nullptr);
        sipx.LineRegister(m_session.m_hLine, 0);
        sipx.UnInitialize(m_session.m_hInst, 1);
        m_session.m_hInst = 0;
    }
    if (sipx.Initialize(&m_session.m_hInst, 14500, -1, -1, 8000, 100, "sipx", "0.0.0.0", 0) != SIPX_RESULT_SUCCESS) {
        m_session.m_hInst = 0;
        ShowStartFailure();
        return;
    }
    sipx.ConfigSetUserAgentName(m_session.m_hInst, "Simple Agent (sipXtapi)", 0);
    sipx.EventListenerAdd(m_session.m_hInst, &CDial::OnCallControlEvent, this);
    sipx.ConfigEnableRport(m_session.m_hInst, 1);
    if (sipx.LineAdd(m_session.m_hInst, m_strIdentity.c_str(), &m_session.m_hLine, 0) != SIPX_RESULT_SUCCESS) {
        ShowStartFailure();
        return;
    }
    sipx.LineAddCredential(m_session.m_hLine, m_strSipUser.c_str(), m_strSipPassword.c_str(), "");
    // Where UDP to the call server went unanswered before, the line starts with the
    // way that answered then.
    CXmlDoc doc;
    const std::string strWay = LoadSipPath(doc, m_session.m_strSipDomain);
    if (!strWay.empty())
        sipx.LineSetTransport(m_session.m_hLine, strWay.c_str());
    if (sipx.LineRegister(m_session.m_hLine, 1) != SIPX_RESULT_SUCCESS)
        ShowStartFailure();
}

void CDial::ConfigureInstance()
{
    CallControl& sipx = TheCallControl();
    sipx.ConfigKeepAliveAdd(m_session.m_hInst, 0, 2, m_strKeepAliveHost.c_str(), m_nKeepAlivePort, 30);
    sipx.AudioSetInputVolume(m_session.m_hInst, 98);
    sipx.AudioSetAGCMode(m_session.m_hInst, m_session.m_bAutoGain ? 1 : 0);
    sipx.AudioSetAECMode(m_session.m_hInst, m_session.m_bEchoCancel ? 2 : 0);
    sipx.ConfigSelectAudioCodecByName(m_session.m_hInst, "G729");
    sipx.AudioSetNoiseReductionMode(m_session.m_hInst, m_session.m_bNoiseReduction ? 1 : 0);
    sipx.ConfigSetOutboundDTMFMode(m_session.m_hInst, 2);
    sipx.AudioSetInputDevice(m_session.m_hInst, m_session.m_strInputDevice.c_str(), 0);
    sipx.AudioSetOutputDevice(m_session.m_hInst, m_session.m_strOutputDevice.c_str(), 0);
}

void CDial::EndTelephony()
{
    if (!m_session.m_hInst)
        return;
    CallControl& sipx = TheCallControl();
    if (m_bInCall == 1)
        sipx.CallHold(m_session.m_hCall, 1);
    sipx.CallDestroy(&m_session.m_hCall);
    // After this returns the library calls OnCallControlEvent no more.
    sipx.EventListenerRemove(m_session.m_hInst, &CDial::OnCallControlEvent, nullptr);
    sipx.LineRegister(m_session.m_hLine, 0);
    sipx.UnInitialize(m_session.m_hInst, 1);
    m_session.m_hInst = 0;
}

// Runs on the library's thread. The window is neither read nor changed here: the event
// is copied (the record lives only for this call) and posted to the window's thread.
// m_hWnd stays the same for as long as the listener is registered.
int CDial::OnCallControlEvent(int category, void* pInfo, void* pUserData)
{
    CDial* dlg = static_cast<CDial*>(pUserData);
    const SIPX_EVENT_INFO* info = static_cast<const SIPX_EVENT_INFO*>(pInfo);
    if (!dlg || !info)
        return 0;

    EventCopy e{category, info->hCall, info->event, std::string()};
    switch (category) {
    case SIPX_EVENT_CATEGORY_CALLSTATE:
        if (e.nCode != SIPX_CALLSTATE_REMOTE_ALERTING && e.nCode != SIPX_CALLSTATE_CONNECTED &&
            e.nCode != SIPX_CALLSTATE_DISCONNECTED)
            return 0;
        break;
    case SIPX_EVENT_CATEGORY_LINESTATE:
        if (e.nCode != SIPX_LINESTATE_REGISTERED && e.nCode != SIPX_LINESTATE_REGISTER_FAILED)
            return 0;
        break;
    case SIPX_EVENT_CATEGORY_MESSAGE: {
        // The text's address is word 3 of the record (also given as szText).
        const char* text = info->szText ? info->szText
                                        : reinterpret_cast<const char*>(static_cast<uintptr_t>(info->event));
        e.strText = text ? text : "";
        e.nCode = 0;
        break;
    }
    default:
        return 0;
    }
    CWnd::PostTask(dlg->m_hWnd, [dlg, e] {
        if (e.category == SIPX_EVENT_CATEGORY_MESSAGE)
            dlg->ShowServerNotice(e.strText);
        else
            dlg->DispatchCallControlEvent(e.category, e.hCall, e.nCode);
    });
    return 0;
}

// On the window's thread: the event of the library, as the window acts on it.
void CDial::DispatchCallControlEvent(int category, SIPX_CALL hCall, uint32_t nCode)
{
    if (category == SIPX_EVENT_CATEGORY_LINESTATE) {
        if (nCode == SIPX_LINESTATE_REGISTER_FAILED)
            OnRegistrationFailed();
        else if (nCode == SIPX_LINESTATE_REGISTERED)
            OnLineRegistered();
        return;
    }
    if (category != SIPX_EVENT_CATEGORY_CALLSTATE || hCall == 0)
        return;

    // The phone window's call: the handlers of messages 5503, 5502 and 5501, run here in
    // the same step (the messages stay their entry points from outside).
    if (hCall == m_session.m_hCall) {
        switch (nCode) {
        case SIPX_CALLSTATE_REMOTE_ALERTING: OnCallRinging(0, 0); break;
        case SIPX_CALLSTATE_CONNECTED: OnCallConnected(0, 0); break;
        case SIPX_CALLSTATE_DISCONNECTED: OnCallEnded(0, 0); break;
        default: break;
        }
    }
    for (int line = 0; line < PhoneSession::PARTY_LINES; ++line)
        if (m_session.m_hPartyCall[line] != 0 && hCall == m_session.m_hPartyCall[line] && m_pMultiParty)
            OnPartyLineEvent(line + 1, nCode);
}

void CDial::OnRegistrationFailed()
{
    m_bRegistered = 0;
    m_stStatus.SetWindowText("注册服务器失败");
    TheDesktop().PlayResourceSound(IDW_REFUSED);
}

void CDial::OnLineRegistered()
{
    m_bRegistered = 1;
    m_stStatus.SetWindowText("成功登陆.请输入呼叫号码");
    TheCallControl().AudioSetInputVolume(m_session.m_hInst, 98);
    m_nQuietLevelTicks = 0;
    SetTimer(TIMER_LEVELS, ThePeriods().nLevels);
    TheDesktop().PlayResourceSound(IDW_REGISTERED);
    RememberSipPath();
}

// The way the line registered, kept for the next start (and named in the support log).
void CDial::RememberSipPath()
{
    char szWay[32] = "";
    int bProven = 0;
    if (TheCallControl().LineGetTransport(m_session.m_hLine, szWay, sizeof szWay, &bProven) != SIPX_RESULT_SUCCESS ||
        !bProven)
        return;
    // The line's first way is UDP to the domain's own port.
    const std::string& strDomain = m_session.m_strSipDomain;
    const size_t colon = strDomain.rfind(':');
    const std::string strFirst = "udp:" + (colon == std::string::npos ? std::string("5060") : strDomain.substr(colon + 1));
    CXmlDoc doc;
    if (SaveSipPath(doc, strDomain, szWay, strFirst == szWay))
        LogGbk("line", std::string("the call server answers over ") + szWay + "; kept for the next start");
}

// A notice of the service (a SIP MESSAGE). Shown here, on the window's thread, so the
// library's thread goes on with its work while the box is open.
//
// The box runs a message loop of its own, and that loop would run the next notice's task
// too, opening a second box on top of the first. So a notice that arrives while a box is
// open waits in m_queuedNotices and is shown once the open box is dismissed, oldest
// first. At most MAX_QUEUED_NOTICES wait; a notice that arrives while that many wait is
// dropped (the older ones are kept), so a server that sends notices faster than the
// subscriber dismisses them cannot pile up boxes without end. Once the window is closing
// the waiting notices are dropped and no new one is shown.
void CDial::ShowServerNotice(const std::string& strText)
{
    if (m_bClosing)
        return;
    if (m_bNoticeOpen) {
        if (m_queuedNotices.size() < MAX_QUEUED_NOTICES)
            m_queuedNotices.push_back(strText);
        return;
    }
    m_bNoticeOpen = true;
    std::string text = strText;
    for (;;) {
        TheDesktop().ShowMessageBox(m_hWnd, text.c_str(), ApplicationName().c_str(), MB_OK | MB_ICONEXCLAMATION);
        if (m_bClosing || !IsModalRunning() || m_queuedNotices.empty())
            break;
        text = std::move(m_queuedNotices.front());
        m_queuedNotices.pop_front();
    }
    m_queuedNotices.clear();
    m_bNoticeOpen = false;
}

// A call-state event of a multi-party line, on the window's thread. The multi-party
// window runs nested in this window's handler, on this thread, so it is entered directly.
void CDial::OnPartyLineEvent(int nLine, uint32_t nCode)
{
    if (!m_pMultiParty)
        return;
    switch (nCode) {
    case SIPX_CALLSTATE_REMOTE_ALERTING:
        m_pMultiParty->LineRinging(nLine);
        break;
    case SIPX_CALLSTATE_CONNECTED:
        m_pMultiParty->LineConnected(nLine);
        break;
    case SIPX_CALLSTATE_DISCONNECTED:
        m_pMultiParty->LineEnded(nLine);
        break;
    default:
        break;
    }
}
