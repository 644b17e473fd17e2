#include "AudioCtrl.h"

void CAudioCtrl::SelectMicrophoneOnAllInputs(int /*nSource*/)
{
    // Left empty on purpose: the microphone selection comes with the recording mixer
    // control. Until then the recording source stays whatever the system has chosen.
}
