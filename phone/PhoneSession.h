// PhoneSession: what the phone window holds for a signed-in subscriber and lends to the
// windows it opens. The phone window owns it for its whole life; the multi-party window
// gets it by reference for its modal run (it makes the conference and the party calls
// here, where the phone window's event dispatch finds them); the audio settings window
// gets a copy of the audio choice and hands its result back for the phone window to
// apply (AudioChoice).
//
// Everything in it is touched on the phone window's thread only.
#pragma once
#include <string>
#include "AudioChoice.h"
#include "callctl.h"

struct PhoneSession {
    enum { PARTY_LINES = 3 };

    // The call-control instance and its one SIP line, from the window's start to its end.
    SIPX_INST m_hInst = 0;
    SIPX_LINE m_hLine = 0;
    // The phone window's own call; 0 when there is none.
    SIPX_CALL m_hCall = 0;
    // The multi-party window's conference while that window is open, and its lines'
    // calls (line n uses entry n - 1).
    SIPX_CONF m_hConf = 0;
    SIPX_CALL m_hPartyCall[PARTY_LINES] = {0, 0, 0};

    std::string m_strSipDomain;         // host:port
    std::string m_strBalance;           // as the account server wrote it

    // Devices (Audio.xml) and switches (Call.xml), given to the library for each call.
    std::string m_strInputDevice;
    std::string m_strOutputDevice;
    int m_bEchoCancel = 0;
    int m_bNoiseReduction = 0;
    int m_bAutoGain = 0;

    AudioChoice Audio() const
    {
        return {m_strOutputDevice, m_strInputDevice, m_bEchoCancel, m_bNoiseReduction, m_bAutoGain};
    }
    void TakeAudio(const AudioChoice& choice)
    {
        m_strOutputDevice = choice.strOutputDevice;
        m_strInputDevice = choice.strInputDevice;
        m_bEchoCancel = choice.nEchoCancel;
        m_bNoiseReduction = choice.nNoiseReduction;
        m_bAutoGain = choice.nAutoGain;
    }
};
