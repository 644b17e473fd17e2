// The seam for the program's side effects on the desktop: sounds, message boxes and
// shell launches (web pages, folders). Production code calls only these; the default
// implementation calls the Win32 API directly. Tests install a recorder so that they can
// check "sound 151 played" or "box X with caption Y shown" without blocking.
#pragma once
#include <windows.h>

class Desktop {
public:
    virtual ~Desktop() = default;
    // Plays a WAVE resource of the program, asynchronously, with no default sound
    // when the resource is missing (SND_RESOURCE | SND_ASYNC | SND_NODEFAULT).
    virtual void PlayResourceSound(int nResourceId);
    virtual int ShowMessageBox(HWND hOwner, const char* text, const char* caption, UINT type);
    virtual HINSTANCE ShellOpen(HWND hOwner, const char* verb, const char* file,
                                const char* parameters, const char* directory, int nShowCmd);
};

// The desktop in use; never null.
Desktop& TheDesktop();
// Installs another desktop (null restores the real one); returns the previous one.
Desktop* SetDesktop(Desktop* desktop);
