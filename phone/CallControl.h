// The call-control library as the phone window uses it.
//
// Every library call of the phone window goes through TheCallControl(). The default
// implementation forwards each call unchanged to callctl.dll; tests install a subclass
// that records the calls (and may answer some of them itself) before forwarding. Only the
// window's thread calls through here: the library's own thread only runs the listener.
#pragma once
#include "callctl.h"

// The options of every call the program places (phone window and party lines): the
// record's size, then 1, 1, 1 and 0 as the service's call server expects them.
const SIPX_CALL_OPTIONS kCallOptions = {20, 1, 1, 1, 0};

class CallControl {
public:
    virtual ~CallControl() = default;

    virtual SIPX_RESULT Initialize(SIPX_INST* phInst, int udpPort, int tcpPort, int tlsPort, int rtpPortStart,
                                   int maxConnections, const char* identity, const char* bindToAddr, int flags);
    virtual SIPX_RESULT UnInitialize(SIPX_INST hInst, int bForceShutdown);

    virtual SIPX_RESULT ConfigSetUserAgentName(SIPX_INST hInst, const char* szName, int bIncludePlatform);
    virtual SIPX_RESULT ConfigEnableRport(SIPX_INST hInst, int bEnable);
    virtual SIPX_RESULT ConfigKeepAliveAdd(SIPX_INST hInst, int contactId, int type, const char* remoteIp,
                                           int remotePort, int periodSec);
    virtual SIPX_RESULT ConfigSelectAudioCodecByName(SIPX_INST hInst, const char* szName);
    virtual SIPX_RESULT ConfigSetOutboundDTMFMode(SIPX_INST hInst, int mode);

    virtual SIPX_RESULT EventListenerAdd(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData);
    virtual SIPX_RESULT EventListenerRemove(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData);

    virtual SIPX_RESULT LineAdd(SIPX_INST hInst, const char* szLineUrl, SIPX_LINE* phLine, int contactId);
    virtual SIPX_RESULT LineAddCredential(SIPX_LINE hLine, const char* szUserID, const char* szPasswd,
                                          const char* szRealm);
    virtual SIPX_RESULT LineRegister(SIPX_LINE hLine, int bRegister);
    virtual SIPX_RESULT LineGetTransport(SIPX_LINE hLine, char* szBuffer, size_t nBuffer, int* pbProven);
    virtual SIPX_RESULT LineSetTransport(SIPX_LINE hLine, const char* szWay);

    virtual SIPX_RESULT CallCreate(SIPX_INST hInst, SIPX_LINE hLine, SIPX_CALL* phCall);
    virtual SIPX_RESULT CallConnect(SIPX_CALL hCall, const char* szAddress, int contactId, void* pDisplay,
                                    int bTakeFocus, const SIPX_CALL_OPTIONS* pOptions, const char* szCallId);
    virtual SIPX_RESULT CallHold(SIPX_CALL hCall, int bStopRemoteAudio);
    virtual SIPX_RESULT CallDestroy(SIPX_CALL* phCall);
    virtual SIPX_RESULT CallStartTone(SIPX_CALL hCall, int toneId, int bLocal, int bRemote, int minDurationMs);
    virtual SIPX_RESULT CallStopTone(SIPX_CALL hCall);
    virtual SIPX_RESULT CallAudioRecordFileStart(SIPX_CALL hCall, const char* szFile);
    virtual SIPX_RESULT CallAudioRecordFileStop(SIPX_CALL hCall);
    virtual SIPX_RESULT CallGetAudioQuality(SIPX_CALL hCall, SIPX_AUDIO_QUALITY* pQuality);

    virtual SIPX_RESULT AudioSetInputDevice(SIPX_INST hInst, const char* szDevice, int flags);
    virtual SIPX_RESULT AudioSetOutputDevice(SIPX_INST hInst, const char* szDevice, int flags);
    virtual SIPX_RESULT AudioSetInputVolume(SIPX_INST hInst, int level);
    virtual SIPX_RESULT AudioMuteInput(SIPX_INST hInst, int bMute);
    virtual SIPX_RESULT AudioMuteOutput(SIPX_INST hInst, int bMute);
    virtual SIPX_RESULT AudioGetInputEnergy(SIPX_INST hInst, int window, double* pEnergy);
    virtual SIPX_RESULT AudioGetOutputEnergy(SIPX_INST hInst, int window, double* pEnergy);
    virtual SIPX_RESULT AudioSetAECMode(SIPX_INST hInst, int mode);
    virtual SIPX_RESULT AudioSetAGCMode(SIPX_INST hInst, int bEnable);
    virtual SIPX_RESULT AudioSetNoiseReductionMode(SIPX_INST hInst, int bEnable);

    virtual SIPX_RESULT ConferenceCreate(SIPX_INST hInst, SIPX_CONF* phConf);
    virtual SIPX_RESULT ConferenceAdd(SIPX_CONF hConf, SIPX_LINE hLine, const char* szAddress, SIPX_CALL* phCall,
                                      int contactId, void* pDisplay, void* pSecurity, int bTakeFocus,
                                      const SIPX_CALL_OPTIONS* pOptions);
    virtual SIPX_RESULT ConferenceHold(SIPX_CONF hConf, int bBridging);
    virtual SIPX_RESULT ConferenceUnhold(SIPX_CONF hConf);
    virtual SIPX_RESULT ConferenceDestroy(SIPX_CONF hConf);
};

// The call control in use; never null.
CallControl& TheCallControl();
// Installs another call control (null restores the library itself); returns the previous one.
CallControl* SetCallControl(CallControl* callControl);
