// Audio.xml and Call.xml: the device choice, the audio processing options and the
// dialled-number history.
//
// Each procedure is run by a window on one of its own CXmlDoc members. It starts
// from an empty document and loads its file, so nothing is cached between runs, and
// a procedure that changes the file saves it at its end. Neither file is created
// here: writers only write into a file they could load.
//
// Audio.xml:  <Audio> <Dirver playdev="output device" recodev="input device"/> </Audio>
//             "*" stands for device 0. Readers take the last "Dirver"; the writer
//             removes the first and appends the new one at the end.
// Call.xml:   <top> <Call dallnum="number" userr="account" lx="a"/> ...
//                   <audio a11="0|1" a22="0|1" a33="0|1"/> </top>
//             "Call" elements newest first, of every account; one "audio" element.
#pragma once

#include "XmlDoc.h"

#include <string>
#include <vector>

class IWaveDevices;

// File names, relative to the current directory. The phone window opens
// "Call.xml" and the audio settings dialog "call.xml": one file on Windows, whose
// file names ignore case. Elsewhere both are spelled "Call.xml" so they stay one file.
extern const char kAudioXml[];
extern const char kCallXml[];
extern const char kCallXmlDialog[];

// --- Audio.xml ------------------------------------------------------------------------

// Device names are keys (WaveDeviceKey): for a name GBK spells whole, the name itself.
struct DeviceChoice
{
    std::string strOutputDevice;  // "playdev"; "playdevu" when the name is one GBK lacks characters of
    std::string strInputDevice;   // "recodev"; "recodevu" likewise
};

// The login window's read at its start. A missing or broken file gives what can be
// read (empty names when nothing); "*" becomes the name of device 0, or empty text
// when the system has no such device. A "playdevu" ("recodevu") is taken when
// "playdev" ("recodev") beside it is its GBK name, else "playdev" as it stands.
DeviceChoice ReadDeviceChoice(CXmlDoc& doc, const IWaveDevices& devices, const char* pszPath = kAudioXml);

// The audio settings dialog's Apply. A name GBK spells whole is stored as it is; any
// other goes to "playdev" ("recodev") as its GBK name, '?' for each character GBK
// lacks, as older versions stored it, and whole to "playdevu" ("recodevu"), which they
// pass over. False when either name is empty: then nothing happened and the dialog
// stays open. When true the caller hands the names to the
// phone window, runs SaveAudioOptions and closes the dialog, whatever reached disk.
bool SaveDeviceChoice(CXmlDoc& doc, const std::string& strOutputDevice, const std::string& strInputDevice,
                      const char* pszPath = kAudioXml);

// --- Call.xml: audio options ------------------------------------------------------------

struct AudioOptions
{
    int nEchoCancel = 0;      // "a11", check box 1002
    int nNoiseReduction = 0;  // "a22", check box 1003
    int nAutoGain = 0;        // "a33", check box 1004
};

// The phone window's read at its start; all 0 without a file or an "audio" element.
AudioOptions LoadAudioOptions(CXmlDoc& doc, const char* pszPath = kCallXml);

// Run by the audio settings dialog after SaveDeviceChoice; the caller has already set
// the phone window's values to these states.
void SaveAudioOptions(CXmlDoc& doc, const AudioOptions& options, const char* pszPath = kCallXmlDialog);

// --- Call.xml: dialled-number history -------------------------------------------------------

struct CallHistoryEntry
{
    std::string strNumber;  // "dallnum", as it stood in the number box
    int nImage;             // 1 when "lx" is "0", else 2 (selected image 0)
};

const size_t kMaxHistoryEntries = 20;

// The number box's list for one account: its newest numbers first, at most 20.
std::vector<CallHistoryEntry> LoadCallHistory(CXmlDoc& doc, const std::string& strAccount,
                                              const char* pszPath = kCallXml);

// Puts the dialled number at the head of the history; false when Call.xml could not
// be loaded (the call goes ahead unrecorded). The phone window refreshes its list
// with LoadCallHistory afterwards in every case.
bool RecordCall(CXmlDoc& doc, const std::string& strNumber, const std::string& strAccount,
                const char* pszPath = kCallXml);

// Removes the "Call" elements of every account and keeps the rest. Writes only when
// the load found a document to edit: true when the file was saved. The phone window
// then refreshes its list and plays its click sound.
bool ClearCallHistory(CXmlDoc& doc, const char* pszPath = kCallXml);

// --- Call.xml: the way to each call server -------------------------------------------------
//
// <sippath domain="host:port" way="tcp:5060"/>, one per call server whose first way (UDP to
// its own port) did not answer and another did. Older versions pass the element over.

// The way that worked last time for the domain ("tls:5061"); empty when none is stored.
std::string LoadSipPath(CXmlDoc& doc, const std::string& strDomain, const char* pszPath = kCallXml);

// Stores the way that answered for the domain (the first way is stored as no element at
// all). Writes only when that changes what the file holds and the file loaded: true when
// it was saved.
bool SaveSipPath(CXmlDoc& doc, const std::string& strDomain, const std::string& strWay, bool bFirstWay,
                 const char* pszPath = kCallXml);

// --- Call.xml: where the windows were -------------------------------------------------------
//
// <window name="phone" x="-1200" y="40"/>, one per window that the subscriber closed
// somewhere: its top-left corner in screen coordinates. Older versions pass the element over.
// Whether the place is still on a screen is for the window to decide when it opens.

// The place stored for the window `strName`; false (x and y untouched) when none is.
bool LoadWindowPos(CXmlDoc& doc, const std::string& strName, int& x, int& y, const char* pszPath = kCallXml);

// Stores the window's place. Writes only when that changes what the file holds and the
// file loaded: true when it was saved.
bool SaveWindowPos(CXmlDoc& doc, const std::string& strName, int x, int y, const char* pszPath = kCallXml);
