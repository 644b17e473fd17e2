// CDial: the phone window (dialog 131) of a signed-in subscriber, run modally by the login
// window after a successful sign-in, which hands its values over in one SignedIn value.
//
// Its session (PhoneSession.h) holds the library handles, the domain, the balance and the
// audio choice; the windows it opens reach them only through what it hands them: the
// multi-party window the session itself, the audio settings window a copy of the audio
// choice, whose result the phone window applies after the window has closed.
//
// It owns the call-control instance and its one SIP line for as long as it is open
// (DialTelephony.cpp), the keypad, keyboard filter and buttons (Dial.cpp, DialKeys.cpp),
// the speaker and microphone controls (DialVolume.cpp) and the ad panel. Calls are placed,
// ended and recorded in DialCalls.cpp; the balance is asked for after each call in
// DialBalance.cpp.
//
// Threads: every handler runs on the window's thread. The library calls
// OnCallControlEvent on a thread of its own; that function only copies what it needs from
// the event and posts it to the window, where it is acted on (DispatchCallControlEvent).
// The balance worker hands its answer over the same way. So the session, m_bRegistered, the texts, the timers and the message boxes are only ever touched on the
// window's thread.
#pragma once
#include <windows.h>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include "AudioCtrl.h"
#include "PhoneSession.h"
#include "QualityBars.h"
#include "SkinnedDialog.h"
#include "Explorer1.h"
#include "SpeakerMixer.h"
#include "XmlDoc.h"
#include "callctl.h"

class cduoren1;

class CDial : public CSkinnedDialog {
public:
    enum { IDD = 131 };

    // Posted to the window (both parameters 0) for its own call's events; each returns 1.
    enum {
        WM_CALL_ENDED = 5501,       // call-state 8000
        WM_CALL_CONNECTED = 5502,   // call-state 4000
        WM_CALL_RINGING = 5503,     // call-state 3000
    };
    enum {
        TIMER_CALL_CLOCK = 1,       // 984 ms while a call is up
        TIMER_LEVELS = 2,           // 50 ms from the first registration on (slower while quiet)
        TIMER_TONE_OFF = 3,         // 100 ms after a keypad tone started
        TIMER_BALANCE = 4,          // 4000 ms after a call ended, one tick
        TIMER_QUALITY = 5,          // 3000 ms while a call is up: the quality figure
    };

    CDial();
    ~CDial() override;

    // The listener registered with the library; pUserData is the window. Returns 0.
    static int OnCallControlEvent(int category, void* pInfo, void* pUserData);

    // "%H:%M:%S" of a call's length: hours within the day, so the clock wraps after 24 h.
    static std::string FormatCallClock(int64_t nSeconds);

    // What the login window hands over, in one value, before the window opens.
    struct SignedIn {
        std::string strAccount;         // as typed
        std::string strSipPassword;     // as typed
        std::string strSipUser;
        std::string strBalance;
        std::string strSipDomain;       // host:port
        std::string strKeepAliveHost;
        int nKeepAlivePort = 0;
        std::string strInputDevice;     // from Audio.xml
        std::string strOutputDevice;
    };
    void TakeSignIn(const SignedIn& values);

    // The session the window owns and lends to the windows it opens.
    PhoneSession& Session() { return m_session; }
    const PhoneSession& Session() const { return m_session; }

    // The handed-over values kept for the registration, for the window's whole life.
    std::string m_strAccount;
    std::string m_strSipPassword;
    std::string m_strSipUser;
    std::string m_strKeepAliveHost;
    int m_nKeepAlivePort = 0;

    // Telephony state.
    cduoren1* m_pMultiParty = nullptr;  // the multi-party window during its modal run
    int m_bRegistered = 0;
    int m_bInCall = 0;
    std::string m_strIdentity;
    int m_nQuietLevelTicks = 0;         // level-bar ticks in a row with no call and both bars at 0

    // Calls.
    std::string m_strNumber;
    int64_t m_tCallStart = 0;           // when the current call was answered (seconds)
    int m_bRecord = 0;
    // The clock that names a recording when its call is answered (seconds since 1970);
    // unset: the system's. Tests set a fixed one.
    std::function<int64_t()> m_fnRecordingClock;

    // Controls, bound at start-up.
    CWnd m_cbNumber;                    // 1000, extended combo box
    CExplorer1 m_explorer;              // 1032, the ad panel
    CWnd m_stStatus;                    // 1040
    CWnd m_stClock;                     // 1041
    CWnd m_chkRecord;                   // 1044
    CWnd m_btnSoundQuality;             // 1078
    CWnd m_sliderSpeaker;               // 1021
    CWnd m_sliderMicrophone;            // 1022
    CWnd m_barSpeaker;                  // 1045
    CWnd m_barMicrophone;               // 1046
    CWnd m_chkMuteSpeaker;              // 1048
    CWnd m_chkMuteMicrophone;           // 1049
    CQualityBars m_quality;             // 1190, made at start-up

    HICON m_hIcon;
    HFONT m_hNumberFont = nullptr;
    CXmlDoc m_xmlCall;                  // Call.xml: history and audio options
    CXmlDoc m_xmlClear;                 // Call.xml: clearing the history
    CXmlDoc m_xmlPlace;                 // Call.xml: where the window was left
    CAudioCtrl m_audioCtrl;
    CSpeakerMixer m_speakerMixer;

protected:
    void DoDataExchange();
    BOOL PreTranslateMessage(MSG* pMsg) override;
    BOOL OnInitDialog() override;

    // Starts the balance query of the account server on a worker thread of its own
    // (DialBalance.cpp); timer 4 calls this.
    virtual void StartBalanceQuery();

private:
    // Telephony (DialTelephony.cpp).
    void InitTelephony();
    // The quality figure of the call's last interval (DialCalls.cpp); TIMER_QUALITY.
    void UpdateQuality();
    void ConfigureInstance();
    void EndTelephony();
    void DispatchCallControlEvent(int category, SIPX_CALL hCall, uint32_t nCode);
    void OnLineRegistered();
    void RememberSipPath();
    void OnRegistrationFailed();
    void ShowServerNotice(const std::string& strText);
    void OnPartyLineEvent(int nLine, uint32_t nCode);
    void ShowStartFailure();

    // Keypad, keyboard and buttons (DialKeys.cpp).
    void OnKeypad(char chKey, int nTone, int nSound);
    BOOL FilterKeyDown(const MSG* pMsg);
    void OnBackspace();
    void OpenWebPage(const char* pszPath);
    void OnAudioSettings();
    void OnMultiParty();
    void OnSoundQuality();
    HWND NumberEdit() const;

    // Registration gate: true when registered; else shows the warning box.
    bool CheckRegistered();

    // Call-state messages and timers (Dial.cpp).
    LRESULT OnCallRinging(WPARAM, LPARAM);
    LRESULT OnCallConnected(WPARAM, LPARAM);
    LRESULT OnCallEnded(WPARAM, LPARAM);
    LRESULT OnClose(WPARAM, LPARAM);
    void OnDestroy() override;
    void OnDpiChanged() override { SetNumberFont(); }
    void SetNumberFont();

    // Volume, mute and levels (DialVolume.cpp).
    void InitSliderRanges();
    void SetUpSpeakerMixer();
    void InitSliderPositions();
    void InitSpeakerVolume();
    void InitLevelBars();
    LRESULT OnVScroll(WPARAM wParam, LPARAM lParam);
    void OnMuteSpeaker();
    void OnMuteMicrophone();
    void UpdateLevelBars();

    // Calls, history and recording (DialCalls.cpp).
    void PlaceCall();
    void HangUp();
    void LoadCallHistory();
    void ClearCallHistory();
    void OnRecordBox();
    void OpenRecordFolder();
    void StartRecording();

    // Balance query (DialBalance.cpp).
    static unsigned __stdcall BalanceWorker(void* pRequest);
    void OnBalanceAnswer(bool bOk, const std::string& strBalance);

    PhoneSession m_session;

    // Service notices (ShowServerNotice): one box at a time, the others waiting here.
    enum { MAX_QUEUED_NOTICES = 4 };
    std::deque<std::string> m_queuedNotices;
    bool m_bNoticeOpen = false;         // a notice's box is open now
    bool m_bClosing = false;            // WM_CLOSE seen: no more notices are shown
};
