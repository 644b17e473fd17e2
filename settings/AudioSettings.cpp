// Audio.xml's device choice and Call.xml's audio processing options.
#include "SettingsFiles.h"
#include "SettingsLoad.h"

#include "CodePage.h"
#include "WaveDevices.h"

#include <cstdint>
#include <cstdio>

const char kAudioXml[] = "Audio.xml";
const char kCallXml[] = "Call.xml";
#ifdef _WIN32
const char kCallXmlDialog[] = "call.xml";
#else
const char kCallXmlDialog[] = "Call.xml";
#endif

namespace {

// The character a "{U+XXXX}" at strKey[i] stands for, as UTF-16 in strChar, and the
// escape's length; 0 when none starts there or its character is one GBK has (then the
// text is the name's own).
size_t EscapeAt(const std::string& strKey, size_t i, std::u16string& strChar)
{
    if (strKey.compare(i, 3, "{U+") != 0)
        return 0;
    uint32_t nCode = 0;
    size_t j = i + 3;
    for (; j < strKey.size() && j < i + 9; ++j) {
        const char c = strKey[j];
        const int nDigit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (nDigit < 0)
            break;
        nCode = nCode * 16 + static_cast<uint32_t>(nDigit);
    }
    if (j - (i + 3) < 4 || j >= strKey.size() || strKey[j] != '}' || nCode > 0x10FFFF ||
        (nCode >= 0xD800 && nCode <= 0xDFFF))
        return 0;
    strChar.clear();
    if (nCode >= 0x10000) {
        strChar += static_cast<char16_t>(0xD800 + ((nCode - 0x10000) >> 10));
        strChar += static_cast<char16_t>(0xDC00 + ((nCode - 0x10000) & 0x3FF));
    } else {
        strChar += static_cast<char16_t>(nCode);
    }
    std::string strGbk;
    if (codepage::Utf16ToAnsi(strChar.data(), strChar.size(), strGbk))
        return 0;
    return j + 1 - i;
}

// Audio.xml's name of a device and, for a name GBK cannot spell, its key: the key when
// it belongs to that name, else the name as older versions stored it.
std::string NameOrKey(const std::string& strName, const std::string& strKey)
{
    return !strKey.empty() && WaveDeviceGbkNameOfKey(strKey) == strName ? strKey : strName;
}

}  // namespace

std::string WaveDeviceGbkName(const std::u16string& strProductName)
{
    std::string strName;
    codepage::Utf16ToAnsi(strProductName.data(), strProductName.size(), strName);
    return strName;
}

std::string WaveDeviceKey(const std::u16string& strProductName)
{
    std::string strKey;
    if (codepage::Utf16ToAnsi(strProductName.data(), strProductName.size(), strKey))
        return strKey;
    // Character by character (a surrogate pair as one): GBK where it has the character,
    // else its code point.
    strKey.clear();
    const size_t n = strProductName.size();
    for (size_t i = 0; i < n;) {
        size_t nUnits = 1;
        uint32_t nCode = strProductName[i];
        if (nCode >= 0xD800 && nCode <= 0xDBFF && i + 1 < n && strProductName[i + 1] >= 0xDC00 &&
            strProductName[i + 1] <= 0xDFFF) {
            nCode = 0x10000 + ((nCode - 0xD800) << 10) + (static_cast<uint32_t>(strProductName[i + 1]) - 0xDC00);
            nUnits = 2;
        }
        std::string strOne;
        if (codepage::Utf16ToAnsi(strProductName.data() + i, nUnits, strOne)) {
            strKey += strOne;
        } else {
            char szCode[16];
            std::snprintf(szCode, sizeof szCode, "{U+%04X}", static_cast<unsigned>(nCode));
            strKey += szCode;
        }
        i += nUnits;
    }
    return strKey;
}

std::string WaveDeviceGbkNameOfKey(const std::string& strKey)
{
    std::string strName;
    std::u16string strChar;
    for (size_t i = 0; i < strKey.size();) {
        if (const size_t nEscape = EscapeAt(strKey, i, strChar)) {
            codepage::Utf16ToAnsi(strChar.data(), strChar.size(), strName);
            i += nEscape;
        } else {
            strName += strKey[i++];
        }
    }
    return strName;
}

DeviceChoice ReadDeviceChoice(CXmlDoc& doc, const IWaveDevices& devices, const char* pszPath)
{
    LoadSettingsFile(doc, pszPath);  // a missing or broken file reads as what its records give
    doc.RewindElements();
    doc.FindElement("Audio");
    std::string strPlayback, strRecording;
    while (doc.FindChildElement("Dirver")) {
        strPlayback = NameOrKey(doc.ChildAttribute("playdev"), doc.ChildAttribute("playdevu"));
        strRecording = NameOrKey(doc.ChildAttribute("recodev"), doc.ChildAttribute("recodevu"));
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

    // A name GBK cannot spell is stored as older versions stored it, '?' for what it
    // lacks, and in full in an attribute of its own that they pass over.
    const std::string strOutputName = WaveDeviceGbkNameOfKey(strOutputDevice);
    const std::string strInputName = WaveDeviceGbkNameOfKey(strInputDevice);
    ReplaceRootChild(doc, pszPath, "Dirver", [&] {
        doc.SetAttribute("playdev", strOutputName);
        doc.SetAttribute("recodev", strInputName);
        if (strOutputName != strOutputDevice)
            doc.SetAttribute("playdevu", strOutputDevice);
        if (strInputName != strInputDevice)
            doc.SetAttribute("recodevu", strInputDevice);
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
