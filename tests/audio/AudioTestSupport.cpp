#include "AudioTestSupport.h"
#include <mmsystem.h>
#include <algorithm>
#include "Dialog.h"

namespace audiotest {

std::vector<std::string> OutputDeviceNames()
{
    std::vector<std::string> names;
    for (UINT i = 0, n = ::waveOutGetNumDevs(); i < n; ++i) {
        WAVEOUTCAPSA caps = {};
        if (::waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            names.push_back(caps.szPname);
    }
    return names;
}

std::vector<std::string> InputDeviceNames()
{
    std::vector<std::string> names;
    for (UINT i = 0, n = ::waveInGetNumDevs(); i < n; ++i) {
        WAVEINCAPSA caps = {};
        if (::waveInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            names.push_back(caps.szPname);
    }
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return ::lstrcmpiA(a.c_str(), b.c_str()) < 0; });
    return names;
}

std::vector<std::string> ListItems(HWND dlg, int id)
{
    // Read as UTF-16 and converted here: the ANSI form of CB_GETLBTEXT is not converted
    // when Wine carries it to another process.
    std::vector<std::string> items;
    HWND list = ::GetDlgItem(dlg, id);
    const LRESULT n = ::SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        wchar_t wide[256] = {0};
        ::SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide));
        char text[512] = {0};
        ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        items.push_back(text);
    }
    return items;
}

int Selection(HWND dlg, int id)
{
    return static_cast<int>(::SendDlgItemMessageA(dlg, id, CB_GETCURSEL, 0, 0));
}

int LastIndexOf(const std::vector<std::string>& items, const std::string& text)
{
    for (size_t i = items.size(); i-- > 0;)
        if (items[i] == text)
            return static_cast<int>(i);
    return -1;
}

namespace {
struct Search {
    UINT id;
    HWND found;
};
BOOL CALLBACK Match(HWND w, LPARAM p)
{
    auto* s = reinterpret_cast<Search*>(p);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    if (pid != ::GetCurrentProcessId() || !::IsWindowVisible(w))
        return TRUE;
    if (CDialog* d = CDialog::FromHandle(w)) {
        if (d->GetTemplateId() == s->id) {
            s->found = w;
            return FALSE;
        }
    }
    return TRUE;
}
}  // namespace

HWND DialogWindow(UINT id)
{
    Search s{id, nullptr};
    ::EnumWindows(&Match, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

}  // namespace audiotest
