#include "Desktop.h"
#include <mmsystem.h>

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
    return ::MessageBoxA(hOwner, text, caption, type);
}

HINSTANCE Desktop::ShellOpen(HWND hOwner, const char* verb, const char* file,
                                const char* parameters, const char* directory, int nShowCmd)
{
    return ::ShellExecuteA(hOwner, verb, file, parameters, directory, nShowCmd);
}
