// Builds outside Windows have no wave devices of their own.
#include "WaveDevices.h"

namespace {

class CNoWaveDevices : public IWaveDevices
{
public:
    bool OutputDeviceName(unsigned, std::string&) const override { return false; }
    bool InputDeviceName(unsigned, std::string&) const override { return false; }
};

}  // namespace

const IWaveDevices& SystemWaveDevices()
{
    static const CNoWaveDevices devices;
    return devices;
}
