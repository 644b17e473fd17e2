#include <winsock2.h>
#include "PhoneTestSupport.h"
#include <cstdarg>
#include "WinApp.h"
#include <cstdio>
#include <fstream>
#include <sstream>

namespace phonetest {

namespace {

std::string Format(const char* fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string Str(const char* s) { return s ? std::string("\"") + s + "\"" : "null"; }

struct WinsockUser {
    WinsockUser() { WSADATA d; ::WSAStartup(MAKEWORD(2, 2), &d); }
    ~WinsockUser() { ::WSACleanup(); }
};
WinsockUser g_winsock;

}  // namespace

// --- RecordingCallControl -------------------------------------------------------------------

RecordingCallControl::RecordingCallControl() : m_previous(SetCallControl(this)) {}
RecordingCallControl::~RecordingCallControl() { SetCallControl(m_previous); }

bool RecordingCallControl::Record(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(Call{text, ::GetTickCount(), ::GetCurrentThreadId()});
    return failing.count(text.substr(0, text.find('('))) == 0;
}

std::vector<RecordingCallControl::Call> RecordingCallControl::Calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<std::string> RecordingCallControl::Texts() const
{
    std::vector<std::string> out;
    for (const Call& c : Calls())
        out.push_back(c.text);
    return out;
}

std::vector<std::string> RecordingCallControl::Matching(const std::string& prefix) const
{
    std::vector<std::string> out;
    for (const Call& c : Calls())
        if (c.text.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c.text);
    return out;
}

void RecordingCallControl::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

SIPX_RESULT RecordingCallControl::Initialize(SIPX_INST* phInst, int udpPort, int tcpPort, int tlsPort,
                                             int rtpPortStart, int maxConnections, const char* identity,
                                             const char* bindToAddr, int flags)
{
    if (!Record(Format("Initialize(%d,%d,%d,%d,%d,%s,%s,%d)", udpPort, tcpPort, tlsPort, rtpPortStart,
                       maxConnections, Str(identity).c_str(), Str(bindToAddr).c_str(), flags)))
        return SIPX_RESULT_FAILURE;
    const SIPX_RESULT r = CallControl::Initialize(phInst, udpPort, tcpPort, tlsPort, rtpPortStart, maxConnections,
                                                  identity, bindToAddr, flags);
    if (r == SIPX_RESULT_SUCCESS) {
        SIPX_TIMER_SETTINGS timers = {};
        timers.cbSize = sizeof timers;
        timers.shutdownWait = 800;
        sipxConfigSetTimers(*phInst, &timers);
        // The windows' call servers here answer over UDP or not at all: no line
        // looks for another way (TCP and TLS on this machine would refuse at once,
        // and report a failure no test asked for).
        sipxConfigSetFallbackPorts(*phInst, 0, 0, 0);
    }
    return r;
}

SIPX_RESULT RecordingCallControl::UnInitialize(SIPX_INST hInst, int bForceShutdown)
{
    if (!Record(Format("UnInitialize(%d)", bForceShutdown)))
        return SIPX_RESULT_FAILURE;
    return CallControl::UnInitialize(hInst, bForceShutdown);
}

SIPX_RESULT RecordingCallControl::ConfigSetUserAgentName(SIPX_INST hInst, const char* szName, int bIncludePlatform)
{
    if (!Record(Format("ConfigSetUserAgentName(%s,%d)", Str(szName).c_str(), bIncludePlatform)))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConfigSetUserAgentName(hInst, szName, bIncludePlatform);
}

SIPX_RESULT RecordingCallControl::ConfigEnableRport(SIPX_INST hInst, int bEnable)
{
    if (!Record(Format("ConfigEnableRport(%d)", bEnable)))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConfigEnableRport(hInst, bEnable);
}

SIPX_RESULT RecordingCallControl::ConfigKeepAliveAdd(SIPX_INST hInst, int contactId, int type, const char* remoteIp,
                                                     int remotePort, int periodSec)
{
    if (!Record(Format("ConfigKeepAliveAdd(%d,%d,%s,%d,%d)", contactId, type, Str(remoteIp).c_str(), remotePort,
                       periodSec)))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConfigKeepAliveAdd(hInst, contactId, type, remoteIp, remotePort, periodSec);
}

SIPX_RESULT RecordingCallControl::ConfigSelectAudioCodecByName(SIPX_INST hInst, const char* szName)
{
    if (!Record(Format("ConfigSelectAudioCodecByName(%s)", Str(szName).c_str())))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConfigSelectAudioCodecByName(hInst, szName);
}

SIPX_RESULT RecordingCallControl::ConfigSetOutboundDTMFMode(SIPX_INST hInst, int mode)
{
    if (!Record(Format("ConfigSetOutboundDTMFMode(%d)", mode)))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConfigSetOutboundDTMFMode(hInst, mode);
}

SIPX_RESULT RecordingCallControl::EventListenerAdd(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData)
{
    if (!Record(Format("EventListenerAdd(%s,%s)", pCallback == &CDial::OnCallControlEvent ? "OnCallControlEvent" : "?",
                       pUserData ? "window" : "null")))
        return SIPX_RESULT_FAILURE;
    return CallControl::EventListenerAdd(hInst, pCallback, pUserData);
}

SIPX_RESULT RecordingCallControl::EventListenerRemove(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData)
{
    if (!Record(Format("EventListenerRemove(%s,%s)",
                       pCallback == &CDial::OnCallControlEvent ? "OnCallControlEvent" : "?",
                       pUserData ? "window" : "null")))
        return SIPX_RESULT_FAILURE;
    return CallControl::EventListenerRemove(hInst, pCallback, pUserData);
}

SIPX_RESULT RecordingCallControl::LineAdd(SIPX_INST hInst, const char* szLineUrl, SIPX_LINE* phLine, int contactId)
{
    if (!Record(Format("LineAdd(%s,%d)", Str(szLineUrl).c_str(), contactId)))
        return SIPX_RESULT_FAILURE;
    return CallControl::LineAdd(hInst, szLineUrl, phLine, contactId);
}

SIPX_RESULT RecordingCallControl::LineAddCredential(SIPX_LINE hLine, const char* szUserID, const char* szPasswd,
                                                    const char* szRealm)
{
    if (!Record(Format("LineAddCredential(%s,%s,%s)", Str(szUserID).c_str(), Str(szPasswd).c_str(),
                       Str(szRealm).c_str())))
        return SIPX_RESULT_FAILURE;
    return CallControl::LineAddCredential(hLine, szUserID, szPasswd, szRealm);
}

SIPX_RESULT RecordingCallControl::LineRegister(SIPX_LINE hLine, int bRegister)
{
    if (!Record(Format("LineRegister(%d)", bRegister)))
        return SIPX_RESULT_FAILURE;
    return CallControl::LineRegister(hLine, bRegister);
}

SIPX_RESULT RecordingCallControl::CallCreate(SIPX_INST hInst, SIPX_LINE hLine, SIPX_CALL* phCall)
{
    if (!Record("CallCreate()"))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallCreate(hInst, hLine, phCall);
}

// "CallConnect" shows the address, contact id, display, focus, the options record's five
// words and the call id.
SIPX_RESULT RecordingCallControl::CallConnect(SIPX_CALL hCall, const char* szAddress, int contactId, void* pDisplay,
                                              int bTakeFocus, const SIPX_CALL_OPTIONS* pOptions, const char* szCallId)
{
    const std::string options =
        pOptions ? Format("{%u,%d,%d,%d,%d}", static_cast<unsigned>(pOptions->cbSize), pOptions->bandwidthId,
                          pOptions->sendLocation, pOptions->rtpTransport, pOptions->reserved)
                 : std::string("null");
    if (!Record(Format("CallConnect(%s,%d,%s,%d,%s,%s)", Str(szAddress).c_str(), contactId,
                       pDisplay ? "display" : "null", bTakeFocus, options.c_str(), Str(szCallId).c_str())))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallConnect(hCall, szAddress, contactId, pDisplay, bTakeFocus, pOptions, szCallId);
}

SIPX_RESULT RecordingCallControl::CallHold(SIPX_CALL hCall, int bStopRemoteAudio)
{
    if (!Record(Format("CallHold(%d)", bStopRemoteAudio)))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallHold(hCall, bStopRemoteAudio);
}

SIPX_RESULT RecordingCallControl::CallDestroy(SIPX_CALL* phCall)
{
    if (!Record("CallDestroy()"))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallDestroy(phCall);
}

SIPX_RESULT RecordingCallControl::CallStartTone(SIPX_CALL hCall, int toneId, int bLocal, int bRemote, int minDurationMs)
{
    if (!Record(Format("CallStartTone(%d,%d,%d,%d)", toneId, bLocal, bRemote, minDurationMs)))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallStartTone(hCall, toneId, bLocal, bRemote, minDurationMs);
}

SIPX_RESULT RecordingCallControl::CallStopTone(SIPX_CALL hCall)
{
    if (!Record("CallStopTone()"))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallStopTone(hCall);
}

SIPX_RESULT RecordingCallControl::CallAudioRecordFileStart(SIPX_CALL hCall, const char* szFile)
{
    if (!Record(Format("CallAudioRecordFileStart(%s)", Str(szFile).c_str())))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallAudioRecordFileStart(hCall, szFile);
}

SIPX_RESULT RecordingCallControl::CallAudioRecordFileStop(SIPX_CALL hCall)
{
    if (!Record("CallAudioRecordFileStop()"))
        return SIPX_RESULT_FAILURE;
    return CallControl::CallAudioRecordFileStop(hCall);
}

SIPX_RESULT RecordingCallControl::AudioSetInputDevice(SIPX_INST hInst, const char* szDevice, int flags)
{
    if (!Record(Format("AudioSetInputDevice(%s,%d)", Str(szDevice).c_str(), flags)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioSetInputDevice(hInst, szDevice, flags);
}

SIPX_RESULT RecordingCallControl::AudioSetOutputDevice(SIPX_INST hInst, const char* szDevice, int flags)
{
    if (!Record(Format("AudioSetOutputDevice(%s,%d)", Str(szDevice).c_str(), flags)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioSetOutputDevice(hInst, szDevice, flags);
}

SIPX_RESULT RecordingCallControl::AudioSetInputVolume(SIPX_INST hInst, int level)
{
    if (!Record(Format("AudioSetInputVolume(%d)", level)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioSetInputVolume(hInst, level);
}

SIPX_RESULT RecordingCallControl::AudioMuteInput(SIPX_INST hInst, int bMute)
{
    if (!Record(Format("AudioMuteInput(%d)", bMute)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioMuteInput(hInst, bMute);
}

SIPX_RESULT RecordingCallControl::AudioMuteOutput(SIPX_INST hInst, int bMute)
{
    if (!Record(Format("AudioMuteOutput(%d)", bMute)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioMuteOutput(hInst, bMute);
}

SIPX_RESULT RecordingCallControl::AudioGetInputEnergy(SIPX_INST hInst, int window, double* pEnergy)
{
    // Polled every 50 ms: not recorded.
    const double scripted = inputEnergy;
    if (scripted >= 0 && pEnergy) {
        *pEnergy = scripted;
        return SIPX_RESULT_SUCCESS;
    }
    return CallControl::AudioGetInputEnergy(hInst, window, pEnergy);
}

SIPX_RESULT RecordingCallControl::AudioGetOutputEnergy(SIPX_INST hInst, int window, double* pEnergy)
{
    const double scripted = outputEnergy;
    if (scripted >= 0 && pEnergy) {
        *pEnergy = scripted;
        return SIPX_RESULT_SUCCESS;
    }
    return CallControl::AudioGetOutputEnergy(hInst, window, pEnergy);
}

SIPX_RESULT RecordingCallControl::AudioSetAECMode(SIPX_INST hInst, int mode)
{
    if (!Record(Format("AudioSetAECMode(%d)", mode)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioSetAECMode(hInst, mode);
}

SIPX_RESULT RecordingCallControl::AudioSetAGCMode(SIPX_INST hInst, int bEnable)
{
    if (!Record(Format("AudioSetAGCMode(%d)", bEnable)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioSetAGCMode(hInst, bEnable);
}

SIPX_RESULT RecordingCallControl::AudioSetNoiseReductionMode(SIPX_INST hInst, int bEnable)
{
    if (!Record(Format("AudioSetNoiseReductionMode(%d)", bEnable)))
        return SIPX_RESULT_FAILURE;
    return CallControl::AudioSetNoiseReductionMode(hInst, bEnable);
}

// Conferences: "ConferenceAdd" shows the address, contact id, display, security, focus
// and the options record's five words.
SIPX_RESULT RecordingCallControl::ConferenceCreate(SIPX_INST hInst, SIPX_CONF* phConf)
{
    if (!Record("ConferenceCreate()"))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConferenceCreate(hInst, phConf);
}

SIPX_RESULT RecordingCallControl::ConferenceAdd(SIPX_CONF hConf, SIPX_LINE hLine, const char* szAddress,
                                                SIPX_CALL* phCall, int contactId, void* pDisplay, void* pSecurity,
                                                int bTakeFocus, const SIPX_CALL_OPTIONS* pOptions)
{
    const std::string options =
        pOptions ? Format("{%u,%d,%d,%d,%d}", static_cast<unsigned>(pOptions->cbSize), pOptions->bandwidthId,
                          pOptions->sendLocation, pOptions->rtpTransport, pOptions->reserved)
                 : std::string("null");
    if (!Record(Format("ConferenceAdd(%s,%d,%s,%s,%d,%s)", Str(szAddress).c_str(), contactId,
                       pDisplay ? "display" : "null", pSecurity ? "security" : "null", bTakeFocus, options.c_str())))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConferenceAdd(hConf, hLine, szAddress, phCall, contactId, pDisplay, pSecurity, bTakeFocus,
                                      pOptions);
}

SIPX_RESULT RecordingCallControl::ConferenceHold(SIPX_CONF hConf, int bBridging)
{
    if (!Record(Format("ConferenceHold(%d)", bBridging)))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConferenceHold(hConf, bBridging);
}

SIPX_RESULT RecordingCallControl::ConferenceUnhold(SIPX_CONF hConf)
{
    if (!Record("ConferenceUnhold()"))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConferenceUnhold(hConf);
}

SIPX_RESULT RecordingCallControl::ConferenceDestroy(SIPX_CONF hConf)
{
    if (!Record("ConferenceDestroy()"))
        return SIPX_RESULT_FAILURE;
    return CallControl::ConferenceDestroy(hConf);
}

// --- PhoneRun -------------------------------------------------------------------------------

BOOL TestDial::OnInitDialog()
{
    const BOOL result = CDial::OnInitDialog();
    if (onInitDialog)
        onInitDialog(m_hWnd);
    return result;
}

void TestDial::StartBalanceQuery()
{
    lastBalanceQueryTick = ::GetTickCount();
    ++balanceQueries;
    if (askAccountServer)
        CDial::StartBalanceQuery();
}

namespace {
const char kLoginClass[] = "PhoneTest.LoginStandIn";
CWinApp g_testApp;
}

PhoneRun::PhoneRun()
{
    m_ready = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

PhoneRun::~PhoneRun()
{
    if (m_thread) {
        if (!m_ended)
            Close();
        ::WaitForSingleObject(m_thread, 15000);
        ::CloseHandle(m_thread);
    }
    ::CloseHandle(m_ready);
}

LRESULT CALLBACK PhoneRun::LoginProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_CLOSE) {
        auto* run = reinterpret_cast<PhoneRun*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
        if (run)
            ++run->loginCloseRequests;
        return 0;
    }
    return ::DefWindowProcA(hWnd, msg, wParam, lParam);
}

DWORD WINAPI PhoneRun::ThreadMain(void* self)
{
    PhoneRun* run = static_cast<PhoneRun*>(self);
    ::OleInitialize(nullptr);
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = &PhoneRun::LoginProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = kLoginClass;
        ::RegisterClassA(&wc);
        registered = true;
    }
    HWND login = ::CreateWindowA(kLoginClass, "login stand-in", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                 nullptr, ::GetModuleHandleA(nullptr), nullptr);
    ::SetWindowLongPtrA(login, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(run));
    CWnd loginWnd(login);
    g_testApp.m_pMainWnd = &loginWnd;
    {
        TestDial dial;
        run->m_setup(dial);
        run->dial = &dial;
        run->uiThread = ::GetCurrentThreadId();
        dial.onInitDialog = [run](HWND hWnd) {
            run->h = hWnd;
            ::SetEvent(run->m_ready);
        };
        run->m_result = dial.DoModal();
        run->dial = nullptr;
    }
    g_testApp.m_pMainWnd = nullptr;
    ::DestroyWindow(login);
    run->m_ended = true;
    ::SetEvent(run->m_ready);
    ::OleUninitialize();
    return 0;
}

bool PhoneRun::Start(const std::function<void(TestDial&)>& setup)
{
    m_setup = setup;
    m_thread = ::CreateThread(nullptr, 0, &PhoneRun::ThreadMain, this, 0, nullptr);
    if (!m_thread)
        return false;
    if (::WaitForSingleObject(m_ready, 20000) != WAIT_OBJECT_0 || !h || m_ended)
        return false;
    Ui([] {});      // the modal loop runs: the window is shown
    return !m_ended;
}

void PhoneRun::Ui(const std::function<void()>& fn) const
{
    if (!h || m_ended)
        return;
    auto* task = new std::function<void()>(fn);
    // Sent, so the test waits; the window's procedure runs and deletes the task.
    if (!::SendMessageTimeoutA(h, CDialog::TaskMessage(), 0, reinterpret_cast<LPARAM>(task), SMTO_NORMAL, 20000,
                               nullptr)) {
        // Timed out or the window is gone; the task may still run later, so it is leaked.
    }
}

INT_PTR PhoneRun::Close(DWORD timeoutMs)
{
    if (!m_thread)
        return -2;
    if (!m_ended && h)
        ::PostMessageA(h, WM_CLOSE, 0, 0);
    const DWORD waited = ::WaitForSingleObject(m_thread, timeoutMs);
    if (waited != WAIT_OBJECT_0) {
        std::fprintf(stderr, "[ close ] waiting for the window's thread %p gave %lu (error %lu), ended %d\n",
                     m_thread, waited, ::GetLastError(), m_ended ? 1 : 0);
        return -2;
    }
    return m_result;
}

INT_PTR PhoneRun::WaitForEnd(DWORD timeoutMs)
{
    if (!m_thread || ::WaitForSingleObject(m_thread, timeoutMs) != WAIT_OBJECT_0)
        return -2;
    return m_result;
}

std::string PhoneRun::Text(int id) const
{
    std::string out;
    Ui([&] { out = wintest::Text(h, id); });
    return out;
}

bool PhoneRun::Visible(int id) const
{
    bool out = false;
    Ui([&] { out = wintest::Visible(h, id); });
    return out;
}

bool PhoneRun::WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) const
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        bool ok = false;
        Ui([&] { ok = done(); });
        if (ok)
            return true;
        if (::GetTickCount() - start >= timeoutMs || m_ended)
            return false;
        ::Sleep(20);
    }
}

void SignedIn(CDial& dial, int port, int keepAlivePort)
{
    CDial::SignedIn values;
    values.strAccount = "10001";
    values.strSipPassword = "s3cret";
    values.strSipUser = "8001";
    values.strBalance = "25.60";
    values.strSipDomain = "127.0.0.1:" + std::to_string(port);
    values.strKeepAliveHost = "127.0.0.1";
    values.nKeepAlivePort = keepAlivePort;
    dial.TakeSignIn(values);
}

// --- network peers --------------------------------------------------------------------------

int FreeUdpPort()
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return 0;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    int len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::closesocket(s);
    return port;
}

UdpSink::UdpSink()
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    m_socket = static_cast<unsigned>(s);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (s != INVALID_SOCKET && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        m_port = ntohs(a.sin_port);
}

UdpSink::~UdpSink()
{
    if (static_cast<SOCKET>(m_socket) != INVALID_SOCKET)
        ::closesocket(static_cast<SOCKET>(m_socket));
}

std::string UdpSink::Receive(DWORD timeoutMs)
{
    const SOCKET s = static_cast<SOCKET>(m_socket);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    if (::select(0, &set, nullptr, nullptr, &tv) <= 0)
        return std::string();
    char buf[65536];
    const int n = ::recv(s, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// This program's folder as a Unix path (the tests run from the build tree, a Z: path).
std::string UnixProgramFolder()
{
    char path[MAX_PATH] = {0};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    p.erase(p.find_last_of("\\/"));
    if (p.size() >= 2 && (p[0] == 'Z' || p[0] == 'z') && p[1] == ':')
        p.erase(0, 2);
    for (char& c : p)
        if (c == '\\')
            c = '/';
    return p;
}

std::string LocalPath(const std::string& unixPath)
{
    std::string p = "Z:" + unixPath;
    for (char& c : p)
        if (c == '/')
            c = '\\';
    return p;
}

namespace {

bool ReadUnixFile(const std::string& unixPath, std::string& out)
{
    std::ifstream f(LocalPath(unixPath), std::ios::binary);
    if (!f)
        return false;
    std::ostringstream s;
    s << f.rdbuf();
    out = s.str();
    return true;
}

void RunShell(const std::string& unixScript)
{
    std::string cmd = "/bin/sh " + unixScript;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // Wine starts a Unix program without a Windows process: hProcess comes back null and
    // hThread is left holding whatever was there, often the value of one of our own live
    // handles. Closing it closed, say, the phone window thread's handle under a later wait.
    if (::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) && pi.hProcess) {
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
}

int g_sippRuns = 0;
int g_shellRuns = 0;
}  // namespace

void StartShell(const std::string& commandLine)
{
    const std::string script = UnixProgramFolder() + "/shell-" + std::to_string(::GetCurrentProcessId()) + "-" +
                               std::to_string(++g_shellRuns) + ".sh";
    {
        std::ofstream f(LocalPath(script), std::ios::binary);
        f << "#!/bin/sh\n" << commandLine << "\n";
    }
    RunShell(script);
}

std::string ScenarioPath(const std::string& name) { return std::string(PHONE_SCENARIO_DIR) + "/" + name; }

SippPeer::SippPeer()
{
    m_base = UnixProgramFolder() + "/sipp-" + std::to_string(::GetCurrentProcessId()) + "-" +
             std::to_string(++g_sippRuns);
}

SippPeer::~SippPeer()
{
    if (m_running)
        Kill();
}

bool SippPeer::Start(const std::string& scenario, int calls, const std::string& remote, const std::string& extraArgs)
{
    // The free port may be taken by someone else before sipp binds it: then try another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (StartOnce(scenario, calls, remote, extraArgs))
            return true;
        if (Log().find("Unable to bind main socket") == std::string::npos)
            return false;
    }
    return false;
}

bool SippPeer::StartOnce(const std::string& scenario, int calls, const std::string& remote,
                         const std::string& extraArgs)
{
    m_port = FreeUdpPort();
    if (!m_port)
        return false;
    std::string cmd = "sipp";
    if (!remote.empty())
        cmd += " " + remote;
    cmd += " -sf " + ScenarioPath(scenario) + " -i 127.0.0.1 -p " + std::to_string(m_port) + " -m " +
           std::to_string(calls) + " -nostdin -timeout 60 -timeout_error -default_behaviors none -trace_err" +
           " -error_file " + m_base + ".err";
    if (!extraArgs.empty())
        cmd += " " + extraArgs;
    const std::string script = "#!/bin/sh\n"
                               "rm -f '" + m_base + ".rc' '" + m_base + ".pid'\n" +
                               cmd + " >'" + m_base + ".log' 2>&1 </dev/null &\n"
                               "echo $! >'" + m_base + ".pid'\n"
                               "wait $!\n"
                               "echo $? >'" + m_base + ".rc.tmp'\n"
                               "mv '" + m_base + ".rc.tmp' '" + m_base + ".rc'\n";
    for (const char* ext : {".rc", ".pid", ".err"})
        ::DeleteFileA(LocalPath(m_base + ext).c_str());
    {
        std::ofstream f(LocalPath(m_base + ".sh"), std::ios::binary);
        f << script;
    }
    RunShell(m_base + ".sh");
    // Ready once sipp has taken its port.
    for (int i = 0; i < 500; ++i) {
        std::string pid, rc;
        if (ReadUnixFile(m_base + ".pid", pid) && !pid.empty()) {
            m_pid = std::atol(pid.c_str());
            SOCKET probe = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<u_short>(m_port));
            const bool taken = ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
            ::closesocket(probe);
            if (taken) {
                m_running = true;
                return true;
            }
        }
        if (ReadUnixFile(m_base + ".rc", rc))
            return false;       // sipp ended at once
        ::Sleep(20);
    }
    return false;
}

int SippPeer::Wait(DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < timeoutMs) {
        std::string rc;
        if (ReadUnixFile(m_base + ".rc", rc) && !rc.empty()) {
            m_running = false;
            return std::atoi(rc.c_str());
        }
        ::Sleep(20);
    }
    Kill();
    return -1;
}

void SippPeer::Kill()
{
    if (!m_running || m_pid <= 0)
        return;
    const std::string script = m_base + ".kill.sh";
    {
        std::ofstream f(LocalPath(script), std::ios::binary);
        f << "#!/bin/sh\nkill -9 " << m_pid << " 2>/dev/null\n";
    }
    RunShell(script);
    for (int i = 0; i < 200; ++i) {
        std::string rc;
        if (ReadUnixFile(m_base + ".rc", rc))
            break;
        ::Sleep(10);
    }
    m_running = false;
}

std::string SippPeer::Log() const
{
    std::string out, err;
    ReadUnixFile(m_base + ".log", out);
    ReadUnixFile(m_base + ".err", err);
    if (out.size() > 3000)
        out = out.substr(out.size() - 3000);
    if (err.size() > 3000)
        err = err.substr(0, 3000);
    return "--- sipp output ---\n" + out + "\n--- sipp errors ---\n" + err;
}

bool Screenshot(const std::string& name)
{
    const char* dir = std::getenv("QUILLON_SCREENSHOT_DIR");
    if (!dir || !*dir)
        return true;
    const std::string base = UnixProgramFolder() + "/shot-" + std::to_string(::GetCurrentProcessId());
    const std::string out = std::string(dir) + "/" + name + ".png";
    {
        std::ofstream f(LocalPath(base + ".sh"), std::ios::binary);
        f << "#!/bin/sh\n"
             "import -display \"$DISPLAY\" -window root '" << base << ".full.png' && "
             "convert '" << base << ".full.png' -trim +repage '" << out << "'\n"
             "echo $? >'" << base << ".done'\n"
             "rm -f '" << base << ".full.png'\n";
    }
    ::DeleteFileA(LocalPath(base + ".done").c_str());
    RunShell(base + ".sh");
    for (int i = 0; i < 1000; ++i) {
        std::string rc;
        if (ReadUnixFile(base + ".done", rc) && !rc.empty())
            return std::atoi(rc.c_str()) == 0;
        ::Sleep(20);
    }
    return false;
}

// --- LockedDesktop --------------------------------------------------------------------------

void LockedDesktop::PlayResourceSound(int nResourceId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RecordingDesktop::PlayResourceSound(nResourceId);
}

int LockedDesktop::ShowMessageBox(HWND hOwner, const char* text, const char* caption, UINT type)
{
    int answer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        answer = RecordingDesktop::ShowMessageBox(hOwner, text, caption, type);
    }
    lastBoxThread = ::GetCurrentThreadId();
    const int open = ++boxesOpen;
    for (int most = mostBoxesOpen; open > most && !mostBoxesOpen.compare_exchange_weak(most, open);) {
    }
    // A held box keeps its thread in a message loop of its own, as a real box does.
    while (holdBoxes && !TakeRelease()) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    --boxesOpen;
    return answer;
}

bool LockedDesktop::TakeRelease()
{
    for (int n = m_releases; n > 0;)
        if (m_releases.compare_exchange_weak(n, n - 1))
            return true;
    return false;
}

HINSTANCE LockedDesktop::ShellOpen(HWND hOwner, const char* verb, const char* file, const char* parameters,
                                   const char* directory, int nShowCmd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return RecordingDesktop::ShellOpen(hOwner, verb, file, parameters, directory, nShowCmd);
}

std::vector<int> LockedDesktop::SoundsSeen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return Sounds();
}

std::vector<wintest::RecordingDesktop::Event> LockedDesktop::BoxesSeen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return Boxes();
}

std::vector<wintest::RecordingDesktop::Event> LockedDesktop::LaunchesSeen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return Launches();
}

void LockedDesktop::Reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Clear();
}

}  // namespace phonetest
