// What a dialled number must pass before it is called, and the texts made from it:
// the international form that is called, the balance as a number, and the name of a
// call's recording. No window and no library here; the phone window uses these.
#pragma once
#include <ctime>
#include <functional>
#include <string>

// The service numbers "80000" and "80006": they need no leading 0 and no balance.
bool IsServiceNumber(const std::string& strNumber);

// The balance text of the account server read as a decimal number: optional blanks, an
// optional sign, digits with an optional decimal point and exponent. Whatever follows is
// ignored; a text that does not start as such a number reads as 0.
double BalanceValue(const std::string& strBalance);

// The lowest balance with which an ordinary number may be called.
const double kBalanceFloor = 1.5;

// The checks of a number typed for a call, in their order. Null when the number may be
// called, else the status text that refuses it. Lengths are bytes of the GBK text.
const char* RefuseNumber(const std::string& strNumber, const std::string& strBalance);

// The party lines of the multi-party window: a balance below 0.1 refuses every call;
// numbers are called as typed, at least 9 digits and at most 17, with their leading 0.
const double kPartyBalanceFloor = 0.1;
const size_t kPartyShortestNumber = 9;
const size_t kPartyLongestNumber = 17;      // the number boxes take no more
// Null when a party line may call the number, else its refusal text.
const char* RefusePartyNumber(const std::string& strNumber, const std::string& strBalance);

// The number as it is called: a national number (one leading 0) becomes "0086" and the
// number without its 0; numbers beginning "00" and all others stay as they are.
std::string InternationalNumber(const std::string& strNumber);

// The recording of a call answered at `answered` (local time) to `strNumber`:
// strFolder + "\Record\" + "%Y年%m月%d日%H点%M分" + strNumber + ".wav".
std::string RecordingPath(const std::string& strFolder, const struct tm& answered, const std::string& strNumber);

// A recording never lands on an earlier file: the path itself when `taken` says it is
// free, else the first free one of "name (2).wav", "name (3).wav", ... (the ".wav" kept
// last). After 9999 taken names the last one tried is given back.
std::string FreeRecordingPath(const std::string& strPath, const std::function<bool(const std::string&)>& taken);

// Starts a recording at the first free name. `start` creates the file at the path it is
// given and must refuse a name something already has (it creates new files only, so an
// earlier recording is never truncated). A start refused at a name that `taken` then
// reports taken (another file came between the check and the creation) moves on to the
// next free name, at most kRecordingStartTries times in all; any other refusal ends the
// attempt. Gives back the path of the last start tried (empty when none was) and
// whether it started.
const int kRecordingStartTries = 8;
struct RecordingStart {
    std::string strPath;
    bool bStarted = false;
};
RecordingStart StartRecordingAtFreePath(const std::string& strPath,
                                        const std::function<bool(const std::string&)>& taken,
                                        const std::function<bool(const std::string&)>& start);
