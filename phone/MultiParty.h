// cduoren1: the multi-party window (dialog 159), run modally by the phone window from its
// button 1028. Three lines, each with a number edit, a call and a hang-up button and a
// status text; every call placed here joins one conference of the call-control library,
// so each party hears the others and the subscriber.
//
// The window works in the phone window's session, lent to it for the modal run: it calls
// through the session's instance and line, makes the session's conference m_hConf at every
// opening (released at closing) and keeps its lines' calls in m_hPartyCall, where the
// phone window's event dispatch finds them (line n uses entry n - 1).
//
// Threads: everything runs on the window's thread, which is the phone window's thread
// (the modal run is nested in the phone window's handler). The progress of a line's call
// reaches LineRinging, LineConnected and LineEnded through the phone window's event
// dispatch, which carries the library's events to that thread first.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include "PhoneSession.h"
#include "SkinnedDialog.h"

class cduoren1 : public CSkinnedDialog {
public:
    enum { IDD = 159 };
    enum { LINE_COUNT = PhoneSession::PARTY_LINES };

    // session: the opener's, which must outlive the window.
    cduoren1(CWnd* pParent, PhoneSession& session);
    ~cduoren1() override;

    // The progress of line nLine's call (1..3), entered by the phone window's dispatch.
    void LineRinging(int nLine);
    void LineConnected(int nLine);
    void LineEnded(int nLine);

    // Per line (index nLine - 1): 1 from a call placed until hang-up or the call's end.
    int m_bBusy[LINE_COUNT] = {0, 0, 0};
    // Per line: when its call was answered (calendar seconds), 0 until then.
    int64_t m_tStart[LINE_COUNT] = {0, 0, 0};

protected:
    void DoDataExchange();
    BOOL OnInitDialog() override;

private:
    void CallLine(int nLine);
    void HangUpLine(int nLine);
    void RefuseCall(int nLine, const char* pszReason);
    void ShowLineClock(int nLine);
    void OnDestroy() override;
    void OnDpiChanged() override { SetNumberFont(); }
    void SetNumberFont();
    static bool IsLine(int nLine) { return nLine >= 1 && nLine <= LINE_COUNT; }

    PhoneSession& m_session;
    HICON m_hIcon;
    HFONT m_hNumberFont = nullptr;
    CWnd m_edNumber[LINE_COUNT];        // 1001, 1002, 1003
    CWnd m_stStatus[LINE_COUNT];        // 1050, 1051, 1052
};
