// CAudioCtrl: makes the microphone the recording source of the computer's wave-input
// devices. It has no window; the phone window uses it once, at its start.
#pragma once

class CAudioCtrl {
public:
    // Selects source `nSource` (counted from the end of the recording line's sources;
    // 1 is the microphone) on every wave-input device.
    // Not there yet: this does nothing until the microphone selection is written.
    void SelectMicrophoneOnAllInputs(int nSource);
};
