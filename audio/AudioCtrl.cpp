#include "AudioCtrl.h"
#include "VolumeCtrl.h"
#include "MixerCalls.h"

void CAudioCtrl::SelectMicrophoneOnAllInputs(int nSource)
{
    // A device may come or go while we work: the count is read before every step.
    for (UINT nDevice = 0; nDevice < TheMixerCalls().WaveInGetNumDevs(); ++nDevice) {
        CVolumeCtrl control(nSource, static_cast<int>(nDevice));
        control.SelectMicrophone();
    }
}
