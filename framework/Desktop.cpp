#include "Desktop.h"
#include <mmsystem.h>
#include <memory>
#include <string>
#include "WinText.h"

namespace {
Desktop g_real;
Desktop* g_current = &g_real;
}

Desktop& TheDesktop() { return *g_current; }

Desktop* SetDesktop(Desktop* desktop)
{
    Desktop* previous = g_current;
    g_current = desktop ? desktop : &g_real;
    return previous;
}

void Desktop::PlayResourceSound(int nResourceId)
{
    ::PlaySoundA(MAKEINTRESOURCEA(nResourceId), ::GetModuleHandleA(nullptr),
                 SND_RESOURCE | SND_ASYNC | SND_NODEFAULT);
}

int Desktop::ShowMessageBox(HWND hOwner, const char* text, const char* caption, UINT type)
{
    return ::MessageBoxW(hOwner, wintext::Wide(text).c_str(), caption ? wintext::Wide(caption).c_str() : nullptr, type);
}

HINSTANCE Desktop::ShellOpen(HWND hOwner, const char* verb, const char* file,
                                const char* parameters, const char* directory, int nShowCmd)
{
    auto wide = [](const char* text) { return text ? new std::wstring(wintext::Wide(text)) : nullptr; };
    std::unique_ptr<std::wstring> v(wide(verb)), f(wide(file)), p(wide(parameters)), d(wide(directory));
    auto str = [](const std::unique_ptr<std::wstring>& w) { return w ? w->c_str() : nullptr; };
    return ::ShellExecuteW(hOwner, str(v), str(f), str(p), str(d), nShowCmd);
}
