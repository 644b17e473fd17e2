// The built program driven from outside by control id: signed in and registered, its
// audio settings window lists the machine's devices and Apply rewrites both settings files.
#include <gtest/gtest.h>
#include <windows.h>
#include "AppTestSupport.h"
#include "AudioTestSupport.h"
#include "PhoneTestSupport.h"
#include "WinHarness.h"
#include "resource.h"

using namespace wintest;
using apptest::AccountServer;
using apptest::ProgramRun;
using apptest::ReadBytes;
using phonetest::SippPeer;

namespace {

class AudioProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ProgramRun::CopyFiles());
        AccountServer::CloseWithoutAnswer("login.php", false);
    }
    void TearDown() override { program.End(ProgramRun::Closing::AllWindows); }

    apptest::ScratchFolder folder;
    ProgramRun program{folder.Path()};
};

TEST_F(AudioProgram, SettingsWindowListsTheDevicesAndApplyRewritesBothFiles)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("register_unregister.xml", 2));
    HWND phone = program.SignInAndRegister(server.Port(), server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();

    ::PostMessageA(phone, WM_COMMAND, MAKEWPARAM(IDC_AUDIO_SETTINGS, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(phone, IDC_AUDIO_SETTINGS)));
    HWND dlg = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (dlg = program.Find("音频设备设置", IDC_AUDIO_APPLY)) != nullptr; }, 8000));
    EXPECT_EQ(::GetWindow(dlg, GW_OWNER), phone);

    // The machine's devices, sorted; the installed Audio.xml names device 0 ("*") of each kind.
    const std::vector<std::string> outputs = audiotest::ListItems(dlg, IDC_OUTPUT_DEVICE);
    const std::vector<std::string> inputs = audiotest::ListItems(dlg, IDC_INPUT_DEVICE);
    EXPECT_EQ(outputs, audiotest::Sorted(audiotest::OutputDeviceNames()));
    EXPECT_EQ(inputs, audiotest::Sorted(audiotest::InputDeviceNames()));
    EXPECT_EQ(Text(dlg, IDC_OUTPUT_DEVICE), audiotest::OutputDeviceNames().at(0));
    EXPECT_EQ(Text(dlg, IDC_INPUT_DEVICE), audiotest::InputDeviceNames().at(0));

    const int speakers = audiotest::LastIndexOf(outputs, "Speakers");
    const int monitor = audiotest::LastIndexOf(inputs, "Monitor of Speakers");
    ASSERT_GE(speakers, 0);
    ASSERT_GE(monitor, 0);
    ::SendDlgItemMessageA(dlg, IDC_OUTPUT_DEVICE, CB_SETCURSEL, static_cast<WPARAM>(speakers), 0);
    ::SendDlgItemMessageA(dlg, IDC_INPUT_DEVICE, CB_SETCURSEL, static_cast<WPARAM>(monitor), 0);
    ASSERT_TRUE(Click(dlg, IDC_NOISE_REDUCTION));
    ASSERT_TRUE(Click(dlg, IDC_AUDIO_APPLY));
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindow(dlg); }, 5000));

    EXPECT_EQ(ReadBytes("Audio.xml"),
              "<Audio>\r\n<Dirver playdev=\"Speakers\" recodev=\"Monitor of Speakers\"/>\r\n</Audio>\r\n");
    EXPECT_EQ(ReadBytes("Call.xml"), "<CallInfo>\r\n<audio a11=\"0\" a22=\"1\" a33=\"0\"/>\r\n</CallInfo>\r\n");

    ::PostMessageA(phone, WM_CLOSE, 0, 0);
    EXPECT_EQ(::WaitForSingleObject(program.Process(), 15000), WAIT_OBJECT_0);
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

}  // namespace
