// Audio.xml's device choice and Call.xml's audio processing options.
#include "SettingsFiles.h"
#include "SettingsLoad.h"

#include "WaveDevices.h"

const char kAudioXml[] = "Audio.xml";
const char kCallXml[] = "Call.xml";
#ifdef _WIN32
const char kCallXmlDialog[] = "call.xml";
#else
const char kCallXmlDialog[] = "Call.xml";
#endif

DeviceChoice ReadDeviceChoice(CXmlDoc& doc, const IWaveDevices& devices, const char* pszPath)
{
    LoadSettingsFile(doc, pszPath);  // a missing or broken file reads as what its records give
    doc.RewindElements();
    doc.FindElement("Audio");
    std::string strPlayback, strRecording;
    while (doc.FindChildElement("Dirver")) {
        strPlayback = doc.ChildAttribute("playdev");
        strRecording = doc.ChildAttribute("recodev");
    }

    DeviceChoice choice;
    if (strPlayback == "*")
        devices.OutputDeviceName(0, choice.strOutputDevice);
    else
        choice.strOutputDevice = strPlayback;
    if (strRecording == "*")
        devices.InputDeviceName(0, choice.strInputDevice);
    else
        choice.strInputDevice = strRecording;
    return choice;
}

namespace {

// Removes the root's first `name` child and saves when there was one, then appends a new
// `name` element, given its attributes by `fill`, into a file that loads well formed, and
// saves again.
template <class Fill>
void ReplaceRootChild(CXmlDoc& doc, const char* pszPath, const char* name, Fill fill)
{
    LoadSettingsFile(doc, pszPath);
    doc.RewindElements();
    doc.FindElement(nullptr);
    if (doc.FindChildElement(name)) {
        doc.RemoveChildElement();
        doc.SaveFile(pszPath);
    }
    if (LoadSettingsFile(doc, pszPath)) {
        doc.RewindElements();
        doc.FindElement(nullptr);
        doc.EnterElement();
        doc.AppendElement(name);
        fill();
        doc.LeaveElement();
        doc.SaveFile(pszPath);
    }
}

}  // namespace

bool SaveDeviceChoice(CXmlDoc& doc, const std::string& strOutputDevice, const std::string& strInputDevice,
                      const char* pszPath)
{
    if (strOutputDevice.empty() || strInputDevice.empty())
        return false;

    ReplaceRootChild(doc, pszPath, "Dirver", [&] {
        doc.SetAttribute("playdev", strOutputDevice);
        doc.SetAttribute("recodev", strInputDevice);
    });
    return true;
}

AudioOptions LoadAudioOptions(CXmlDoc& doc, const char* pszPath)
{
    AudioOptions options;
    LoadSettingsFile(doc, pszPath);
    doc.RewindElements();
    doc.FindElement(nullptr);
    while (doc.FindChildElement("audio")) {
        options.nEchoCancel = SettingsNumber(doc.ChildAttribute("a11"));
        options.nNoiseReduction = SettingsNumber(doc.ChildAttribute("a22"));
        options.nAutoGain = SettingsNumber(doc.ChildAttribute("a33"));
    }
    return options;
}

void SaveAudioOptions(CXmlDoc& doc, const AudioOptions& options, const char* pszPath)
{
    ReplaceRootChild(doc, pszPath, "audio", [&] {
        doc.SetAttribute("a11", options.nEchoCancel);
        doc.SetAttribute("a22", options.nNoiseReduction);
        doc.SetAttribute("a33", options.nAutoGain);
    });
}
