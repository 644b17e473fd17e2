#include "Dial.h"
#include <commctrl.h>
#include <cstdio>
#include "CallControl.h"
#include "Desktop.h"
#include "ServerUrl.h"
#include "SettingsFiles.h"
#include "WinApp.h"
#include "WindowPlace.h"
#include "resource.h"
#include "TimerPeriods.h"

namespace {
const char kPlaceName[] = "phone";      // its element in Call.xml
}

CDial::CDial() : CSkinnedDialog(IDD, nullptr, false)
{
    m_hIcon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));

    struct Key { int id; char ch; int tone; int sound; };
    static const Key keys[] = {
        {IDC_KEY_1, '1', 1, 134}, {IDC_KEY_2, '2', 2, 135}, {IDC_KEY_3, '3', 3, 136},
        {IDC_KEY_4, '4', 4, 137}, {IDC_KEY_5, '5', 5, 138}, {IDC_KEY_6, '6', 6, 139},
        {IDC_KEY_7, '7', 7, 140}, {IDC_KEY_8, '8', 8, 141}, {IDC_KEY_9, '9', 9, 142},
        {IDC_KEY_STAR, '*', 10, 144}, {IDC_KEY_0, '0', 0, 143}, {IDC_KEY_POUND, '#', 11, 144},
    };
    for (const Key& k : keys)
        OnCommand(k.id, [this, k] { OnKeypad(k.ch, k.tone, k.sound); });

    OnCommand(IDC_BACKSPACE, [this] { OnBackspace(); });
    OnCommand(IDC_PAGE_ACCOUNT, [this] { OpenWebPage("/acct.php"); });
    OnCommand(IDC_PAGE_CALLBACK, [this] { OpenWebPage("/callback.php"); });
    OnCommand(IDC_PAGE_USER, [this] { OpenWebPage("/userlogin.php"); });
    OnCommand(IDC_PAGE_AGENT, [this] { OpenWebPage("/userloginma.php"); });
    OnCommand(IDC_AUDIO_SETTINGS, [this] { OnAudioSettings(); });
    OnCommand(IDC_MULTI_PARTY, [this] { OnMultiParty(); });
    OnCommand(IDC_SOUND_QUALITY, [this] { OnSoundQuality(); });
    OnCommand(IDC_MUTE_SPEAKER, [this] { OnMuteSpeaker(); });
    OnCommand(IDC_MUTE_MICROPHONE, [this] { OnMuteMicrophone(); });
    OnCommand(IDC_CALL, [this] { PlaceCall(); });
    OnCommand(IDC_HANGUP, [this] { HangUp(); });
    OnCommand(IDC_CLEAR_HISTORY, [this] { ClearCallHistory(); });
    OnCommand(IDC_RECORD, [this] { OnRecordBox(); });
    OnCommand(IDC_RECORD_FOLDER, [this] { OpenRecordFolder(); });

    OnMessage(WM_CALL_RINGING, [this](WPARAM w, LPARAM l) { return OnCallRinging(w, l); });
    OnMessage(WM_CALL_CONNECTED, [this](WPARAM w, LPARAM l) { return OnCallConnected(w, l); });
    OnMessage(WM_CALL_ENDED, [this](WPARAM w, LPARAM l) { return OnCallEnded(w, l); });
    OnTimerId(TIMER_QUALITY, [this] { UpdateQuality(); });
    OnMessage(WM_DRAWITEM, [this](WPARAM, LPARAM l) -> LRESULT {
        return m_quality.Draw(reinterpret_cast<const DRAWITEMSTRUCT*>(l)) ? TRUE : Default();
    });
    OnTimerId(TIMER_CALL_CLOCK, [this] {
        m_stClock.SetWindowText(FormatCallClock(static_cast<int64_t>(std::time(nullptr)) - m_tCallStart));
    });
    OnTimerId(TIMER_LEVELS, [this] { UpdateLevelBars(); });
    OnTimerId(TIMER_TONE_OFF, [this] {
        TheCallControl().CallStopTone(m_session.m_hCall);
        KillTimer(TIMER_TONE_OFF);
    });
    OnTimerId(TIMER_BALANCE, [this] {
        StartBalanceQuery();
        KillTimer(TIMER_BALANCE);
    });
    OnMessage(WM_VSCROLL, [this](WPARAM w, LPARAM l) { return OnVScroll(w, l); });
    OnMessage(WM_CLOSE, [this](WPARAM w, LPARAM l) { return OnClose(w, l); });
}

CDial::~CDial()
{
    // The window (and with it the number box using the font) is gone by now.
    m_explorer.Destroy();
    if (m_hNumberFont)
        ::DeleteObject(m_hNumberFont);
}

void CDial::DoDataExchange()
{
    m_cbNumber = GetDlgItem(IDC_NUMBER);
    m_stStatus = GetDlgItem(IDC_STATUS);
    m_stClock = GetDlgItem(IDC_CLOCK);
    m_chkRecord = GetDlgItem(IDC_RECORD);
    m_btnSoundQuality = GetDlgItem(IDC_SOUND_QUALITY);
    m_sliderSpeaker = GetDlgItem(IDC_SPEAKER_VOLUME);
    m_sliderMicrophone = GetDlgItem(IDC_MICROPHONE_VOLUME);
    m_barSpeaker = GetDlgItem(IDC_SPEAKER_LEVEL);
    m_barMicrophone = GetDlgItem(IDC_MICROPHONE_LEVEL);
    m_chkMuteSpeaker = GetDlgItem(IDC_MUTE_SPEAKER);
    m_chkMuteMicrophone = GetDlgItem(IDC_MUTE_MICROPHONE);
}

BOOL CDial::OnInitDialog()
{
    CDialog::OnInitDialog();
    DoDataExchange();
    m_quality.Create(m_hWnd);
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    InitSliderRanges();

    const AudioOptions options = ::LoadAudioOptions(m_xmlCall);
    m_session.m_bEchoCancel = options.nEchoCancel;
    m_session.m_bNoiseReduction = options.nNoiseReduction;
    m_session.m_bAutoGain = options.nAutoGain;

    SetUpSpeakerMixer();
    InitSliderPositions();

    SetNumberFont();

    InitSpeakerVolume();

    m_bInCall = 0;
    LoadCallHistory();

    SetDlgItemText(IDC_BALANCE, m_session.m_strBalance);
    SetDlgItemText(IDC_ACCOUNT_NUMBER, m_strAccount);

    InitLevelBars();

    m_bRegistered = 0;
    m_bRecord = 0;
    m_session.m_hInst = 0;

    m_strIdentity = "sip:" + m_strSipUser + "@" + m_session.m_strSipDomain;
    InitTelephony();
    if (m_session.m_hInst)
        ConfigureInstance();

    m_audioCtrl.SelectMicrophoneOnAllInputs(1);

    if (m_explorer.Create(GetDlgItem(IDC_AD_PANEL)))
        m_explorer.Navigate(ServerBaseUrl() + "/ad2.htm");

    // Where the subscriber left it last time, if that is still on a screen.
    int x = 0, y = 0;
    if (LoadWindowPos(m_xmlPlace, kPlaceName, x, y))
        place::MoveTo(m_hWnd, x, y);
    return TRUE;
}

// Arial 20 pixels high at 96 DPI, at the window's scale; made again when that changes.
void CDial::SetNumberFont()
{
    HFONT font = ::CreateFontA(ScalePixels(20), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_CHARACTER_PRECIS, CLIP_CHARACTER_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "Arial");
    m_cbNumber.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (m_hNumberFont)
        ::DeleteObject(m_hNumberFont);
    m_hNumberFont = font;
}

bool CDial::CheckRegistered()
{
    if (m_bRegistered)
        return true;
    TheDesktop().ShowMessageBox(m_hWnd, "登陆服务器失败.禁止进行任何操作", "警告!", MB_OK | MB_ICONEXCLAMATION);
    return false;
}

// --- call-state messages ----------------------------------------------------------------

LRESULT CDial::OnCallRinging(WPARAM, LPARAM)
{
    m_btnSoundQuality.ShowWindow(SW_SHOW);
    m_bInCall = 1;
    m_stStatus.SetWindowText("对方正在震铃");
    return 1;
}

void CDial::TakeSignIn(const SignedIn& values)
{
    m_strAccount = values.strAccount;
    m_strSipPassword = values.strSipPassword;
    m_strSipUser = values.strSipUser;
    m_session.m_strBalance = values.strBalance;
    m_session.m_strSipDomain = values.strSipDomain;
    m_strKeepAliveHost = values.strKeepAliveHost;
    m_nKeepAlivePort = values.nKeepAlivePort;
    m_session.m_strInputDevice = values.strInputDevice;
    m_session.m_strOutputDevice = values.strOutputDevice;
}

LRESULT CDial::OnCallConnected(WPARAM, LPARAM)
{
    SetTimer(TIMER_CALL_CLOCK, ThePeriods().nCallClock);
    SetTimer(TIMER_QUALITY, ThePeriods().nCallQuality);
    m_tCallStart = static_cast<int64_t>(std::time(nullptr));
    m_stStatus.SetWindowText("呼叫成功,开始通话");
    m_bInCall = 1;
    if (m_bRecord == 1)
        StartRecording();
    return 1;
}

LRESULT CDial::OnCallEnded(WPARAM, LPARAM)
{
    TheDesktop().PlayResourceSound(IDW_NETWORK_END);
    m_stStatus.SetWindowText("通话已经结束");
    KillTimer(TIMER_CALL_CLOCK);
    KillTimer(TIMER_QUALITY);
    m_quality.Show(0);
    m_bInCall = 0;
    SetTimer(TIMER_BALANCE, ThePeriods().nBalanceDelay);
    m_btnSoundQuality.ShowWindow(SW_HIDE);
    return 1;
}

// --- timers ---------------------------------------------------------------------------------

std::string CDial::FormatCallClock(int64_t nSeconds)
{
    if (nSeconds < 0)
        nSeconds = 0;
    const int64_t withinDay = nSeconds % 86400;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(withinDay / 3600),
                  static_cast<int>(withinDay / 60 % 60), static_cast<int>(withinDay % 60));
    return text;
}

// --- closing --------------------------------------------------------------------------------

LRESULT CDial::OnClose(WPARAM, LPARAM)
{
    // Notices still waiting for an open notice box are not shown any more.
    m_bClosing = true;
    m_queuedNotices.clear();
    ShowWindow(SW_HIDE);        // gone from the screen at once; the shutdown takes a moment
    return Default();           // then ended the default way, as Cancel
}

void CDial::OnDestroy()
{
    int x = 0, y = 0;
    if (place::Current(m_hWnd, x, y))
        SaveWindowPos(m_xmlPlace, kPlaceName, x, y);
    m_explorer.Destroy();
    m_speakerMixer.Close();
    EndTelephony();
    // The phone window's end is the program's end: close the (hidden) login window.
    if (TheApp() && TheApp()->m_pMainWnd && TheApp()->m_pMainWnd != this && TheApp()->m_pMainWnd->m_hWnd)
        ::SendMessageA(TheApp()->m_pMainWnd->m_hWnd, WM_CLOSE, 0, 0);
}
