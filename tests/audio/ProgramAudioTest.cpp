// The built program driven from outside by control id: signed in and registered, its
// audio settings window lists the machine's devices and Apply rewrites both settings files.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include "AppTestSupport.h"
#include "AudioTestSupport.h"
#include "PhoneTestSupport.h"
#include "WinHarness.h"
#include "resource.h"

using namespace wintest;
using apptest::AccountServer;
using apptest::ReadBytes;
using phonetest::SippPeer;

namespace {

class AudioProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* f : {"Quillon.exe", "callctl.dll", "SkinFeature.dll", "superxp.rss", "Login.xml",
                              "Audio.xml", "Call.xml"})
            ASSERT_TRUE(::CopyFileA((std::string(QUILLON_DIST_WIN) + "/" + f).c_str(), f, FALSE)) << f;
        AccountServer::CloseWithoutAnswer("login.php", false);
    }
    void TearDown() override
    {
        if (!m_process.hProcess)
            return;
        if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
            for (HWND w : Shown())
                ::PostMessageA(w, WM_CLOSE, 0, 0);
            if (::WaitForSingleObject(m_process.hProcess, 8000) == WAIT_TIMEOUT)
                ::TerminateProcess(m_process.hProcess, 1);
        }
        ::CloseHandle(m_process.hThread);
        ::CloseHandle(m_process.hProcess);
    }
    // Starts the program, signs in and waits until the line is registered.
    HWND SignInAndRegister(int port)
    {
        AccountServer::Answer("login.php", "ok!8001@25.60#127.0.0.1:" + std::to_string(port) +
                                               "$075512345678%127.0.0.1:" + std::to_string(port) + "^\n");
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::string cmd = "Quillon.exe --server=" + AccountServer::Url();
        if (!::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, folder.Path().c_str(), &si,
                              &m_process))
            return nullptr;
        HWND login = nullptr;
        PumpUntil([&] { return (login = Find("Korvani网络电话1.10", IDC_SIGNIN)) != nullptr; }, 15000);
        if (!login)
            return nullptr;
        HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(login, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0));
        ::SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("80012345"));
        ::SendDlgItemMessageA(login, IDC_PASSWORD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("secret"));
        if (!Click(login, IDC_SIGNIN))
            return nullptr;
        HWND phone = nullptr;
        PumpUntil([&] { return (phone = Find("Korvani网络电话1.10", IDC_KEY_5)) != nullptr; }, 15000);
        if (!phone || !PumpUntil([&] { return Text(phone, IDC_STATUS) == "成功登陆.请输入呼叫号码"; }, 10000))
            return nullptr;
        return phone;
    }
    // The program's visible window with this caption and a control `id`.
    HWND Find(const std::string& caption, int id) const
    {
        for (HWND w : Shown())
            if (Text(w) == caption && ::GetDlgItem(w, id))
                return w;
        return nullptr;
    }
    std::vector<HWND> Shown() const
    {
        struct Ctx {
            DWORD pid;
            std::vector<HWND> out;
            static BOOL CALLBACK Add(HWND w, LPARAM p)
            {
                auto* c = reinterpret_cast<Ctx*>(p);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(w, &pid);
                if (pid == c->pid && ::IsWindowVisible(w))
                    c->out.push_back(w);
                return TRUE;
            }
        } ctx{m_process.dwProcessId, {}};
        ::EnumWindows(&Ctx::Add, reinterpret_cast<LPARAM>(&ctx));
        return ctx.out;
    }

    apptest::ScratchFolder folder;
    PROCESS_INFORMATION m_process = {};
};

TEST_F(AudioProgram, SettingsWindowListsTheDevicesAndApplyRewritesBothFiles)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("register_unregister.xml", 2));
    HWND phone = SignInAndRegister(server.Port());
    ASSERT_NE(phone, nullptr) << server.Log();

    ::PostMessageA(phone, WM_COMMAND, MAKEWPARAM(IDC_AUDIO_SETTINGS, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(phone, IDC_AUDIO_SETTINGS)));
    HWND dlg = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (dlg = Find("音频设备设置", IDC_AUDIO_APPLY)) != nullptr; }, 8000));
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
    EXPECT_EQ(::WaitForSingleObject(m_process.hProcess, 15000), WAIT_OBJECT_0);
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

}  // namespace
