// Call recording: the record box read when a call is answered, the file named by the
// answer time and the international number in the Record folder, a real WAVE file from
// a call with audio, and the button that opens the folder.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cmath>
#include <cstring>
#include "CallsFixture.h"
#include "WinText.h"

using namespace phonetest;
using apptest::ReadBytes;

namespace {

// 5 March 2009, 14:07:30 local time.
int64_t AnsweredAt()
{
    struct tm t = {};
    t.tm_year = 2009 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 7;
    t.tm_sec = 30;
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t));
}

// In GBK, read wide: the same on every system code page.
std::string CurrentFolder()
{
    wchar_t folder[MAX_PATH] = {0};
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    return wintext::Gbk(folder);
}

// The file names in the Record folder, in GBK.
std::vector<std::string> Recordings()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE h = ::FindFirstFileW(L"Record\\*", &found);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(wintext::Gbk(found.cFileName));
    } while (::FindNextFileW(h, &found));
    ::FindClose(h);
    return names;
}

uint32_t U32(const std::string& b, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
uint16_t U16(const std::string& b, size_t at)
{
    uint16_t v = 0;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}

class Recording : public CallsTest {
protected:
    bool OpenWithClock(int port)
    {
        return Open(port, [](TestDial& d) { d.m_fnRecordingClock = [] { return AnsweredAt(); }; });
    }
    bool Tick(bool on)
    {
        if (wintest::Checked(run.h, IDC_RECORD) != on && !Click(IDC_RECORD))
            return false;
        return OnUi<int>([&] { return run.dial->m_bRecord; }) == (on ? 1 : 0);
    }
};

TEST_F(Recording, FileIsNamedByTheAnswerTimeAndTheInternationalNumberAndTheBoxIsReadAtAnswer)
{
    // The program's folder has a Chinese name, whatever the system's code page.
    ASSERT_TRUE(::CreateDirectoryW(L"通话录音", nullptr));
    ASSERT_TRUE(::SetCurrentDirectoryW(L"通话录音"));
    ASSERT_NE(CurrentFolder().find("\\通话录音"), std::string::npos) << CurrentFolder();
    ASSERT_TRUE(OpenWithClock(0));
    ASSERT_TRUE(Register());
    ASSERT_TRUE(Tick(true));
    const std::string folder = CurrentFolder() + "\\Record\\";
    struct Row {
        const char* typed;
        const char* file;
    };
    // No Record folder yet: the first recording makes it. Calls to one number within one
    // minute keep every file.
    const Row rows[] = {
        {"07551234567", "2009年03月05日14点07分00867551234567.wav"},
        {"0012345678", "2009年03月05日14点07分0012345678.wav"},
        {"07551234567", "2009年03月05日14点07分00867551234567 (2).wav"},
        {"80006", "2009年03月05日14点07分80006.wav"},
        {"07551234567", "2009年03月05日14点07分00867551234567 (3).wav"},
    };
    for (const Row& r : rows) {
        Dial(r.typed);
        sipx.Clear();
        run.Ui([&] { ::SendMessageA(run.h, CDial::WM_CALL_CONNECTED, 0, 0); });
        EXPECT_EQ(sipx.Matching("CallAudioRecordFileStart"),
                  std::vector<std::string>{"CallAudioRecordFileStart(\"" + folder + r.file + "\")"});
        Press(IDC_HANGUP);
    }

    // Cleared when the call is answered: no recording, even when ticked again at once.
    ASSERT_TRUE(Tick(false));
    Dial("07551234567");
    sipx.Clear();
    run.Ui([&] { ::SendMessageA(run.h, CDial::WM_CALL_CONNECTED, 0, 0); });
    ASSERT_TRUE(Tick(true));
    Press(IDC_HANGUP);
    EXPECT_TRUE(sipx.Matching("CallAudioRecordFileStart").empty());
    std::vector<std::string> expected;
    for (const Row& r : rows)
        expected.push_back(r.file);
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> found = Recordings();
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

// Stands in for another program that creates a file of the recording's name after the
// window found the name free and just before the library creates the file.
class RacingCallControl : public RecordingCallControl {
public:
    static constexpr const char* kTheirs = "another program's file";
    std::atomic<int> races{0};      // starts whose name is taken first

    SIPX_RESULT CallAudioRecordFileStart(SIPX_CALL hCall, const char* szFile) override
    {
        if (szFile && races > 0) {
            --races;
            HANDLE h = ::CreateFileW(wintext::Wide(szFile).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                ::WriteFile(h, kTheirs, static_cast<DWORD>(std::strlen(kTheirs)), &written, nullptr);
                ::CloseHandle(h);
            }
        }
        return RecordingCallControl::CallAudioRecordFileStart(hCall, szFile);
    }
};

// The library creates a recording only at a name no file has; a name taken between the
// window's check and the creation is left to its file and the next free name is used.
TEST_F(Recording, ANameTakenJustBeforeTheStartKeepsItsFileAndTheNextFreeNameIsUsed)
{
    ASSERT_TRUE(OpenWithClock(0));
    ASSERT_TRUE(Register());
    ASSERT_TRUE(Tick(true));
    RacingCallControl racing;       // in front of the fixture's recorder until the test ends
    const std::string folder = CurrentFolder() + "\\Record\\";
    const std::string stem = "2009年03月05日14点07分00867551234567";
    struct Row {
        int races;
        std::vector<std::string> tried;     // the recording's names asked for, in order
    };
    const Row rows[] = {
        {1, {stem + ".wav", stem + " (2).wav"}},
        {2, {stem + " (3).wav", stem + " (4).wav", stem + " (5).wav"}},
        {0, {stem + " (6).wav"}},
    };
    std::vector<std::string> theirs, ours;
    for (const Row& r : rows) {
        racing.races = r.races;
        Dial("07551234567");
        racing.Clear();
        run.Ui([&] { ::SendMessageA(run.h, CDial::WM_CALL_CONNECTED, 0, 0); });
        std::vector<std::string> expected;
        for (const std::string& name : r.tried)
            expected.push_back("CallAudioRecordFileStart(\"" + folder + name + "\")");
        EXPECT_EQ(racing.Matching("CallAudioRecordFileStart"), expected) << r.races;
        Press(IDC_HANGUP);
        theirs.insert(theirs.end(), r.tried.begin(), r.tried.end() - 1);
        ours.push_back(r.tried.back());
    }
    for (const std::string& name : theirs)
        EXPECT_EQ(ReadBytes("Record\\" + name), RacingCallControl::kTheirs) << name;
    for (const std::string& name : ours)
        EXPECT_EQ(ReadBytes("Record\\" + name).substr(0, 4), "RIFF") << name;
    std::vector<std::string> expected = theirs;
    expected.insert(expected.end(), ours.begin(), ours.end());
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> found = Recordings();
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(Recording, FolderButtonMakesAndOpensTheRecordFolderWithTheShellsDefaultAction)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    desktop.Reset();
    ASSERT_EQ(::GetFileAttributesA("Record"), INVALID_FILE_ATTRIBUTES);
    Press(IDC_RECORD_FOLDER);
    const DWORD attributes = ::GetFileAttributesA("Record");
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{148});
    const auto launches = desktop.LaunchesSeen();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].verb, "");
    EXPECT_EQ(launches[0].text, CurrentFolder() + "\\Record");
    EXPECT_EQ(launches[0].caption, "");
    EXPECT_EQ(launches[0].type, static_cast<UINT>(SW_SHOWNORMAL));
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

// A call with audio: a tone goes into the test bed's microphone, out to an echoing callee
// and back. The box ticked when the call is answered records it; ticked later, not.
TEST_F(Recording, AnsweredCallWithTheBoxTickedLeavesAWaveFileWithItsAudio)
{
    ASSERT_NE(std::getenv("QUILLON_TESTBED"), nullptr) << "run inside scripts/testbed";
    SippPeer server;
    const int mediaPort = FreeUdpPort() & ~1;
    ASSERT_TRUE(server.Start("call_hung_up.xml", 4, std::string(), "-rtp_echo -mp " + std::to_string(mediaPort)));
    ASSERT_TRUE(OpenWithClock(server.Port()));
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }, 8000))
        << Status() << server.Log();

    // Sixteen seconds of a 1 kHz tone at half scale into the microphone.
    const std::string tone = UnixProgramFolder() + "/record-tone-" + std::to_string(::GetCurrentProcessId()) + ".raw";
    {
        std::ofstream f(LocalPath(tone), std::ios::binary);
        for (int i = 0; i < 8000 * 16; ++i) {
            const int16_t v = static_cast<int16_t>(16000 * std::sin(2 * 3.14159265358979 * 1000 * i / 8000.0));
            f.write(reinterpret_cast<const char*>(&v), sizeof v);
        }
    }
    StartShell("pacat --device=microphone --format=s16le --rate=8000 --channels=1 --raw '" + tone + "'");

    // Two answered calls to one number within the minute (the clock stands still): the
    // second recording goes beside the first, and each holds its own call's audio.
    const std::string names[] = {"2009年03月05日14点07分00867551234567.wav",
                                 "2009年03月05日14点07分00867551234567 (2).wav"};
    ASSERT_TRUE(Tick(true));
    for (const std::string& name : names) {
        sipx.Clear();
        Dial("07551234567");
        ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "呼叫成功,开始通话"; }, 5000))
            << Status() << server.Log();
        Settle(2000);
        Press(IDC_HANGUP);
        Settle(300);
        const std::vector<std::string> calls = sipx.Texts();
        auto at = [&](const std::string& prefix) {
            for (size_t i = 0; i < calls.size(); ++i)
                if (calls[i].compare(0, prefix.size(), prefix) == 0)
                    return static_cast<int>(i);
            return -1;
        };
        EXPECT_GE(at("CallAudioRecordFileStart"), 0);
        EXPECT_LT(at("CallAudioRecordFileStart"), at("CallAudioRecordFileStop"));
        EXPECT_LT(at("CallAudioRecordFileStop"), at("CallHold"));
        EXPECT_LT(at("CallHold"), at("CallDestroy"));

        const std::string wave = ReadBytes("Record\\" + name);
        ASSERT_GE(wave.size(), 44u) << name;
        EXPECT_EQ(wave.substr(0, 4), "RIFF");
        EXPECT_EQ(U32(wave, 4), wave.size() - 8);
        EXPECT_EQ(wave.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(U16(wave, 20), 1u);          // PCM
        EXPECT_EQ(U16(wave, 22), 1u);          // mono
        EXPECT_EQ(U32(wave, 24), 8000u);
        EXPECT_EQ(U16(wave, 34), 16u);
        const size_t fmtEnd = 20 + U32(wave, 16);
        ASSERT_EQ(wave.substr(fmtEnd, 4), "data");
        const size_t dataSize = U32(wave, fmtEnd + 4);
        EXPECT_EQ(fmtEnd + 8 + dataSize, wave.size());
        // About two seconds of talk.
        EXPECT_GE(dataSize, 8000u * 2 * 3 / 2) << name;
        EXPECT_LE(dataSize, 8000u * 2 * 4) << name;
        double sum = 0;
        const size_t samples = dataSize / 2;
        for (size_t i = 0; i < samples; ++i) {
            const double v = static_cast<int16_t>(U16(wave, fmtEnd + 8 + 2 * i));
            sum += v * v;
        }
        EXPECT_GT(std::sqrt(sum / (samples ? samples : 1)), 2000.0) << name << ": the recording is silent";
    }
    std::vector<std::string> kept = Recordings(), both(std::begin(names), std::end(names));
    std::sort(kept.begin(), kept.end());
    std::sort(both.begin(), both.end());
    ASSERT_EQ(kept, both);

    // The box cleared when the next call is answered and ticked a second later: no file.
    ASSERT_TRUE(Tick(false));
    sipx.Clear();
    Dial("07551234567");
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "呼叫成功,开始通话"; }, 5000))
        << Status() << server.Log();
    Settle(1000);
    ASSERT_TRUE(Tick(true));
    Settle(500);
    Press(IDC_HANGUP);
    Settle(300);
    EXPECT_TRUE(sipx.Matching("CallAudioRecordFileStart").empty());
    EXPECT_EQ(Recordings().size(), 2u);

    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(server.Wait(15000), 0) << server.Log();
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    ::DeleteFileA(LocalPath(tone).c_str());
}

}  // namespace
