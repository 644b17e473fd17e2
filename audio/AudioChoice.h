// The devices and switches of the audio settings window: what it opens with and what its
// Apply hands back to the window that opened it.
#pragma once
#include <string>

struct AudioChoice {
    std::string strOutputDevice;        // wave-out device's key (WaveDeviceKey), Audio.xml "playdev"/"playdevu"
    std::string strInputDevice;         // wave-in device's key, Audio.xml "recodev"/"recodevu"
    int nEchoCancel = 0;                // Call.xml "a11"
    int nNoiseReduction = 0;            // "a22"
    int nAutoGain = 0;                  // "a33"
};
