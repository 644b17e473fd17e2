// CWinApp: the one application object of the program.
//
// The program defines one global object of a class derived from CWinApp. The framework's
// WinMain (AppMain.cpp) fills in the instance handle and command line, calls InitInstance,
// runs the message loop (Run) only if InitInstance returned TRUE, and always ends with
// ExitInstance, whose result is the process exit code.
#pragma once
#include "Wnd.h"
#include <string>

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance();
    virtual int Run();

    // The framework's own application initialisation.
    BOOL InitApplication() { return TRUE; }
    // Lets dialogs host ActiveX controls (initialises OLE on this thread).
    BOOL EnableControlContainer();
    // The settings key name the program hands over; no settings are stored under it.
    void SetRegistryKey(const char* key) { m_strRegistryKey = key ? key : ""; }

    HINSTANCE m_hInstance = nullptr;
    std::string m_strCmdLine;
    int m_nCmdShow = SW_SHOWNORMAL;
    CWnd* m_pMainWnd = nullptr;
    std::string m_strRegistryKey;
    int m_nExitCode = 0;

private:
    bool m_bOle = false;
};

// The application object, or null when the process has none (test programs).
CWinApp* TheApp();
