// Wave device names from WinMM.
#include "WaveDevices.h"

#include <windows.h>
#include <mmsystem.h>

namespace {

// Device names are kept in GBK like every text; a character GBK lacks becomes '?', as
// the call-control library reads the same names.
std::string GbkName(const wchar_t* pszName)
{
    std::string strName;
    const int n = ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, pszName, -1, nullptr, 0, "?", nullptr);
    if (n > 1) {
        strName.resize(static_cast<size_t>(n));
        ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, pszName, -1, &strName[0], n, "?", nullptr);
        strName.resize(static_cast<size_t>(n - 1));
    }
    return strName;
}

class CWinMMWaveDevices : public IWaveDevices
{
public:
    bool OutputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        WAVEOUTCAPSW caps = {};
        if (::waveOutGetDevCapsW(nDevice, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return false;
        strName = GbkName(caps.szPname);
        return true;
    }

    bool InputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        WAVEINCAPSW caps = {};
        if (::waveInGetDevCapsW(nDevice, &caps, sizeof caps) != MMSYSERR_NOERROR)
            return false;
        strName = GbkName(caps.szPname);
        return true;
    }
};

}  // namespace

const IWaveDevices& SystemWaveDevices()
{
    static const CWinMMWaveDevices devices;
    return devices;
}
