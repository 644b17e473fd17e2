// The names of the system's wave devices, as the settings files refer to them.
// Behind an interface so the settings procedures can be run against other devices.
#pragma once

#include <string>

class IWaveDevices
{
public:
    virtual ~IWaveDevices() = default;
    // The product name of wave-output (wave-input) device nDevice; false when the
    // system reports no such device.
    virtual bool OutputDeviceName(unsigned nDevice, std::string& strName) const = 0;
    virtual bool InputDeviceName(unsigned nDevice, std::string& strName) const = 0;
};

// The devices of this system: WinMM's on Windows; other builds have none.
const IWaveDevices& SystemWaveDevices();
