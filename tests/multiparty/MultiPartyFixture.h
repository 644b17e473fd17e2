// The fixture of the multi-party window tests: the phone window of the phone tests (run
// on a thread of its own, the library and the desktop recorded) and the multi-party
// window opened from it by the command of its hidden button 1028, as the program's
// own button would. The window runs nested in the phone window's handler, on the phone
// window's thread; the test drives both from its own thread.
#pragma once
#include <gtest/gtest.h>
#include "MultiParty.h"
#include "PhoneFixture.h"
#include "SkinFeature.h"

namespace partytest {

struct LineIds {
    int number, call, hangUp, status;
};
// Line n (1..3) is kLine[n - 1].
const LineIds kLine[3] = {
    {IDC_LINE1_NUMBER, IDC_LINE1_CALL, IDC_LINE1_HANGUP, IDC_LINE1_STATUS},
    {IDC_LINE2_NUMBER, IDC_LINE2_CALL, IDC_LINE2_HANGUP, IDC_LINE2_STATUS},
    {IDC_LINE3_NUMBER, IDC_LINE3_CALL, IDC_LINE3_HANGUP, IDC_LINE3_STATUS},
};

const char kPartyCaption[] = "多人通话模式(多方通话)";

class MultiPartyTest : public phonetest::PhoneWindowTest {
protected:
    void TearDown() override { ClosePartyWindow(); }

    // Sends the phone window the command of button 1028. Posted: the handler runs the
    // window modally and returns only when it closes.
    void PressMultiParty() const
    {
        const HWND phone = run.h;
        CWnd::PostTask(phone, [phone] { wintest::Command(phone, IDC_MULTI_PARTY); });
    }
    // Opens the multi-party window; false when it did not come up.
    bool OpenPartyWindow()
    {
        PressMultiParty();
        const bool up = run.WaitUntil([&] {
            const cduoren1* w = run.dial->m_pMultiParty;
            return w && w->m_hWnd && ::IsWindowVisible(w->m_hWnd);
        });
        run.Ui([&] {
            party = run.dial->m_pMultiParty;
            hParty = party ? party->m_hWnd : nullptr;
        });
        return up && hParty;
    }
    // Closes it with its close box; false when it did not close.
    bool ClosePartyWindow()
    {
        if (!hParty)
            return true;
        ::PostMessageA(hParty, WM_SYSCOMMAND, SC_CLOSE, 0);
        const bool closed = run.WaitUntil([&] { return run.dial->m_pMultiParty == nullptr; }, 10000);
        hParty = nullptr;
        party = nullptr;
        return closed;
    }
    bool PartyWindowOpen() const
    {
        bool open = false;
        run.Ui([&] { open = run.dial->m_pMultiParty != nullptr && ::IsWindow(hParty); });
        return open;
    }

    // Line n's controls, on the window's thread.
    void SetLineNumber(int line, const std::string& number) const
    {
        run.Ui([&] { ::SetDlgItemTextA(hParty, kLine[line - 1].number, number.c_str()); });
    }
    std::string LineNumber(int line) const
    {
        std::string out;
        run.Ui([&] { out = wintest::Text(hParty, kLine[line - 1].number); });
        return out;
    }
    void PressCall(int line) const
    {
        run.Ui([&] { wintest::Command(hParty, kLine[line - 1].call); });
    }
    void PressHangUp(int line) const
    {
        run.Ui([&] { wintest::Command(hParty, kLine[line - 1].hangUp); });
    }
    std::string Status(int line) const
    {
        std::string out;
        run.Ui([&] { out = wintest::Text(hParty, kLine[line - 1].status); });
        return out;
    }
    bool WaitForStatus(int line, const std::string& text, DWORD timeoutMs = 5000) const
    {
        return run.WaitUntil([&] { return wintest::Text(hParty, kLine[line - 1].status) == text; }, timeoutMs);
    }
    int Busy(int line) const
    {
        int out = -1;
        run.Ui([&] { out = party ? party->m_bBusy[line - 1] : -1; });
        return out;
    }
    SIPX_CALL PartyCall(int line) const
    {
        SIPX_CALL out = 0;
        run.Ui([&] { out = run.dial->Session().m_hPartyCall[line - 1]; });
        return out;
    }
    void SetBalance(const std::string& balance) const
    {
        run.Ui([&] { run.dial->Session().m_strBalance = balance; });
    }
    // The calls the library has joined to the window's conference.
    std::vector<SIPX_CALL> ConferenceCalls() const
    {
        std::vector<SIPX_CALL> out;
        run.Ui([&] {
            SIPX_CALL calls[8] = {0};
            size_t n = 8;
            if (sipxConferenceGetCalls(run.dial->Session().m_hConf, calls, &n) == SIPX_RESULT_SUCCESS)
                out.assign(calls, calls + (n < 8 ? n : 8));
        });
        return out;
    }
    // A picture of the screen once both windows have painted.
    bool Picture(const std::string& name) const
    {
        run.Ui([&] {
            ::RedrawWindow(hParty, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        });
        Settle(300);
        return phonetest::Screenshot(name);
    }
    // The skin library loaded from beside the test program, as the program loads it.
    static void LoadSkin()
    {
        char path[MAX_PATH] = {0};
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string skinFile = path;
        skinFile = skinFile.substr(0, skinFile.find_last_of('\\') + 1) + "superxp.rss";
        SkinInit();
        SkinLoad(skinFile.c_str(), 0);
    }

    cduoren1* party = nullptr;
    HWND hParty = nullptr;
};

}  // namespace partytest
