// The audio settings window on its own, driven by control id on the test's thread: the
// device lists of the test bed, the selection of saved names, the switches acting on a
// real call-control instance, and Apply or Cancel with Audio.xml and Call.xml.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <memory>
#include "AppTestSupport.h"
#include "AudioDlg.h"
#include "AudioTestSupport.h"
#include "SettingsFiles.h"
#include "WaveDevices.h"
#include "WinHarness.h"
#include "callctl.h"
#include "resource.h"

using namespace audiotest;
using apptest::ReadBytes;
using apptest::WriteBytes;

namespace {

const char kAudioBefore[] = "<Audio>\r\n<Dirver playdev=\"A1\" recodev=\"B1\"/>\r\n<Dirver playdev=\"A2\" recodev=\"B2\"/>\r\n"
                            "</Audio>\r\n";
const char kCallBefore[] = "<CallInfo>\r\n<Call dallnum=\"02088886666\" userr=\"10001\" lx=\"a\"/>\r\n"
                           "<audio a11=\"0\" a22=\"1\" a33=\"0\"/>\r\n<Call dallnum=\"13800138000\" userr=\"10002\" lx=\"a\"/>\r\n"
                           "</CallInfo>\r\n";

class AudioSettings : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(sipxInitialize(&s_inst, 0, -1, -1, 9000, 4, "audio", "127.0.0.1", 0), SIPX_RESULT_SUCCESS);
        SIPX_TIMER_SETTINGS timers = {};
        timers.cbSize = sizeof timers;
        timers.shutdownWait = 200;
        sipxConfigSetTimers(s_inst, &timers);
    }
    static void TearDownTestSuite()
    {
        sipxUnInitialize(s_inst, 1);
        s_inst = 0;
    }
    void TearDown() override
    {
        if (dlg && dlg->GetSafeHwnd())
            dlg->DestroyWindow();
        dlg.reset();
    }

    // Opens the window as the phone window does, with its saved names and flags.
    HWND Open(const std::string& output, const std::string& input, int echo = 0, int noise = 0, int gain = 0)
    {
        saved = {output, input, echo, noise, gain};
        dlg = std::make_unique<Caudio>(nullptr, s_inst, saved);
        if (!dlg->Create(nullptr))
            return nullptr;
        h = dlg->GetSafeHwnd();
        return h;
    }
    void Click(int id)
    {
        ASSERT_TRUE(wintest::Click(h, id)) << id;
        wintest::Pump(50);
    }
    bool Closed() { return wintest::PumpUntil([&] { return !::IsWindow(h); }, 3000); }
    void Choose(int id, int index) { ::SendDlgItemMessageA(h, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }
    std::string Chosen(int id) { return wintest::Text(h, id); }
    static int Mode(SIPX_RESULT (*getter)(SIPX_INST, int*))
    {
        int mode = -1;
        return getter(s_inst, &mode) == SIPX_RESULT_SUCCESS ? mode : -99;
    }
    // Nothing for the phone window to take: the result is still what the window opened with.
    void ExpectNothingApplied()
    {
        EXPECT_FALSE(dlg->Applied());
        EXPECT_EQ(dlg->Choice().strOutputDevice, saved.strOutputDevice);
        EXPECT_EQ(dlg->Choice().strInputDevice, saved.strInputDevice);
        EXPECT_EQ(dlg->Choice().nEchoCancel, saved.nEchoCancel);
        EXPECT_EQ(dlg->Choice().nNoiseReduction, saved.nNoiseReduction);
        EXPECT_EQ(dlg->Choice().nAutoGain, saved.nAutoGain);
    }
    // What Apply handed back.
    void ExpectApplied(const std::string& output, const std::string& input, int echo, int noise, int gain)
    {
        ASSERT_TRUE(dlg->Applied());
        EXPECT_EQ(dlg->Choice().strOutputDevice, output);
        EXPECT_EQ(dlg->Choice().strInputDevice, input);
        EXPECT_EQ(dlg->Choice().nEchoCancel, echo);
        EXPECT_EQ(dlg->Choice().nNoiseReduction, noise);
        EXPECT_EQ(dlg->Choice().nAutoGain, gain);
    }

    static SIPX_INST s_inst;
    apptest::ScratchFolder folder;
    AudioChoice saved;
    std::unique_ptr<Caudio> dlg;
    HWND h = nullptr;
};

SIPX_INST AudioSettings::s_inst = 0;

TEST_F(AudioSettings, WindowHasItsControls)
{
    ASSERT_TRUE(Open("", ""));
    EXPECT_EQ(wintest::Text(h), "音频设备设置");
    RECT r = {0, 0, 252, 191};
    ::MapDialogRect(h, &r);
    RECT client;
    ::GetClientRect(h, &client);
    EXPECT_EQ(client.right, r.right);
    EXPECT_EQ(client.bottom, r.bottom);
    for (int id : {IDC_OUTPUT_DEVICE, IDC_INPUT_DEVICE}) {
        const LONG style = ::GetWindowLongA(::GetDlgItem(h, id), GWL_STYLE);
        EXPECT_EQ(style & 3, CBS_DROPDOWNLIST) << id;     // no typing
        EXPECT_TRUE(style & CBS_SORT) << id;
    }
    const struct { int id; const char* text; } texts[] = {
        {IDC_ECHO_CANCEL, "回音消除"}, {IDC_NOISE_REDUCTION, "杂音消除"}, {IDC_AUTO_GAIN, "声音扩大"},
        {IDC_AUDIO_APPLY, "应 用 "},   {IDC_AUDIO_CANCEL, "取 消"},
    };
    for (const auto& t : texts) {
        EXPECT_EQ(wintest::Text(h, t.id), t.text);
        EXPECT_TRUE(wintest::Visible(h, t.id));
    }
    for (int id : {IDC_ECHO_CANCEL, IDC_NOISE_REDUCTION, IDC_AUTO_GAIN})
        EXPECT_EQ(::GetWindowLongA(::GetDlgItem(h, id), GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
    EXPECT_NE(::SendMessageA(h, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(::SendMessageA(h, WM_GETICON, ICON_SMALL, 0), 0);
}

TEST_F(AudioSettings, ListsHoldTheMachinesDevicesSortedAndSelectTheSavedNames)
{
    const std::vector<std::string> outputs = OutputDeviceNames(), inputs = InputDeviceNames();
    ASSERT_GE(outputs.size(), 3u) << "the test bed offers PulseAudio, Microphone and Speakers";
    ASSERT_TRUE(Open("PulseAudio", "Monitor of Microphone"));
    const std::vector<std::string> outList = ListItems(h, IDC_OUTPUT_DEVICE), inList = ListItems(h, IDC_INPUT_DEVICE);
    EXPECT_EQ(outList, Sorted(outputs));
    EXPECT_EQ(inList, Sorted(inputs));
    EXPECT_NE(outList, outputs) << "the bed's devices are not in sorted order, so the sorting shows";
    EXPECT_EQ(Selection(h, IDC_OUTPUT_DEVICE), LastIndexOf(outList, "PulseAudio"));
    EXPECT_EQ(Chosen(IDC_OUTPUT_DEVICE), "PulseAudio");
    EXPECT_EQ(Chosen(IDC_INPUT_DEVICE), "Monitor of Microphone");
}

// The test wrapper adds a second PulseAudio sink named "Speakers": two devices of each
// kind answer to the same name.
TEST_F(AudioSettings, OfTwoEqualNamesTheLaterEntryIsSelected)
{
    const std::vector<std::string> outputs = Sorted(OutputDeviceNames());
    ASSERT_EQ(std::count(outputs.begin(), outputs.end(), "Speakers"), 2) << "run through tests/audio/with_twin_speakers";
    ASSERT_TRUE(Open("Speakers", "Monitor of Speakers"));
    const int lastSpeakers = LastIndexOf(outputs, "Speakers");
    EXPECT_EQ(Selection(h, IDC_OUTPUT_DEVICE), lastSpeakers);
    EXPECT_EQ(ListItems(h, IDC_OUTPUT_DEVICE)[static_cast<size_t>(lastSpeakers - 1)], "Speakers");
    EXPECT_EQ(Selection(h, IDC_INPUT_DEVICE), LastIndexOf(Sorted(InputDeviceNames()), "Monitor of Speakers"));
}

// The list entry whose text is `name`, as the system has it; -1 when none is.
int IndexOfWide(HWND dlg, int id, const std::wstring& name)
{
    const int n = static_cast<int>(::SendDlgItemMessageW(dlg, id, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        wchar_t text[256] = {0};
        ::SendDlgItemMessageW(dlg, id, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        if (name == text)
            return i;
    }
    return -1;
}

// The test wrapper also adds two sinks whose names differ only in Korean, which GBK
// lacks: both read "Speakers-???" in GBK. They stay two devices in the window, in
// Audio.xml and in what the phone window is handed; a name that could be either is
// shown as neither.
TEST_F(AudioSettings, NamesThatDifferOnlyInCharactersGbkLacksStayTwoDevices)
{
    const std::wstring speaker = L"Speakers-\uC2A4\uD53C\uCEE4", headphones = L"Speakers-\uD5E4\uB4DC\uD3F0";
    const std::string speakerKey = "Speakers-{U+C2A4}{U+D53C}{U+CEE4}";
    const std::string headphonesKey = "Speakers-{U+D5E4}{U+B4DC}{U+D3F0}";
    const std::string monitorKey = "Monitor of Speakers-{U+D5E4}{U+B4DC}{U+D3F0}";
    ASSERT_TRUE(Open("", ""));
    const int speakerAt = IndexOfWide(h, IDC_OUTPUT_DEVICE, speaker);
    const int headphonesAt = IndexOfWide(h, IDC_OUTPUT_DEVICE, headphones);
    const int monitorAt = IndexOfWide(h, IDC_INPUT_DEVICE, L"Monitor of " + headphones);
    const int pulseAudioAt = LastIndexOf(ListItems(h, IDC_INPUT_DEVICE), "PulseAudio");
    ASSERT_TRUE(speakerAt >= 0 && headphonesAt >= 0 && monitorAt >= 0) << "run through tests/audio/with_twin_speakers";
    dlg->DestroyWindow();

    const struct { std::string output, input; int outputAt, inputAt; } rows[] = {
        {speakerKey, monitorKey, speakerAt, monitorAt},
        {headphonesKey, "Monitor of Speakers-???", headphonesAt, CB_ERR},   // an older version's name of either
        {"Speakers-???", monitorKey, CB_ERR, monitorAt},
        {"Speakers-{U+C2A4}", "PulseAudio", CB_ERR, pulseAudioAt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.output + " / " + row.input);
        ASSERT_TRUE(Open(row.output, row.input));
        EXPECT_EQ(Selection(h, IDC_OUTPUT_DEVICE), row.outputAt);
        EXPECT_EQ(Selection(h, IDC_INPUT_DEVICE), row.inputAt);
        dlg->DestroyWindow();
    }

    // Apply stores a name GBK cannot spell as older versions did, and whole beside it;
    // a name GBK spells stays as it always was.
    WriteBytes("Audio.xml", kAudioBefore);
    ASSERT_TRUE(Open(speakerKey, "PulseAudio"));
    Choose(IDC_OUTPUT_DEVICE, headphonesAt);
    Click(IDC_AUDIO_APPLY);
    EXPECT_TRUE(Closed());
    ExpectApplied(headphonesKey, "PulseAudio", 0, 0, 0);
    EXPECT_EQ(ReadBytes("Audio.xml"), "<Audio>\r\n<Dirver playdev=\"A2\" recodev=\"B2\"/>\r\n"
                                      "<Dirver playdev=\"Speakers-???\" recodev=\"PulseAudio\" "
                                      "playdevu=\"Speakers-{U+D5E4}{U+B4DC}{U+D3F0}\"/>\r\n</Audio>\r\n");
    // The login window reads back the device chosen, not its namesake.
    CXmlDoc doc;
    DeviceChoice choice = ReadDeviceChoice(doc, SystemWaveDevices());
    EXPECT_EQ(choice.strOutputDevice, headphonesKey);
    EXPECT_EQ(choice.strInputDevice, "PulseAudio");
    // A file an older version rewrote holds no whole name, or one of another device: its
    // "playdev" is taken as it stands.
    WriteBytes("Audio.xml", "<Audio><Dirver playdev=\"Speakers-???\" recodev=\"PulseAudio\"/></Audio>");
    EXPECT_EQ(ReadDeviceChoice(doc, SystemWaveDevices()).strOutputDevice, "Speakers-???");
    WriteBytes("Audio.xml", "<Audio><Dirver playdev=\"Speakers\" recodev=\"PulseAudio\" "
                            "playdevu=\"Speakers-{U+D5E4}{U+B4DC}{U+D3F0}\"/></Audio>");
    EXPECT_EQ(ReadDeviceChoice(doc, SystemWaveDevices()).strOutputDevice, "Speakers");
}

TEST_F(AudioSettings, ASavedNameNoDeviceHasLeavesTheListWithoutSelection)
{
    const struct { const char* output; const char* input; bool outputChosen; bool inputChosen; } rows[] = {
        {"USB Headset", "PulseAudio", false, true},     // unplugged since
        {"speakers", "PulseAudio", false, true},        // names compare case-sensitively
        {"PulseAudio", "", true, false},                // never chosen
        {"Speaker", "Monitor of Microphone ", false, false},   // no prefix or trailing-space matches
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.output) + " / " + row.input);
        ASSERT_TRUE(Open(row.output, row.input));
        EXPECT_EQ(Selection(h, IDC_OUTPUT_DEVICE) != CB_ERR, row.outputChosen);
        EXPECT_EQ(Selection(h, IDC_INPUT_DEVICE) != CB_ERR, row.inputChosen);
        EXPECT_EQ(Chosen(IDC_OUTPUT_DEVICE), row.outputChosen ? row.output : "");
        dlg->DestroyWindow();
    }
}

TEST_F(AudioSettings, CheckBoxesShowTheSavedFlags)
{
    const struct { int echo, noise, gain; } rows[] = {{0, 0, 0}, {1, 0, 1}, {0, 1, 0}, {2, 5, -1}};
    for (const auto& row : rows) {
        ASSERT_TRUE(Open("", "", row.echo, row.noise, row.gain));
        EXPECT_EQ(wintest::Checked(h, IDC_ECHO_CANCEL), row.echo != 0);
        EXPECT_EQ(wintest::Checked(h, IDC_NOISE_REDUCTION), row.noise != 0);
        EXPECT_EQ(wintest::Checked(h, IDC_AUTO_GAIN), row.gain != 0);
        dlg->DestroyWindow();
    }
}

// Each click reaches the library at once, read back through its getters; the phone window
// and the files learn nothing until Apply.
TEST_F(AudioSettings, SwitchesActOnTheLibraryAtOnce)
{
    WriteBytes("Call.xml", kCallBefore);
    ASSERT_EQ(sipxAudioSetAECMode(s_inst, 1), SIPX_RESULT_SUCCESS);   // a mode the window never sets
    ASSERT_TRUE(Open("PulseAudio", "PulseAudio"));

    Click(IDC_ECHO_CANCEL);
    EXPECT_EQ(Mode(sipxAudioGetAECMode), 2);
    Click(IDC_ECHO_CANCEL);
    EXPECT_EQ(Mode(sipxAudioGetAECMode), 0);

    Click(IDC_NOISE_REDUCTION);
    EXPECT_EQ(Mode(sipxAudioGetNoiseReductionMode), 1);
    Click(IDC_NOISE_REDUCTION);
    EXPECT_EQ(Mode(sipxAudioGetNoiseReductionMode), 0);

    Click(IDC_AUTO_GAIN);
    EXPECT_EQ(Mode(sipxAudioGetAGCMode), 1);
    EXPECT_EQ(Mode(sipxAudioGetAECMode), 0);            // each box its own mode
    EXPECT_EQ(Mode(sipxAudioGetNoiseReductionMode), 0);
    Click(IDC_AUTO_GAIN);
    EXPECT_EQ(Mode(sipxAudioGetAGCMode), 0);

    ExpectNothingApplied();
    EXPECT_EQ(ReadBytes("Call.xml"), kCallBefore);
    EXPECT_TRUE(::IsWindow(h));
}

TEST_F(AudioSettings, ApplyStoresTheChoiceInBothFilesAndInThePhoneWindow)
{
    WriteBytes("Audio.xml", kAudioBefore);
    WriteBytes("Call.xml", kCallBefore);
    ASSERT_TRUE(Open("PulseAudio", "PulseAudio", 0, 1, 0));
    const std::vector<std::string> outList = ListItems(h, IDC_OUTPUT_DEVICE), inList = ListItems(h, IDC_INPUT_DEVICE);
    Choose(IDC_OUTPUT_DEVICE, LastIndexOf(outList, "Speakers"));
    Choose(IDC_INPUT_DEVICE, LastIndexOf(inList, "Monitor of Microphone"));
    Click(IDC_ECHO_CANCEL);                 // on
    Click(IDC_NOISE_REDUCTION);             // off
    Click(IDC_AUTO_GAIN);                   // on
    Click(IDC_AUDIO_APPLY);
    EXPECT_TRUE(Closed());

    // The first old "Dirver" goes, the new one ends the root; the first "audio" likewise.
    EXPECT_EQ(ReadBytes("Audio.xml"), "<Audio>\r\n<Dirver playdev=\"A2\" recodev=\"B2\"/>\r\n"
                                      "<Dirver playdev=\"Speakers\" recodev=\"Monitor of Microphone\"/>\r\n</Audio>\r\n");
    EXPECT_EQ(ReadBytes("Call.xml"), "<CallInfo>\r\n<Call dallnum=\"02088886666\" userr=\"10001\" lx=\"a\"/>\r\n"
                                     "<Call dallnum=\"13800138000\" userr=\"10002\" lx=\"a\"/>\r\n"
                                     "<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n</CallInfo>\r\n");
    ExpectApplied("Speakers", "Monitor of Microphone", 1, 0, 1);

    // "call.xml" was the same file: no second one appeared beside it.
    WIN32_FIND_DATAA fd;
    int files = 0;
    HANDLE find = ::FindFirstFileA("*.xml", &fd);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileA(find, &fd))
        ++files;
    if (find != INVALID_HANDLE_VALUE)
        ::FindClose(find);
    EXPECT_EQ(files, 2);
}

TEST_F(AudioSettings, ApplyWithoutFilesChangesOnlyThePhoneWindow)
{
    ASSERT_TRUE(Open("Speakers", "PulseAudio", 1, 1, 1));
    Click(IDC_AUDIO_APPLY);
    EXPECT_TRUE(Closed());
    EXPECT_FALSE(apptest::Exists("Audio.xml"));
    EXPECT_FALSE(apptest::Exists("Call.xml"));
    ExpectApplied("Speakers", "PulseAudio", 1, 1, 1);
}

TEST_F(AudioSettings, ApplyToMalformedFilesOnlyRemovesTheOldElements)
{
    // "<x>" is never closed: the removal is saved, the second load fails.
    WriteBytes("Audio.xml", "<Audio>\r\n<Dirver playdev=\"A\" recodev=\"B\"/>\r\n<x>\r\n</Audio>\r\n");
    WriteBytes("Call.xml", "<CallInfo>\r\n<audio a11=\"0\" a22=\"0\" a33=\"0\"/>\r\n<x>\r\n</CallInfo>\r\n");
    ASSERT_TRUE(Open("Speakers", "PulseAudio", 0, 0, 0));
    Click(IDC_AUTO_GAIN);
    Click(IDC_AUDIO_APPLY);
    EXPECT_TRUE(Closed());
    EXPECT_EQ(ReadBytes("Audio.xml"), "<Audio>\r\n<x>\r\n</Audio>\r\n");
    EXPECT_EQ(ReadBytes("Call.xml"), "<CallInfo>\r\n<x>\r\n</CallInfo>\r\n");
    ExpectApplied("Speakers", "PulseAudio", 0, 0, 1);
}

// Without a device on either side (a name no longer there, or no device at all) Apply
// keeps the window open and stores nothing; once both are chosen it goes through.
TEST_F(AudioSettings, ApplyWithoutBothDevicesDoesNothing)
{
    enum Empty { NoOutputSelected, NoInputSelected, NoInputDevices };
    for (Empty empty : {NoOutputSelected, NoInputSelected, NoInputDevices}) {
        SCOPED_TRACE(empty);
        WriteBytes("Audio.xml", kAudioBefore);
        WriteBytes("Call.xml", kCallBefore);
        ASSERT_TRUE(Open(empty == NoOutputSelected ? "gone" : "Speakers", empty == NoInputSelected ? "gone" : "PulseAudio",
                         1, 1, 1));
        if (empty == NoInputDevices)
            ::SendDlgItemMessageA(h, IDC_INPUT_DEVICE, CB_RESETCONTENT, 0, 0);    // a computer without a microphone
        Click(IDC_AUDIO_APPLY);
        wintest::Pump(100);
        EXPECT_TRUE(::IsWindow(h));
        EXPECT_EQ(ReadBytes("Audio.xml"), kAudioBefore);
        EXPECT_EQ(ReadBytes("Call.xml"), kCallBefore);
        ExpectNothingApplied();
        dlg->DestroyWindow();
    }

    ASSERT_TRUE(Open("gone", "PulseAudio"));
    Choose(IDC_OUTPUT_DEVICE, 0);
    const std::string chosen = Chosen(IDC_OUTPUT_DEVICE);
    Click(IDC_AUDIO_APPLY);
    EXPECT_TRUE(Closed());
    ASSERT_TRUE(dlg->Applied());
    EXPECT_EQ(dlg->Choice().strOutputDevice, chosen);
}

TEST_F(AudioSettings, CancelClosesWithoutStoringAndTheLibraryKeepsTheClickedMode)
{
    WriteBytes("Audio.xml", kAudioBefore);
    WriteBytes("Call.xml", kCallBefore);
    ASSERT_TRUE(Open("Speakers", "PulseAudio", 0, 0, 0));
    Click(IDC_ECHO_CANCEL);
    ASSERT_EQ(Mode(sipxAudioGetAECMode), 2);
    Click(IDC_AUDIO_CANCEL);
    EXPECT_TRUE(Closed());
    EXPECT_EQ(Mode(sipxAudioGetAECMode), 2);
    EXPECT_EQ(ReadBytes("Audio.xml"), kAudioBefore);
    EXPECT_EQ(ReadBytes("Call.xml"), kCallBefore);
    ExpectNothingApplied();
}

}  // namespace
