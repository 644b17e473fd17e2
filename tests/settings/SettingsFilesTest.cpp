// The Audio.xml and Call.xml procedures, run on files in a scratch folder and
// compared byte for byte.
#include "SettingsFiles.h"
#include "WaveDevices.h"
#include "XmlTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#endif

namespace {

// GBK in memory, UTF-8 on disk.
const std::string kSpeakerGbk = "\xD1\xEF\xC9\xF9\xC6\xF7";
const std::string kSpeakerUtf8 = "\xE6\x89\xAC\xE5\xA3\xB0\xE5\x99\xA8";
const std::string kMicGbk = "\xC2\xF3\xBF\xCB\xB7\xE7";
const std::string kMicUtf8 = "\xE9\xBA\xA6\xE5\x85\x8B\xE9\xA3\x8E";

class FakeWaveDevices : public IWaveDevices
{
public:
    FakeWaveDevices(std::string strOutput, std::string strInput)
        : m_strOutput(std::move(strOutput)), m_strInput(std::move(strInput))
    {
    }
    bool OutputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        return Name(m_strOutput, nDevice, strName);
    }
    bool InputDeviceName(unsigned nDevice, std::string& strName) const override
    {
        return Name(m_strInput, nDevice, strName);
    }

private:
    static bool Name(const std::string& strDevice0, unsigned nDevice, std::string& strName)
    {
        if (nDevice != 0 || strDevice0.empty())
            return false;  // empty: the system has no device
        strName = strDevice0;
        return true;
    }
    std::string m_strOutput, m_strInput;
};

const FakeWaveDevices kNoDevices("", "");

class SettingsFiles : public ::testing::Test
{
protected:
    std::string Audio() const { return m_dir.Path("Audio.xml"); }
    std::string Call() const { return m_dir.Path("Call.xml"); }

    ScratchDir m_dir;
    CXmlDoc m_doc;
};

// --- Audio.xml --------------------------------------------------------------------------

TEST_F(SettingsFiles, SaveDeviceChoiceReplacesTheOnlyDirver)
{
    WriteBytes(Audio(), "<Audio>\r\n<Dirver playdev=\"A\" recodev=\"B\"/>\r\n</Audio>\r\n");
    ASSERT_TRUE(SaveDeviceChoice(m_doc, kSpeakerGbk, kMicGbk, Audio().c_str()));
    EXPECT_EQ(ReadBytes(Audio()),
              "<Audio>\r\n<Dirver playdev=\"" + kSpeakerUtf8 + "\" recodev=\"" + kMicUtf8 + "\"/>\r\n</Audio>\r\n");
    DeviceChoice choice = ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str());
    EXPECT_EQ(choice.strOutputDevice, kSpeakerGbk);
    EXPECT_EQ(choice.strInputDevice, kMicGbk);
}

TEST_F(SettingsFiles, TwoDirverTheLastIsReadTheFirstIsReplaced)
{
    WriteBytes(Audio(), "<Audio>\r\n<Dirver playdev=\"A1\" recodev=\"B1\"/>\r\n<Dirver playdev=\"A2\" recodev=\"B2\"/>\r\n"
                        "</Audio>\r\n");
    DeviceChoice before = ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str());
    EXPECT_EQ(before.strOutputDevice, "A2");
    EXPECT_EQ(before.strInputDevice, "B2");

    ASSERT_TRUE(SaveDeviceChoice(m_doc, "O", "I", Audio().c_str()));
    EXPECT_EQ(ReadBytes(Audio()), "<Audio>\r\n<Dirver playdev=\"A2\" recodev=\"B2\"/>\r\n"
                                  "<Dirver playdev=\"O\" recodev=\"I\"/>\r\n</Audio>\r\n");
    DeviceChoice after = ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str());
    EXPECT_EQ(after.strOutputDevice, "O");
    EXPECT_EQ(after.strInputDevice, "I");
}

TEST_F(SettingsFiles, DeviceChoiceKeepsDeclarationAndComments)
{
    WriteBytes(Audio(), "<?xml version=\"1.0\"?>\r\n<!-- devices -->\r\n<Audio>\r\n<Dirver playdev=\"A\" recodev=\"B\"/>\r\n"
                        "<!-- end -->\r\n</Audio>\r\n");
    ASSERT_TRUE(SaveDeviceChoice(m_doc, "O", "I", Audio().c_str()));
    EXPECT_EQ(ReadBytes(Audio()), "<?xml version=\"1.0\"?>\r\n<!-- devices -->\r\n<Audio>\r\n<!-- end -->\r\n"
                                  "<Dirver playdev=\"O\" recodev=\"I\"/>\r\n</Audio>\r\n");
}

TEST_F(SettingsFiles, TopElementOfAnotherName)
{
    WriteBytes(Audio(), "<Settings>\r\n<Dirver playdev=\"A\" recodev=\"B\"/>\r\n</Settings>");
    DeviceChoice choice = ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str());
    EXPECT_EQ(choice.strOutputDevice, "A");
    EXPECT_EQ(choice.strInputDevice, "B");
    ASSERT_TRUE(SaveDeviceChoice(m_doc, "O", "I", Audio().c_str()));
    EXPECT_EQ(ReadBytes(Audio()), "<Settings>\r\n<Dirver playdev=\"O\" recodev=\"I\"/>\r\n</Settings>");
}

TEST_F(SettingsFiles, DeclaredNonUtf8FileKeepsGbkBytes)
{
    const std::string strDeclaration = "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n";
    WriteBytes(Audio(), strDeclaration + "<Audio>\r\n<Dirver playdev=\"" + kMicGbk + "\" recodev=\"*\"/>\r\n</Audio>\r\n");
    EXPECT_EQ(ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str()).strOutputDevice, kMicGbk);
    ASSERT_TRUE(SaveDeviceChoice(m_doc, kSpeakerGbk, kMicGbk, Audio().c_str()));
    EXPECT_EQ(ReadBytes(Audio()), strDeclaration + "<Audio>\r\n<Dirver playdev=\"" + kSpeakerGbk + "\" recodev=\"" +
                                      kMicGbk + "\"/>\r\n</Audio>\r\n");
}

TEST_F(SettingsFiles, StarNamesTheFirstDevice)
{
    WriteBytes(Audio(), "<Audio>\r\n<Dirver playdev=\"*\" recodev=\"*\"/>\r\n</Audio>\r\n");
    const FakeWaveDevices devices(kSpeakerGbk, kMicGbk);
    DeviceChoice choice = ReadDeviceChoice(m_doc, devices, Audio().c_str());
    EXPECT_EQ(choice.strOutputDevice, kSpeakerGbk);
    EXPECT_EQ(choice.strInputDevice, kMicGbk);

    choice = ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str());
    EXPECT_EQ(choice.strOutputDevice, "");
    EXPECT_EQ(choice.strInputDevice, "");

    const FakeWaveDevices outputOnly("Out", "");
    choice = ReadDeviceChoice(m_doc, outputOnly, Audio().c_str());
    EXPECT_EQ(choice.strOutputDevice, "Out");
    EXPECT_EQ(choice.strInputDevice, "");

    WriteBytes(Audio(), "<Audio>\r\n<Dirver playdev=\"**\" recodev=\" *\"/>\r\n</Audio>\r\n");  // only "*" itself
    choice = ReadDeviceChoice(m_doc, devices, Audio().c_str());
    EXPECT_EQ(choice.strOutputDevice, "**");
    EXPECT_EQ(choice.strInputDevice, " *");
}

TEST_F(SettingsFiles, EmptyDeviceNameDoesNothing)
{
    const std::string strText = "<Audio>\r\n<Dirver playdev=\"A\" recodev=\"B\"/>\r\n</Audio>\r\n";
    WriteBytes(Audio(), strText);
    EXPECT_FALSE(SaveDeviceChoice(m_doc, "", "I", Audio().c_str()));
    EXPECT_FALSE(SaveDeviceChoice(m_doc, "O", "", Audio().c_str()));
    EXPECT_EQ(ReadBytes(Audio()), strText);
}

TEST_F(SettingsFiles, MalformedAudioLosesItsDirverButGetsNoNewOne)
{
    // "<x>" is never ended: the first step still removes and saves, the second
    // step's load fails and nothing is appended.
    WriteBytes(Audio(), "<Audio>\r\n<Dirver playdev=\"A\" recodev=\"B\"/>\r\n<x>\r\n</Audio>\r\n");
    EXPECT_EQ(ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str()).strOutputDevice, "A");
    ASSERT_TRUE(SaveDeviceChoice(m_doc, "O", "I", Audio().c_str()));
    EXPECT_EQ(ReadBytes(Audio()), "<Audio>\r\n<x>\r\n</Audio>\r\n");
}

// --- Call.xml: audio options --------------------------------------------------------------

TEST_F(SettingsFiles, SaveAudioOptionsMovesTheFirstAudioToTheEnd)
{
    WriteBytes(Call(), "<calls>\r\n<Call dallnum=\"1\" userr=\"u\" lx=\"a\"/>\r\n<audio a11=\"0\" a22=\"0\" a33=\"0\"/>\r\n"
                       "<Call dallnum=\"2\" userr=\"u\" lx=\"a\"/>\r\n</calls>\r\n");
    AudioOptions options;
    options.nEchoCancel = 1;
    options.nAutoGain = 1;
    SaveAudioOptions(m_doc, options, Call().c_str());
    EXPECT_EQ(ReadBytes(Call()), "<calls>\r\n<Call dallnum=\"1\" userr=\"u\" lx=\"a\"/>\r\n"
                                 "<Call dallnum=\"2\" userr=\"u\" lx=\"a\"/>\r\n<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n"
                                 "</calls>\r\n");
    AudioOptions loaded = LoadAudioOptions(m_doc, Call().c_str());
    EXPECT_EQ(loaded.nEchoCancel, 1);
    EXPECT_EQ(loaded.nNoiseReduction, 0);
    EXPECT_EQ(loaded.nAutoGain, 1);
}

TEST_F(SettingsFiles, LoadAudioOptionsTakesTheLastAudioAsDecimals)
{
    WriteBytes(Call(), "<c>\r\n<audio a11=\"1\" a22=\"1\" a33=\"1\"/>\r\n<audio a11=\"12ab\" a22=\"\" a33=\"x\"/>\r\n</c>");
    AudioOptions options = LoadAudioOptions(m_doc, Call().c_str());
    EXPECT_EQ(options.nEchoCancel, 12);
    EXPECT_EQ(options.nNoiseReduction, 0);
    EXPECT_EQ(options.nAutoGain, 0);
}

TEST_F(SettingsFiles, MalformedCallLosesItsAudioButGetsNoNewOne)
{
    WriteBytes(Call(), "<c>\r\n<audio a11=\"1\" a22=\"1\" a33=\"1\"/>\r\n</x>\r\n</c>\r\n");
    SaveAudioOptions(m_doc, AudioOptions(), Call().c_str());
    EXPECT_EQ(ReadBytes(Call()), "<c>\r\n</x>\r\n</c>\r\n");
}

TEST_F(SettingsFiles, DialogAndPhoneWindowShareOneCallXml)
{
#ifdef _WIN32
    // The dialog writes "call.xml", the phone window reads "Call.xml": one file.
    WriteBytes(m_dir.Path("Call.xml"), "<c>\r\n</c>\r\n");
    AudioOptions options;
    options.nNoiseReduction = 1;
    SaveAudioOptions(m_doc, options, m_dir.Path("call.xml").c_str());
    EXPECT_EQ(LoadAudioOptions(m_doc, m_dir.Path("Call.xml").c_str()).nNoiseReduction, 1);
    EXPECT_EQ(m_dir.Listing(), "Call.xml");
#else
    // Without case folding both spell the phone window's name.
    EXPECT_STREQ(kCallXmlDialog, kCallXml);
#endif
    EXPECT_STREQ(kCallXml, "Call.xml");
    EXPECT_STREQ(kAudioXml, "Audio.xml");
}

// --- Call.xml: history ----------------------------------------------------------------------

TEST_F(SettingsFiles, TwoRecordedCallsGoBeforeAudioNewestFirst)
{
    WriteBytes(Call(), "<calls>\r\n<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n</calls>\r\n");
    ASSERT_TRUE(RecordCall(m_doc, "013912345678", "8001", Call().c_str()));
    ASSERT_TRUE(RecordCall(m_doc, "02088887777", "8001", Call().c_str()));
    EXPECT_EQ(ReadBytes(Call()), "<calls>\r\n"
                                 "<Call dallnum=\"02088887777\" userr=\"8001\" lx=\"a\"/>\r\n"
                                 "<Call dallnum=\"013912345678\" userr=\"8001\" lx=\"a\"/>\r\n"
                                 "<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n"
                                 "</calls>\r\n");
    std::vector<CallHistoryEntry> entries = LoadCallHistory(m_doc, "8001", Call().c_str());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].strNumber, "02088887777");
    EXPECT_EQ(entries[1].strNumber, "013912345678");
    EXPECT_EQ(entries[0].nImage, 2);
}

TEST_F(SettingsFiles, HistoryListsOnlyTheAccountsTwentyNewest)
{
    // Accounts that only look alike come first.
    std::string strText = "<calls>\r\n<Call dallnum=\"x\" userr=\"80011\" lx=\"a\"/>\r\n"
                          "<Call dallnum=\"y\" userr=\"800\" lx=\"a\"/>\r\n";
    for (int i = 1; i <= 25; ++i) {
        strText += "<Call dallnum=\"" + std::to_string(i) + "\" userr=\"8001\" lx=\"" + (i == 2 ? "0" : "a") + "\"/>\r\n";
        strText += "<Call dallnum=\"b" + std::to_string(i) + "\" userr=\"8002\" lx=\"a\"/>\r\n";
    }
    WriteBytes(Call(), strText + "</calls>\r\n");

    std::vector<CallHistoryEntry> entries = LoadCallHistory(m_doc, "8001", Call().c_str());
    ASSERT_EQ(entries.size(), 20u);
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(entries[i].strNumber, std::to_string(i + 1));
    EXPECT_EQ(entries[1].nImage, 1);  // lx "0"
    EXPECT_EQ(entries[2].nImage, 2);
    EXPECT_TRUE(LoadCallHistory(m_doc, "9999", Call().c_str()).empty());
    EXPECT_EQ(LoadCallHistory(m_doc, "8002", Call().c_str()).front().strNumber, "b1");
}

TEST_F(SettingsFiles, RecordedCallOfOneAccountIsNotListedForAnother)
{
    WriteBytes(Call(), "<calls>\r\n</calls>\r\n");
    RecordCall(m_doc, "111", "A", Call().c_str());
    RecordCall(m_doc, "222", "B", Call().c_str());
    RecordCall(m_doc, "333", "A", Call().c_str());
    std::vector<CallHistoryEntry> a = LoadCallHistory(m_doc, "A", Call().c_str());
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].strNumber, "333");
    EXPECT_EQ(a[1].strNumber, "111");
    ASSERT_EQ(LoadCallHistory(m_doc, "B", Call().c_str()).size(), 1u);
}

TEST_F(SettingsFiles, ClearHistoryRemovesEveryAccountsCallsAndKeepsAudio)
{
    WriteBytes(Call(), "<calls>\r\n<Call dallnum=\"1\" userr=\"A\" lx=\"a\"/>\r\n<audio a11=\"1\" a22=\"1\" a33=\"0\"/>\r\n"
                       "<Call dallnum=\"2\" userr=\"B\" lx=\"a\"/>\r\n</calls>\r\n");
    ASSERT_TRUE(ClearCallHistory(m_doc, Call().c_str()));
    EXPECT_EQ(ReadBytes(Call()), "<calls>\r\n<audio a11=\"1\" a22=\"1\" a33=\"0\"/>\r\n</calls>\r\n");
    EXPECT_TRUE(LoadCallHistory(m_doc, "A", Call().c_str()).empty());
    EXPECT_EQ(LoadAudioOptions(m_doc, Call().c_str()).nNoiseReduction, 1);
}

TEST_F(SettingsFiles, MalformedCallXmlIsClearedButNotRecordedInto)
{
    const std::string strText = "<calls>\r\n<Call dallnum=\"1\" userr=\"A\" lx=\"a\"/>\r\n<b>\r\n</calls>\r\n";
    WriteBytes(Call(), strText);
    EXPECT_FALSE(RecordCall(m_doc, "2", "A", Call().c_str()));
    EXPECT_EQ(ReadBytes(Call()), strText);
    EXPECT_EQ(LoadCallHistory(m_doc, "A", Call().c_str()).size(), 1u);  // readers read what they find
    ASSERT_TRUE(ClearCallHistory(m_doc, Call().c_str()));
    EXPECT_EQ(ReadBytes(Call()), "<calls>\r\n<b>\r\n</calls>\r\n");
}

// --- missing files ---------------------------------------------------------------------

TEST_F(SettingsFiles, MissingFilesAreNeverCreated)
{
    EXPECT_TRUE(SaveDeviceChoice(m_doc, "O", "I", Audio().c_str()));  // the dialog still goes on
    SaveAudioOptions(m_doc, AudioOptions(), Call().c_str());
    EXPECT_FALSE(RecordCall(m_doc, "1", "A", Call().c_str()));
    EXPECT_EQ(m_dir.Listing(), "");

    DeviceChoice choice = ReadDeviceChoice(m_doc, FakeWaveDevices("Out", "In"), Audio().c_str());
    EXPECT_EQ(choice.strOutputDevice, "");
    EXPECT_EQ(choice.strInputDevice, "");
    EXPECT_EQ(LoadAudioOptions(m_doc, Call().c_str()).nEchoCancel, 0);
    EXPECT_TRUE(LoadCallHistory(m_doc, "A", Call().c_str()).empty());
}

// Clearing the history without a Call.xml used to write an empty Call.xml, which
// no later load accepts: history and options could never be stored again.
TEST_F(SettingsFiles, ClearHistoryWithoutCallXmlWritesNothing)
{
    EXPECT_FALSE(ClearCallHistory(m_doc, Call().c_str()));
    EXPECT_EQ(m_dir.Listing(), "");

    WriteBytes(Call(), "");  // nor does an empty file get written again
    EXPECT_FALSE(ClearCallHistory(m_doc, Call().c_str()));
    EXPECT_EQ(m_dir.Listing(), "Call.xml");
}

// A document whose file cannot be opened keeps its earlier contents; a procedure
// run on a window's document again must not read or write those.
TEST_F(SettingsFiles, NothingSurvivesFromAnEarlierRunOnTheSameDocument)
{
    WriteBytes(Call(), "<calls>\r\n<Call dallnum=\"1\" userr=\"A\" lx=\"a\"/>\r\n<audio a11=\"1\" a22=\"1\" a33=\"1\"/>\r\n"
                       "</calls>\r\n");
    ASSERT_EQ(LoadCallHistory(m_doc, "A", Call().c_str()).size(), 1u);
    ASSERT_EQ(std::remove(Call().c_str()), 0);
    EXPECT_TRUE(LoadCallHistory(m_doc, "A", Call().c_str()).empty());
    EXPECT_EQ(LoadAudioOptions(m_doc, Call().c_str()).nAutoGain, 0);
    EXPECT_FALSE(ClearCallHistory(m_doc, Call().c_str()));
    SaveAudioOptions(m_doc, AudioOptions(), Call().c_str());
    EXPECT_EQ(m_dir.Listing(), "");

    WriteBytes(Audio(), "<Audio>\r\n<Dirver playdev=\"A\" recodev=\"B\"/>\r\n</Audio>\r\n");
    ASSERT_EQ(ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str()).strOutputDevice, "A");
    ASSERT_EQ(std::remove(Audio().c_str()), 0);
    EXPECT_EQ(ReadDeviceChoice(m_doc, kNoDevices, Audio().c_str()).strOutputDevice, "");
    EXPECT_TRUE(SaveDeviceChoice(m_doc, "O", "I", Audio().c_str()));
    EXPECT_EQ(m_dir.Listing(), "");
}

#ifdef _WIN32
TEST(SystemWaveDevices, NamesDeviceZeroWhenTheSystemHasOne)
{
    std::string strOutput, strInput;
    EXPECT_EQ(SystemWaveDevices().OutputDeviceName(0, strOutput), ::waveOutGetNumDevs() > 0);
    EXPECT_EQ(SystemWaveDevices().InputDeviceName(0, strInput), ::waveInGetNumDevs() > 0);
    EXPECT_EQ(strOutput.empty(), ::waveOutGetNumDevs() == 0);
    EXPECT_FALSE(SystemWaveDevices().OutputDeviceName(::waveOutGetNumDevs(), strOutput));
}
#endif

}  // namespace

// --- Call.xml: the way to each call server ---------------------------------------------------

namespace {

TEST_F(SettingsFiles, SipPathIsKeptPerDomainAndLeavesTheRestAsItWas)
{
    const std::string before = "<calls>\r\n<Call dallnum=\"0201\" userr=\"8001\" lx=\"a\"/>\r\n"
                               "<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n</calls>\r\n";
    WriteBytes(Call(), before);
    // The first way answering is no news: the file stays byte for byte.
    EXPECT_FALSE(SaveSipPath(m_doc, "a.example:14500", "udp:14500", true, Call().c_str()));
    EXPECT_EQ(ReadBytes(Call()), before);

    ASSERT_TRUE(SaveSipPath(m_doc, "a.example:14500", "tls:5061", false, Call().c_str()));
    ASSERT_TRUE(SaveSipPath(m_doc, "b.example:14500", "tcp:5060", false, Call().c_str()));
    ASSERT_TRUE(SaveSipPath(m_doc, "a.example:14500", "tls:443", false, Call().c_str()));
    EXPECT_FALSE(SaveSipPath(m_doc, "a.example:14500", "tls:443", false, Call().c_str()));  // unchanged
    EXPECT_EQ(ReadBytes(Call()), "<calls>\r\n<Call dallnum=\"0201\" userr=\"8001\" lx=\"a\"/>\r\n"
                                 "<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n"
                                 "<sippath domain=\"b.example:14500\" way=\"tcp:5060\"/>\r\n"
                                 "<sippath domain=\"a.example:14500\" way=\"tls:443\"/>\r\n</calls>\r\n");
    EXPECT_EQ(LoadSipPath(m_doc, "a.example:14500", Call().c_str()), "tls:443");
    EXPECT_EQ(LoadSipPath(m_doc, "c.example:14500", Call().c_str()), "");
    // Older readers see their elements as before.
    EXPECT_EQ(LoadCallHistory(m_doc, "8001", Call().c_str()).size(), 1u);
    EXPECT_EQ(LoadAudioOptions(m_doc, Call().c_str()).nEchoCancel, 1);

    // Back on a network where UDP passes: the domain's element goes.
    ASSERT_TRUE(SaveSipPath(m_doc, "a.example:14500", "udp:14500", true, Call().c_str()));
    EXPECT_EQ(LoadSipPath(m_doc, "a.example:14500", Call().c_str()), "");
    EXPECT_EQ(LoadSipPath(m_doc, "b.example:14500", Call().c_str()), "tcp:5060");
}

TEST_F(SettingsFiles, SipPathOfAnotherHandIsPassedOverAndNoFileIsMade)
{
    WriteBytes(Call(), "<calls>\r\n<sippath domain=\"a:1\" way=\"sctp:1\"/>\r\n"
                       "<sippath domain=\"a:1\" way=\"tls:99999999\"/>\r\n<sippath domain=\"a:1\"/>\r\n</calls>\r\n");
    EXPECT_EQ(LoadSipPath(m_doc, "a:1", Call().c_str()), "");
    EXPECT_FALSE(SaveSipPath(m_doc, "a:1", "bogus", false, Call().c_str()));
    std::remove(Call().c_str());
    EXPECT_FALSE(SaveSipPath(m_doc, "a:1", "tcp:5060", false, Call().c_str()));
    EXPECT_FALSE(FileExists(Call()));
}

}  // namespace

// --- Call.xml: where the windows were -------------------------------------------------------

namespace {

TEST_F(SettingsFiles, WindowPosRoundTripsAndLeavesTheRestAsItWas)
{
    const std::string before = "<calls>\r\n<Call dallnum=\"0201\" userr=\"8001\" lx=\"a\"/>\r\n"
                               "<sippath domain=\"a.example:14500\" way=\"tls:443\"/>\r\n</calls>\r\n";
    WriteBytes(Call(), before);
    int x = 7, y = 8;
    EXPECT_FALSE(LoadWindowPos(m_doc, "phone", x, y, Call().c_str()));
    EXPECT_EQ(x, 7);
    EXPECT_EQ(y, 8);
    EXPECT_EQ(ReadBytes(Call()), before);

    struct Row { const char* name; int x, y; bool saved; };
    const Row rows[] = {
        {"phone", 120, 45, true},
        {"login", -1500, 300, true},      // a monitor left of the primary one
        {"phone", 120, 45, false},        // unchanged: the file is not written
        {"phone", 0, -20, true},          // above the primary monitor
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.x) + "," + std::to_string(row.y));
        const std::string held = ReadBytes(Call());
        EXPECT_EQ(SaveWindowPos(m_doc, row.name, row.x, row.y, Call().c_str()), row.saved);
        if (!row.saved) {
            EXPECT_EQ(ReadBytes(Call()), held);
        }
        ASSERT_TRUE(LoadWindowPos(m_doc, row.name, x, y, Call().c_str()));
        EXPECT_EQ(x, row.x);
        EXPECT_EQ(y, row.y);
    }
    EXPECT_EQ(ReadBytes(Call()), "<calls>\r\n<Call dallnum=\"0201\" userr=\"8001\" lx=\"a\"/>\r\n"
                                 "<sippath domain=\"a.example:14500\" way=\"tls:443\"/>\r\n"
                                 "<window name=\"login\" x=\"-1500\" y=\"300\"/>\r\n"
                                 "<window name=\"phone\" x=\"0\" y=\"-20\"/>\r\n</calls>\r\n");
    // Older readers see their elements as before.
    EXPECT_EQ(LoadCallHistory(m_doc, "8001", Call().c_str()).size(), 1u);
    EXPECT_EQ(LoadSipPath(m_doc, "a.example:14500", Call().c_str()), "tls:443");
}

TEST_F(SettingsFiles, WindowPosOfAnotherHandIsPassedOverAndNoFileIsMade)
{
    struct Row { const char* element; bool found; int x, y; };
    const Row rows[] = {
        {"<window name=\"phone\" x=\"10\" y=\"20\"/>", true, 10, 20},
        {"<window name=\"phone\" x=\"-10\" y=\"-20\"/>", true, -10, -20},
        {"<window name=\"phone\" x=\"10\"/>", false, 0, 0},
        {"<window name=\"phone\" x=\"1e3\" y=\"20\"/>", false, 0, 0},
        {"<window name=\"phone\" x=\"10\" y=\"\"/>", false, 0, 0},
        {"<window name=\"phone\" x=\"-\" y=\"20\"/>", false, 0, 0},
        {"<window name=\"phone\" x=\"99999999\" y=\"20\"/>", false, 0, 0},
        {"<window name=\"login\" x=\"10\" y=\"20\"/>", false, 0, 0},
        {"<window x=\"10\" y=\"20\"/>", false, 0, 0},
        {"<Window name=\"phone\" x=\"10\" y=\"20\"/>", false, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.element);
        WriteBytes(Call(), std::string("<calls>\r\n") + row.element + "\r\n</calls>\r\n");
        int x = 0, y = 0;
        EXPECT_EQ(LoadWindowPos(m_doc, "phone", x, y, Call().c_str()), row.found);
        EXPECT_EQ(x, row.x);
        EXPECT_EQ(y, row.y);
    }
    std::remove(Call().c_str());
    EXPECT_FALSE(SaveWindowPos(m_doc, "phone", 1, 2, Call().c_str()));
    EXPECT_FALSE(FileExists(Call()));
}

}  // namespace
