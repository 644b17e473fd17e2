// The names of the system's wave devices, as the settings files refer to them.
// Behind an interface so the settings procedures can be run against other devices.
#pragma once

#include <string>

class IWaveDevices
{
public:
    virtual ~IWaveDevices() = default;
    // The name (WaveDeviceKey) of wave-output (wave-input) device nDevice; false when
    // the system reports no such device.
    virtual bool OutputDeviceName(unsigned nDevice, std::string& strName) const = 0;
    virtual bool InputDeviceName(unsigned nDevice, std::string& strName) const = 0;
};

// The devices of this system: WinMM's on Windows; other builds have none.
const IWaveDevices& SystemWaveDevices();

// A device's name as the settings files and the call-control library take it: the
// product name in GBK when GBK spells all of it (as it always was), else the GBK name
// with each character GBK lacks written "{U+XXXX}" (its code point in hex), so devices
// whose names differ only in such characters (two Korean names, say) stay apart.
std::string WaveDeviceKey(const std::u16string& strProductName);
// The product name in GBK with '?' for each character GBK lacks: what WinMM's A
// functions report and what older versions stored.
std::string WaveDeviceGbkName(const std::u16string& strProductName);
// The same GBK name made from a key; a key without "{U+XXXX}" is its own GBK name.
std::string WaveDeviceGbkNameOfKey(const std::string& strKey);
