#include "WinHarness.h"
#include "WinText.h"

namespace wintest {

void Pump(DWORD ms)
{
    const DWORD start = ::GetTickCount();
    do {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (ms)
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (::GetTickCount() - start < ms);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start >= timeoutMs)
            return done();
        Pump(10);
    }
    return true;
}

bool Click(HWND dlg, int id)
{
    HWND control = ::GetDlgItem(dlg, id);
    if (!control || !::IsWindowVisible(control) || !::IsWindowEnabled(control))
        return false;
    ::SendMessageA(control, BM_CLICK, 0, 0);
    return true;
}

void Command(HWND dlg, int id)
{
    ::SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dlg, id)));
}

void SetText(HWND dlg, int id, const std::string& text)
{
    SetText(::GetDlgItem(dlg, id), text);
}

void SetText(HWND wnd, const std::string& text)
{
    ::SendMessageW(wnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wintext::Wide(text).c_str()));
}

std::string Text(HWND wnd)
{
    // WM_GETTEXT rather than GetWindowText: it also reads controls of other processes.
    wchar_t buf[4096] = {0};
    ::SendMessageW(wnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf));
    return wintext::Gbk(buf);
}

std::string Text(HWND dlg, int id) { return Text(::GetDlgItem(dlg, id)); }
bool Checked(HWND dlg, int id) { return ::IsDlgButtonChecked(dlg, id) == BST_CHECKED; }
bool Visible(HWND dlg, int id) { return ::IsWindowVisible(::GetDlgItem(dlg, id)) != FALSE; }
bool Enabled(HWND dlg, int id) { return ::IsWindowEnabled(::GetDlgItem(dlg, id)) != FALSE; }

void Key(HWND target, UINT vk, UINT ch)
{
    HWND to = ::GetFocus();
    if (!to || (target != to && !::IsChild(target, to)))
        to = target;
    const UINT scan = ::MapVirtualKeyA(vk, 0);
    ::PostMessageA(to, WM_KEYDOWN, vk, 1 | (scan << 16));
    if (ch)
        ::PostMessageA(to, WM_CHAR, ch, 1 | (scan << 16));
    ::PostMessageA(to, WM_KEYUP, vk, 1 | (scan << 16) | (3u << 30));
}

RecordingDesktop::RecordingDesktop() : m_previous(SetDesktop(this)) {}
RecordingDesktop::~RecordingDesktop() { SetDesktop(m_previous); }

void RecordingDesktop::PlayResourceSound(int nResourceId)
{
    Event e;
    e.kind = Event::Sound;
    e.id = nResourceId;
    events.push_back(e);
}

int RecordingDesktop::ShowMessageBox(HWND, const char* text, const char* caption, UINT type)
{
    Event e;
    e.kind = Event::Box;
    e.text = text ? text : "";
    e.caption = caption ? caption : "";
    e.type = type;
    events.push_back(e);
    return boxAnswer;
}

HINSTANCE RecordingDesktop::ShellOpen(HWND, const char* verb, const char* file, const char* parameters,
                                      const char*, int nShowCmd)
{
    Event e;
    e.kind = Event::Shell;
    e.verb = verb ? verb : "";
    e.text = file ? file : "";
    e.caption = parameters ? parameters : "";
    e.type = static_cast<UINT>(nShowCmd);
    events.push_back(e);
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(33));
}

std::vector<int> RecordingDesktop::Sounds() const
{
    std::vector<int> ids;
    for (const Event& e : events)
        if (e.kind == Event::Sound)
            ids.push_back(e.id);
    return ids;
}

std::vector<RecordingDesktop::Event> RecordingDesktop::Boxes() const
{
    std::vector<Event> out;
    for (const Event& e : events)
        if (e.kind == Event::Box)
            out.push_back(e);
    return out;
}

std::vector<RecordingDesktop::Event> RecordingDesktop::Launches() const
{
    std::vector<Event> out;
    for (const Event& e : events)
        if (e.kind == Event::Shell)
            out.push_back(e);
    return out;
}

}  // namespace wintest
