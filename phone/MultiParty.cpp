#include "MultiParty.h"
#include <ctime>
#include "CallControl.h"
#include "CallRules.h"
#include "Desktop.h"
#include "Dial.h"
#include "resource.h"
#include "TimerPeriods.h"

namespace {

struct LineIds {
    int number, call, hangUp, status;
};
// Line n is entry n - 1; its timer id is n.
const LineIds kLines[cduoren1::LINE_COUNT] = {
    {IDC_LINE1_NUMBER, IDC_LINE1_CALL, IDC_LINE1_HANGUP, IDC_LINE1_STATUS},
    {IDC_LINE2_NUMBER, IDC_LINE2_CALL, IDC_LINE2_HANGUP, IDC_LINE2_STATUS},
    {IDC_LINE3_NUMBER, IDC_LINE3_CALL, IDC_LINE3_HANGUP, IDC_LINE3_STATUS},
};

}  // namespace

cduoren1::cduoren1(CWnd* pParent, PhoneSession& session)
    : CSkinnedDialog(IDD, pParent, true), m_session(session)
{
    m_hIcon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    for (int line = 1; line <= LINE_COUNT; ++line) {
        OnCommand(kLines[line - 1].call, [this, line] { CallLine(line); });
        OnCommand(kLines[line - 1].hangUp, [this, line] { HangUpLine(line); });
    }
    // Timer n is line n's call clock.
    for (int nLine = 1; nLine <= LINE_COUNT; ++nLine)
        OnTimerId(static_cast<UINT_PTR>(nLine), [this, nLine] { ShowLineClock(nLine); });
}

cduoren1::~cduoren1()
{
    // The edits using the font are gone with the window by now.
    if (m_hNumberFont)
        ::DeleteObject(m_hNumberFont);
}

void cduoren1::DoDataExchange()
{
    for (int i = 0; i < LINE_COUNT; ++i) {
        m_edNumber[i] = GetDlgItem(kLines[i].number);
        m_stStatus[i] = GetDlgItem(kLines[i].status);
    }
}

// Arial 16 pixels high at 96 DPI, at the window's scale; made again when that changes.
void cduoren1::SetNumberFont()
{
    HFONT font = ::CreateFontA(ScalePixels(16), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_CHARACTER_PRECIS, CLIP_CHARACTER_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "Arial");
    for (CWnd& edit : m_edNumber)
        edit.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (m_hNumberFont)
        ::DeleteObject(m_hNumberFont);
    m_hNumberFont = font;
}

BOOL cduoren1::OnInitDialog()
{
    CDialog::OnInitDialog();
    DoDataExchange();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    SetNumberFont();
    for (CWnd& edit : m_edNumber)
        edit.SendMessage(EM_LIMITTEXT, kPartyLongestNumber);

    // A new conference for this opening; the bridging hold and its release leave it
    // with the subscriber's microphone and speaker in.
    CallControl& sipx = TheCallControl();
    m_session.m_hConf = 0;
    sipx.ConferenceCreate(m_session.m_hInst, &m_session.m_hConf);
    sipx.ConferenceHold(m_session.m_hConf, 1);
    sipx.ConferenceUnhold(m_session.m_hConf);
    return TRUE;
}

// --- the lines ------------------------------------------------------------------------------

void cduoren1::RefuseCall(int nLine, const char* pszReason)
{
    m_stStatus[nLine - 1].SetWindowText(pszReason);
    TheDesktop().PlayResourceSound(IDW_REFUSED);
}

void cduoren1::CallLine(int nLine)
{
    const int i = nLine - 1;
    if (m_bBusy[i] == 1)
        return;
    m_stStatus[i].SetWindowText("");
    const std::string strNumber = m_edNumber[i].GetWindowText();
    if (const char* refusal = RefusePartyNumber(strNumber, m_session.m_strBalance)) {
        RefuseCall(nLine, refusal);
        return;
    }
    m_stStatus[i].SetWindowText("正在呼叫");
    m_bBusy[i] = 1;

    CallControl& sipx = TheCallControl();
    SIPX_CALL& hCall = m_session.m_hPartyCall[i];
    // The line's earlier call has ended (else the line would be busy): release it first.
    if (hCall != 0)
        sipx.CallDestroy(&hCall);
    const std::string strAddress = "sip:" + strNumber + "@" + m_session.m_strSipDomain;
    sipx.ConferenceAdd(m_session.m_hConf, m_session.m_hLine, strAddress.c_str(), &hCall, 1, nullptr, nullptr, 1,
                       &kCallOptions);
    TheDesktop().PlayResourceSound(IDW_PARTY_CALL);
}

// Also for an idle line: then the library refuses the empty handle and only the line's
// text, flag and timer are reset.
void cduoren1::HangUpLine(int nLine)
{
    const int i = nLine - 1;
    CallControl& sipx = TheCallControl();
    sipx.CallHold(m_session.m_hPartyCall[i], 1);
    sipx.CallDestroy(&m_session.m_hPartyCall[i]);
    m_stStatus[i].SetWindowText("");
    m_bBusy[i] = 0;
    KillTimer(nLine);
    TheDesktop().PlayResourceSound(IDW_HANGUP);
}

void cduoren1::LineRinging(int nLine)
{
    if (!IsLine(nLine) || !m_hWnd)
        return;
    m_stStatus[nLine - 1].SetWindowText("正在震铃");
}

void cduoren1::LineConnected(int nLine)
{
    if (!IsLine(nLine) || !m_hWnd)
        return;
    SetTimer(nLine, ThePeriods().nCallClock);
    m_tStart[nLine - 1] = static_cast<int64_t>(std::time(nullptr));
    m_stStatus[nLine - 1].SetWindowText("开始通话");
}

// The ended call stays in its entry until the line is hung up, called again or closed.
void cduoren1::LineEnded(int nLine)
{
    if (!IsLine(nLine) || !m_hWnd)
        return;
    TheDesktop().PlayResourceSound(IDW_NETWORK_END);
    m_stStatus[nLine - 1].SetWindowText("通话结束");
    KillTimer(nLine);
    m_bBusy[nLine - 1] = 0;
}

void cduoren1::ShowLineClock(int nLine)
{
    const int64_t elapsed = static_cast<int64_t>(std::time(nullptr)) - m_tStart[nLine - 1];
    m_stStatus[nLine - 1].SetWindowText(CDial::FormatCallClock(elapsed));
}

void cduoren1::OnDestroy()
{
    // Every line's call ends with the window, whether or not the line has one.
    CallControl& sipx = TheCallControl();
    for (SIPX_CALL& hCall : m_session.m_hPartyCall) {
        sipx.CallHold(hCall, 1);
        sipx.CallDestroy(&hCall);
    }
    // The conference, empty now, is not used again: the next opening makes its own.
    sipx.ConferenceDestroy(m_session.m_hConf);
    m_session.m_hConf = 0;
}
