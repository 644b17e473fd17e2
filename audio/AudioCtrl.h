// CAudioCtrl: makes the microphone the recording source of the computer's wave-input
// devices. The phone window holds one and uses it once, at its start; its window is
// never created.
#pragma once
#include "Wnd.h"

class CAudioCtrl : public CWnd {
public:
    // For every wave-input device in turn (the device count is asked again before each
    // one): a recording mixer control on source line nSource of the device's recording
    // destination selects the microphone, and is closed again. Devices without a usable
    // mixer are passed over; nothing is reported.
    void SelectMicrophoneOnAllInputs(int nSource);
};
