// The fixture of the in-process phone window tests: a scratch working folder, the
// desktop and the call-control library recorded, a keep-alive sink, and the window.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <atomic>
#include <memory>
#include <thread>
#include "AppTestSupport.h"
#include "PhoneTestSupport.h"
#include "ServerUrl.h"
#include "resource.h"

namespace phonetest {

const char kWarningText[] = "登陆服务器失败.禁止进行任何操作";
const char kWarningCaption[] = "警告!";
const char kRegisteredText[] = "成功登陆.请输入呼叫号码";
const char kAdBaseUrl[] = "http://ads.quillon.test:8080";

class PhoneWindowTest : public ::testing::Test {
protected:
    void SetUp() override { SetServerBaseUrl(kAdBaseUrl); }
    // A test that ends early with boxes held must not leave the window unable to close.
    void TearDown() override { desktop.ReleaseBoxes(); }

    // Opens the window signed in to a call server at `registrarPort` (by default a UDP
    // port that receives and never answers, so the line stays unregistered).
    bool Open(int registrarPort = 0, const std::function<void(TestDial&)>& more = nullptr)
    {
        const int port = registrarPort ? registrarPort : deadRegistrar.Port();
        return run.Start([=](TestDial& d) {
            SignedIn(d, port, keepAlive.Port());
            if (more)
                more(d);
        });
    }

    // The library's thread reports a line state, as it does for a real registration.
    void LineEvent(uint32_t code) { LibraryEvent(SIPX_EVENT_CATEGORY_LINESTATE, 0, code); }
    void LibraryEvent(int category, SIPX_CALL hCall, uint32_t code, const char* text = nullptr)
    {
        SIPX_EVENT_INFO info = {};
        info.cbSize = sizeof info;
        info.hCall = hCall;
        info.event = code;
        info.szText = text;
        CDial* dial = run.dial;
        std::thread([&] { CDial::OnCallControlEvent(category, &info, dial); }).join();
    }
    // Waits until the window's thread has run every task posted to it before now (the
    // library's events among them), also while a message box is open.
    bool WaitForPosted() const
    {
        auto ran = std::make_shared<std::atomic<bool>>(false);
        if (!CWnd::PostTask(run.h, [ran] { *ran = true; }))
            return false;
        return run.WaitUntil([ran] { return ran->load(); });
    }
    // Waits until the window's thread has handled what was posted to it before now and
    // what that posted in turn (a key-down's character, a keypad key's character).
    void Flush() const
    {
        EXPECT_TRUE(WaitForPosted());
        EXPECT_TRUE(WaitForPosted());
    }
    // Registered as the library reports it; waits until the window has acted on it.
    bool Register()
    {
        LineEvent(SIPX_LINESTATE_REGISTERED);
        return run.WaitUntil([&] { return run.dial->m_bRegistered == 1; });
    }
    // The number box's edit field.
    HWND NumberEdit() const
    {
        HWND edit = nullptr;
        run.Ui([&] {
            edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(run.h, IDC_NUMBER, CBEM_GETEDITCONTROL, 0, 0));
        });
        return edit;
    }
    std::string Number() const { return wintest::Text(NumberEdit()); }
    void SetNumber(const std::string& text) const
    {
        HWND edit = NumberEdit();
        run.Ui([&] {
            wintest::SetText(edit, text);
            // The caret after the text, as after typing it.
            ::SendMessageA(edit, EM_SETSEL, text.size(), text.size());
        });
    }
    // Sends the command of a control on the window's thread, as a click would.
    void Press(int id) const
    {
        run.Ui([&] { wintest::Command(run.h, id); });
    }
    bool Click(int id) const
    {
        bool clicked = false;
        run.Ui([&] { clicked = wintest::Click(run.h, id); });
        return clicked;
    }
    // Lets the window's queue run for a while (posted characters, timers).
    void Settle(DWORD ms = 100) const
    {
        ::Sleep(ms);
        run.Ui([] {});
    }
    static bool IsWarning(const wintest::RecordingDesktop::Event& box)
    {
        return box.text == kWarningText && box.caption == kWarningCaption && box.type == (MB_OK | MB_ICONEXCLAMATION);
    }

    apptest::ScratchFolder folder;
    LockedDesktop desktop;
    RecordingCallControl sipx;
    UdpSink keepAlive;
    UdpSink deadRegistrar;
    PhoneRun run;
};

}  // namespace phonetest
