// Wave device names from WinMM.
#include "WaveDevices.h"

#include <windows.h>
#include <mmsystem.h>

namespace {

class CWinMMWaveDevices : public IWaveDevices
{
public:
    bool OutputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        WAVEOUTCAPSA caps = {};
        if (::waveOutGetDevCapsA(nDevice, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return false;
        strName = caps.szPname;
        return true;
    }

    bool InputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        WAVEINCAPSA caps = {};
        if (::waveInGetDevCapsA(nDevice, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return false;
        strName = caps.szPname;
        return true;
    }
};

}  // namespace

const IWaveDevices& SystemWaveDevices()
{
    static const CWinMMWaveDevices devices;
    return devices;
}
