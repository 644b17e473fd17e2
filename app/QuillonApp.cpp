#include "QuillonApp.h"
#include <commctrl.h>
#include "AboutDlg.h"

CQuillonApp theApp;

namespace {
const char kMutexName[] = "onlyonehwnd";
const char kCaption[] = "Korvani网络电话1.10";
}

BOOL CQuillonApp::InitInstance()
{
    HANDLE mutex = ::CreateMutexA(nullptr, TRUE, kMutexName);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another copy runs: bring its window forward and end quietly.
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
        HWND other = ::FindWindowA(nullptr, kCaption);
        if (!other)
            return FALSE;
        if (::IsIconic(other))
            ::ShowWindow(other, SW_RESTORE);
        ::SetForegroundWindow(other);
        ::SetForegroundWindow(::GetLastActivePopup(other));
        return FALSE;
    }

    INITCOMMONCONTROLSEX icc = {8, 0xFF};
    ::InitCommonControlsEx(&icc);
    InitApplication();
    EnableControlContainer();
    SetRegistryKey("应用程序向导生成的本地应用程序");

    CAboutDlg about;
    m_pMainWnd = &about;
    about.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

int CQuillonApp::ExitInstance()
{
    return CWinApp::ExitInstance();
}
