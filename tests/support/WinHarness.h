// Helpers for tests that drive real windows of the program under Wine: pump messages,
// click controls by id, type text, send keys, read texts and check states, and record
// the program's sounds, message boxes and shell launches instead of performing them.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "Desktop.h"

namespace wintest {

// Dispatches this thread's messages for about `ms` milliseconds (at least once).
void Pump(DWORD ms = 0);
// Pumps until `done` is true or `timeoutMs` passed; returns the last value of `done`.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

// Clicks a control the way a user does (BM_CLICK). A user cannot click a control that is
// missing, hidden or disabled: then nothing is sent and the result is false.
bool Click(HWND dlg, int id);
// Sends the command of control `id` (BN_CLICKED) whatever its state, as a program would.
void Command(HWND dlg, int id);
// Texts are GBK, passed through UTF-16 as the program does, so they read the same on
// every system code page.
void SetText(HWND dlg, int id, const std::string& text);
void SetText(HWND wnd, const std::string& text);
std::string Text(HWND dlg, int id);
std::string Text(HWND wnd);
bool Checked(HWND dlg, int id);
bool Visible(HWND dlg, int id);
bool Enabled(HWND dlg, int id);
// Posts a key press (down, char for printable keys, up) to the focused control of `dlg`
// or to `target`, so it travels through the message loop and its pre-translation.
void Key(HWND target, UINT vk, UINT ch = 0);

// Records the desktop side effects while installed; restores the real desktop on destruction.
class RecordingDesktop : public Desktop {
public:
    struct Event {
        enum Kind { Sound, Box, Shell } kind = Sound;
        int id = 0;             // sound resource id
        std::string text;       // box text, or shell file
        std::string caption;    // box caption, or shell parameters
        std::string verb;       // shell verb
        UINT type = 0;          // box style, or shell show command
    };
    RecordingDesktop();
    ~RecordingDesktop() override;

    void PlayResourceSound(int nResourceId) override;
    int ShowMessageBox(HWND hOwner, const char* text, const char* caption, UINT type) override;
    HINSTANCE ShellOpen(HWND hOwner, const char* verb, const char* file, const char* parameters,
                        const char* directory, int nShowCmd) override;

    std::vector<int> Sounds() const;
    std::vector<Event> Boxes() const;
    std::vector<Event> Launches() const;
    void Clear() { events.clear(); }

    std::vector<Event> events;
    int boxAnswer = IDOK;       // what every message box "returns"

private:
    Desktop* m_previous;
};

}  // namespace wintest
