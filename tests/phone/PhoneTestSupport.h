// Shared pieces of the phone window tests: the window run modally on a thread of its own
// (as the login window runs it) and driven from the test's thread; a recorder in front of
// the call-control library; sipp peers and a plain UDP sink on loopback.
#pragma once
#include <windows.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include "CallControl.h"
#include "Dial.h"
#include "WinHarness.h"

namespace phonetest {

// --- the call-control library, recorded --------------------------------------------------

// Forwards every call to the library and records it as text, e.g.
// "AudioSetInputVolume(98)" (the instance, line and call handles are left out).
// Names in `failing` answer SIPX_RESULT_FAILURE without reaching the library.
// Energies, when set (>= 0), are answered here instead of by the library.
// Instances get short SIP timers and a short shutdown.
class RecordingCallControl : public CallControl {
public:
    struct Call {
        std::string text;
        DWORD tick;         // GetTickCount() when made
        DWORD thread;       // the thread that made it
    };
    RecordingCallControl();
    ~RecordingCallControl() override;

    std::vector<Call> Calls() const;
    std::vector<std::string> Texts() const;
    // The texts of the calls whose text starts with `prefix`.
    std::vector<std::string> Matching(const std::string& prefix) const;
    void Clear();

    std::set<std::string> failing;
    std::atomic<double> inputEnergy{-1.0};
    std::atomic<double> outputEnergy{-1.0};

    SIPX_RESULT Initialize(SIPX_INST* phInst, int udpPort, int tcpPort, int tlsPort, int rtpPortStart,
                           int maxConnections, const char* identity, const char* bindToAddr, int flags) override;
    SIPX_RESULT UnInitialize(SIPX_INST hInst, int bForceShutdown) override;
    SIPX_RESULT ConfigSetUserAgentName(SIPX_INST hInst, const char* szName, int bIncludePlatform) override;
    SIPX_RESULT ConfigEnableRport(SIPX_INST hInst, int bEnable) override;
    SIPX_RESULT ConfigKeepAliveAdd(SIPX_INST hInst, int contactId, int type, const char* remoteIp, int remotePort,
                                   int periodSec) override;
    SIPX_RESULT ConfigSelectAudioCodecByName(SIPX_INST hInst, const char* szName) override;
    SIPX_RESULT ConfigSetOutboundDTMFMode(SIPX_INST hInst, int mode) override;
    SIPX_RESULT EventListenerAdd(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData) override;
    SIPX_RESULT EventListenerRemove(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData) override;
    SIPX_RESULT LineAdd(SIPX_INST hInst, const char* szLineUrl, SIPX_LINE* phLine, int contactId) override;
    SIPX_RESULT LineAddCredential(SIPX_LINE hLine, const char* szUserID, const char* szPasswd,
                                  const char* szRealm) override;
    SIPX_RESULT LineRegister(SIPX_LINE hLine, int bRegister) override;
    SIPX_RESULT CallCreate(SIPX_INST hInst, SIPX_LINE hLine, SIPX_CALL* phCall) override;
    SIPX_RESULT CallConnect(SIPX_CALL hCall, const char* szAddress, int contactId, void* pDisplay, int bTakeFocus,
                            const SIPX_CALL_OPTIONS* pOptions, const char* szCallId) override;
    SIPX_RESULT CallHold(SIPX_CALL hCall, int bStopRemoteAudio) override;
    SIPX_RESULT CallDestroy(SIPX_CALL* phCall) override;
    SIPX_RESULT CallStartTone(SIPX_CALL hCall, int toneId, int bLocal, int bRemote, int minDurationMs) override;
    SIPX_RESULT CallStopTone(SIPX_CALL hCall) override;
    SIPX_RESULT CallAudioRecordFileStart(SIPX_CALL hCall, const char* szFile) override;
    SIPX_RESULT CallAudioRecordFileStop(SIPX_CALL hCall) override;
    SIPX_RESULT AudioSetInputDevice(SIPX_INST hInst, const char* szDevice, int flags) override;
    SIPX_RESULT AudioSetOutputDevice(SIPX_INST hInst, const char* szDevice, int flags) override;
    SIPX_RESULT AudioSetInputVolume(SIPX_INST hInst, int level) override;
    SIPX_RESULT AudioMuteInput(SIPX_INST hInst, int bMute) override;
    SIPX_RESULT AudioMuteOutput(SIPX_INST hInst, int bMute) override;
    SIPX_RESULT AudioGetInputEnergy(SIPX_INST hInst, int window, double* pEnergy) override;
    SIPX_RESULT AudioGetOutputEnergy(SIPX_INST hInst, int window, double* pEnergy) override;
    SIPX_RESULT AudioSetAECMode(SIPX_INST hInst, int mode) override;
    SIPX_RESULT AudioSetAGCMode(SIPX_INST hInst, int bEnable) override;
    SIPX_RESULT AudioSetNoiseReductionMode(SIPX_INST hInst, int bEnable) override;
    SIPX_RESULT ConferenceCreate(SIPX_INST hInst, SIPX_CONF* phConf) override;
    SIPX_RESULT ConferenceAdd(SIPX_CONF hConf, SIPX_LINE hLine, const char* szAddress, SIPX_CALL* phCall,
                              int contactId, void* pDisplay, void* pSecurity, int bTakeFocus,
                              const SIPX_CALL_OPTIONS* pOptions) override;
    SIPX_RESULT ConferenceHold(SIPX_CONF hConf, int bBridging) override;
    SIPX_RESULT ConferenceUnhold(SIPX_CONF hConf) override;
    SIPX_RESULT ConferenceDestroy(SIPX_CONF hConf) override;

private:
    bool Record(const std::string& text);   // false: the call is to fail
    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
    CallControl* m_previous;
};

// --- the phone window, run as the login window runs it ------------------------------------

// A phone window whose balance queries are counted; they reach the account server only
// when askAccountServer is set.
class TestDial : public CDial {
public:
    std::atomic<int> balanceQueries{0};
    std::atomic<DWORD> lastBalanceQueryTick{0};
    std::atomic<bool> askAccountServer{false};
    std::function<void(HWND)> onInitDialog;     // after the window's own start-up
protected:
    BOOL OnInitDialog() override;
    void StartBalanceQuery() override;
};

// Runs a TestDial modally on a thread of its own, owned by a stand-in for the login
// window, with OLE initialised as the program does. The test's thread drives it.
class PhoneRun {
public:
    PhoneRun();
    ~PhoneRun();        // closes the window if still open

    // `setup` runs on the window's thread before the window is created, to set the values
    // the login window hands over. False when the window did not come up.
    bool Start(const std::function<void(TestDial&)>& setup);
    // Runs `fn` on the window's thread and waits for it.
    void Ui(const std::function<void()>& fn) const;
    // Asks the window to close (WM_CLOSE) and waits for the modal run to end; the run's
    // result, or -2 when it did not end within the time.
    INT_PTR Close(DWORD timeoutMs = 15000);
    // Waits for the modal run to end by itself; its result, or -2 when it did not.
    INT_PTR WaitForEnd(DWORD timeoutMs);
    // True once the modal run has returned.
    bool Ended() const { return m_ended; }

    std::string Text(int id) const;
    bool Visible(int id) const;
    // Pumps nothing: waits on the test's thread until `done` (evaluated on the window's
    // thread) is true or the time is up.
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000) const;

    TestDial* dial = nullptr;
    HWND h = nullptr;
    DWORD uiThread = 0;
    std::atomic<int> loginCloseRequests{0};     // WM_CLOSE seen by the stand-in login window

private:
    static DWORD WINAPI ThreadMain(void* self);
    static LRESULT CALLBACK LoginProc(HWND, UINT, WPARAM, LPARAM);
    std::function<void(TestDial&)> m_setup;
    HANDLE m_thread = nullptr;
    HANDLE m_ready = nullptr;
    std::atomic<bool> m_ended{false};
    INT_PTR m_result = -1;
};

// Values of a signed-in subscriber whose call server is 127.0.0.1:port, with the
// keep-alives going to 127.0.0.1:keepAlivePort.
void SignedIn(CDial& dial, int port, int keepAlivePort);

// --- network peers --------------------------------------------------------------------------

// A free UDP port of 127.0.0.1.
int FreeUdpPort();

// A UDP socket on 127.0.0.1 that receives and never answers.
class UdpSink {
public:
    UdpSink();
    ~UdpSink();
    int Port() const { return m_port; }
    // The next datagram within the time, or empty text.
    std::string Receive(DWORD timeoutMs);
private:
    unsigned m_socket;
    int m_port = 0;
};

// One sipp process on 127.0.0.1, started through /bin/sh so that Wine need not wait for a
// Unix child: the shell writes sipp's exit status to a file that is polled.
class SippPeer {
public:
    SippPeer();
    ~SippPeer();
    // scenario: file name in the scenario folder; remote: "127.0.0.1:14500" for a caller;
    // calls: how many sipp calls end the run.
    bool Start(const std::string& scenario, int calls = 1, const std::string& remote = std::string(),
               const std::string& extraArgs = std::string());
    // sipp's exit status (0: every step passed), or -1 when it had not ended in time.
    int Wait(DWORD timeoutMs);
    int Port() const { return m_port; }
    std::string Log() const;
private:
    bool StartOnce(const std::string& scenario, int calls, const std::string& remote, const std::string& extraArgs);
    void Kill();
    std::string m_base;     // Unix path prefix of this run's files
    int m_port = 0;
    long m_pid = 0;
    bool m_running = false;
};

// The thread-safe desktop recorder: RecordingDesktop with a lock, and message boxes
// that can be held open (pumping messages, as a real box does) until released.
class LockedDesktop : public wintest::RecordingDesktop {
public:
    void PlayResourceSound(int nResourceId) override;
    int ShowMessageBox(HWND hOwner, const char* text, const char* caption, UINT type) override;
    HINSTANCE ShellOpen(HWND hOwner, const char* verb, const char* file, const char* parameters,
                        const char* directory, int nShowCmd) override;
    std::vector<int> SoundsSeen() const;
    std::vector<Event> BoxesSeen() const;
    std::vector<Event> LaunchesSeen() const;
    void Reset();

    std::atomic<bool> holdBoxes{false};     // boxes stay open until released
    void ReleaseBoxes() { holdBoxes = false; }
    // Lets one held box close (the innermost, if boxes are nested); the others stay held.
    void ReleaseOneBox() { ++m_releases; }
    std::atomic<DWORD> lastBoxThread{0};
    std::atomic<int> boxesOpen{0};
    std::atomic<int> mostBoxesOpen{0};      // the most boxes open at one time
private:
    bool TakeRelease();
    mutable std::mutex m_mutex;
    std::atomic<int> m_releases{0};
};

// When QUILLON_SCREENSHOT_DIR (a Unix folder) is set: a picture of the screen, trimmed
// to the windows, as <folder>/<name>.png. True when written or not asked for.
bool Screenshot(const std::string& name);

// Starts a shell command line (Unix) and does not wait for it.
void StartShell(const std::string& commandLine);
// This program's folder as a Unix path, and a Unix path as a Windows one.
std::string UnixProgramFolder();
std::string LocalPath(const std::string& unixPath);

// The Unix path of a scenario file.
std::string ScenarioPath(const std::string& name);

}  // namespace phonetest
