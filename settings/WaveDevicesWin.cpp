// Wave device names from WinMM, as keys (WaveDeviceKey).
#include "WaveDevices.h"

#include <windows.h>
#include <mmsystem.h>

namespace {

std::string KeyOf(const wchar_t* pszName)
{
    const std::u16string strName(reinterpret_cast<const char16_t*>(pszName), ::wcsnlen(pszName, MAXPNAMELEN));
    return WaveDeviceKey(strName);
}

class CWinMMWaveDevices : public IWaveDevices
{
public:
    bool OutputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        WAVEOUTCAPSW caps = {};
        if (::waveOutGetDevCapsW(nDevice, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return false;
        strName = KeyOf(caps.szPname);
        return true;
    }

    bool InputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        WAVEINCAPSW caps = {};
        if (::waveInGetDevCapsW(nDevice, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return false;
        strName = KeyOf(caps.szPname);
        return true;
    }
};

}  // namespace

const IWaveDevices& SystemWaveDevices()
{
    static const CWinMMWaveDevices devices;
    return devices;
}
