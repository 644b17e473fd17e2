// The devices and switches of the audio settings window: what it opens with and what its
// Apply hands back to the window that opened it.
#pragma once
#include <string>

struct AudioChoice {
    std::string strOutputDevice;        // wave-out product name, Audio.xml "playdev"
    std::string strInputDevice;         // wave-in product name, Audio.xml "recodev"
    int nEchoCancel = 0;                // Call.xml "a11"
    int nNoiseReduction = 0;            // "a22"
    int nAutoGain = 0;                  // "a33"
};
