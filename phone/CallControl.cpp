#include "CallControl.h"

namespace {
CallControl g_library;
CallControl* g_current = &g_library;
}

CallControl& TheCallControl() { return *g_current; }

CallControl* SetCallControl(CallControl* callControl)
{
    CallControl* previous = g_current;
    g_current = callControl ? callControl : &g_library;
    return previous;
}

SIPX_RESULT CallControl::Initialize(SIPX_INST* phInst, int udpPort, int tcpPort, int tlsPort, int rtpPortStart,
                                    int maxConnections, const char* identity, const char* bindToAddr, int flags)
{
    return sipxInitialize(phInst, udpPort, tcpPort, tlsPort, rtpPortStart, maxConnections, identity, bindToAddr,
                          flags);
}

SIPX_RESULT CallControl::UnInitialize(SIPX_INST hInst, int bForceShutdown)
{
    return sipxUnInitialize(hInst, bForceShutdown);
}

SIPX_RESULT CallControl::ConfigSetUserAgentName(SIPX_INST hInst, const char* szName, int bIncludePlatform)
{
    return sipxConfigSetUserAgentName(hInst, szName, bIncludePlatform);
}

SIPX_RESULT CallControl::ConfigEnableRport(SIPX_INST hInst, int bEnable)
{
    return sipxConfigEnableRport(hInst, bEnable);
}

SIPX_RESULT CallControl::ConfigKeepAliveAdd(SIPX_INST hInst, int contactId, int type, const char* remoteIp,
                                            int remotePort, int periodSec)
{
    return sipxConfigKeepAliveAdd(hInst, contactId, type, remoteIp, remotePort, periodSec);
}

SIPX_RESULT CallControl::ConfigSelectAudioCodecByName(SIPX_INST hInst, const char* szName)
{
    return sipxConfigSelectAudioCodecByName(hInst, szName);
}

SIPX_RESULT CallControl::ConfigSetOutboundDTMFMode(SIPX_INST hInst, int mode)
{
    return sipxConfigSetOutboundDTMFMode(hInst, mode);
}

SIPX_RESULT CallControl::EventListenerAdd(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData)
{
    return sipxEventListenerAdd(hInst, pCallback, pUserData);
}

SIPX_RESULT CallControl::EventListenerRemove(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void* pUserData)
{
    return sipxEventListenerRemove(hInst, pCallback, pUserData);
}

SIPX_RESULT CallControl::LineAdd(SIPX_INST hInst, const char* szLineUrl, SIPX_LINE* phLine, int contactId)
{
    return sipxLineAdd(hInst, szLineUrl, phLine, contactId);
}

SIPX_RESULT CallControl::LineAddCredential(SIPX_LINE hLine, const char* szUserID, const char* szPasswd,
                                           const char* szRealm)
{
    return sipxLineAddCredential(hLine, szUserID, szPasswd, szRealm);
}

SIPX_RESULT CallControl::LineRegister(SIPX_LINE hLine, int bRegister)
{
    return sipxLineRegister(hLine, bRegister);
}

SIPX_RESULT CallControl::LineGetTransport(SIPX_LINE hLine, char* szBuffer, size_t nBuffer, int* pbProven)
{
    return sipxLineGetTransport(hLine, szBuffer, nBuffer, pbProven);
}

SIPX_RESULT CallControl::LineSetTransport(SIPX_LINE hLine, const char* szWay)
{
    return sipxLineSetTransport(hLine, szWay);
}

SIPX_RESULT CallControl::CallCreate(SIPX_INST hInst, SIPX_LINE hLine, SIPX_CALL* phCall)
{
    return sipxCallCreate(hInst, hLine, phCall);
}

SIPX_RESULT CallControl::CallConnect(SIPX_CALL hCall, const char* szAddress, int contactId, void* pDisplay,
                                     int bTakeFocus, const SIPX_CALL_OPTIONS* pOptions, const char* szCallId)
{
    return sipxCallConnect(hCall, szAddress, contactId, pDisplay, bTakeFocus, pOptions, szCallId);
}

SIPX_RESULT CallControl::CallHold(SIPX_CALL hCall, int bStopRemoteAudio)
{
    return sipxCallHold(hCall, bStopRemoteAudio);
}

SIPX_RESULT CallControl::CallDestroy(SIPX_CALL* phCall)
{
    return sipxCallDestroy(phCall);
}

SIPX_RESULT CallControl::CallStartTone(SIPX_CALL hCall, int toneId, int bLocal, int bRemote, int minDurationMs)
{
    return sipxCallStartTone(hCall, toneId, bLocal, bRemote, minDurationMs);
}

SIPX_RESULT CallControl::CallStopTone(SIPX_CALL hCall)
{
    return sipxCallStopTone(hCall);
}

SIPX_RESULT CallControl::CallAudioRecordFileStart(SIPX_CALL hCall, const char* szFile)
{
    return sipxCallAudioRecordFileStart(hCall, szFile);
}

SIPX_RESULT CallControl::CallAudioRecordFileStop(SIPX_CALL hCall)
{
    return sipxCallAudioRecordFileStop(hCall);
}

SIPX_RESULT CallControl::CallGetAudioQuality(SIPX_CALL hCall, SIPX_AUDIO_QUALITY* pQuality)
{
    return sipxCallGetAudioQuality(hCall, pQuality);
}

SIPX_RESULT CallControl::AudioSetInputDevice(SIPX_INST hInst, const char* szDevice, int flags)
{
    return sipxAudioSetInputDevice(hInst, szDevice, flags);
}

SIPX_RESULT CallControl::AudioSetOutputDevice(SIPX_INST hInst, const char* szDevice, int flags)
{
    return sipxAudioSetOutputDevice(hInst, szDevice, flags);
}

SIPX_RESULT CallControl::AudioSetInputVolume(SIPX_INST hInst, int level)
{
    return sipxAudioSetInputVolume(hInst, level);
}

SIPX_RESULT CallControl::AudioMuteInput(SIPX_INST hInst, int bMute)
{
    return sipxAudioMuteInput(hInst, bMute);
}

SIPX_RESULT CallControl::AudioMuteOutput(SIPX_INST hInst, int bMute)
{
    return sipxAudioMuteOutput(hInst, bMute);
}

SIPX_RESULT CallControl::AudioGetInputEnergy(SIPX_INST hInst, int window, double* pEnergy)
{
    return sipxAudioGetInputEnergy(hInst, window, pEnergy);
}

SIPX_RESULT CallControl::AudioGetOutputEnergy(SIPX_INST hInst, int window, double* pEnergy)
{
    return sipxAudioGetOutputEnergy(hInst, window, pEnergy);
}

SIPX_RESULT CallControl::AudioSetAECMode(SIPX_INST hInst, int mode)
{
    return sipxAudioSetAECMode(hInst, mode);
}

SIPX_RESULT CallControl::AudioSetAGCMode(SIPX_INST hInst, int bEnable)
{
    return sipxAudioSetAGCMode(hInst, bEnable);
}

SIPX_RESULT CallControl::AudioSetNoiseReductionMode(SIPX_INST hInst, int bEnable)
{
    return sipxAudioSetNoiseReductionMode(hInst, bEnable);
}

SIPX_RESULT CallControl::ConferenceCreate(SIPX_INST hInst, SIPX_CONF* phConf)
{
    return sipxConferenceCreate(hInst, phConf);
}

SIPX_RESULT CallControl::ConferenceAdd(SIPX_CONF hConf, SIPX_LINE hLine, const char* szAddress, SIPX_CALL* phCall,
                                       int contactId, void* pDisplay, void* pSecurity, int bTakeFocus,
                                       const SIPX_CALL_OPTIONS* pOptions)
{
    return sipxConferenceAdd(hConf, hLine, szAddress, phCall, contactId, pDisplay, pSecurity, bTakeFocus, pOptions);
}

SIPX_RESULT CallControl::ConferenceHold(SIPX_CONF hConf, int bBridging)
{
    return sipxConferenceHold(hConf, bBridging);
}

SIPX_RESULT CallControl::ConferenceUnhold(SIPX_CONF hConf)
{
    return sipxConferenceUnhold(hConf);
}

SIPX_RESULT CallControl::ConferenceDestroy(SIPX_CONF hConf)
{
    return sipxConferenceDestroy(hConf);
}
