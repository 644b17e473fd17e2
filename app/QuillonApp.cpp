#include "QuillonApp.h"
#include <commctrl.h>
#include "LoginDlg.h"
#include "ProgramLog.h"
#include "SupportLog.h"
#include "callctl.h"
#include "QuillonVersion.h"
#include "ServerUrl.h"
#include "SkinFeature.h"
#include "WinText.h"

CQuillonApp theApp;

namespace {
const char kMutexName[] = "onlyonehwnd";
const char kCaption[] = QUILLON_CAPTION;
const char kSkinFile[] = "superxp.rss";
}

BOOL CQuillonApp::InitInstance()
{
    HANDLE mutex = ::CreateMutexA(nullptr, TRUE, kMutexName);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another copy runs: bring its window forward and end quietly.
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
        HWND other = ::FindWindowW(nullptr, wintext::Wide(kCaption).c_str());
        if (!other)
            return FALSE;
        if (::IsIconic(other))
            ::ShowWindow(other, SW_RESTORE);
        ::SetForegroundWindow(other);
        ::SetForegroundWindow(::GetLastActivePopup(other));
        return FALSE;
    }
    // The first copy keeps its mutex handle until the process ends.

    const std::string url = ServerUrlFromCommandLine(m_strCmdLine);
    if (!url.empty())
        SetServerBaseUrl(url);
    ServerBaseUrl();    // settled here, before any worker thread reads it

    // "--log", added to the shortcut when support asks: Quillon.log beside the program,
    // with the call-control library's lines (SIP messages with secrets masked) in it.
    if (LogSwitchInCommandLine(m_strCmdLine) && OpenProgramLog()) {
        SupportLogWrite("start", "account server " + ServerBaseUrl());
        sipxConfigSetLogSink(SIPX_LOG_DEBUG, nullptr, &SupportLogSipLine, nullptr);
    }

    INITCOMMONCONTROLSEX icc = {8, 0xFF};
    ::InitCommonControlsEx(&icc);
    InitApplication();
    EnableControlContainer();

    SkinInit();
    SkinLoad(kSkinFile, 0);
    SetRegistryKey("应用程序向导生成的本地应用程序");

    CQuillonDlg* login = new CQuillonDlg();
    m_pMainWnd = login;
    login->DoModal();
    m_pMainWnd = nullptr;
    delete login;
    return FALSE;
}

int CQuillonApp::ExitInstance()
{
    if (SupportLogEnabled()) {
        sipxConfigSetLogSink(SIPX_LOG_NONE, nullptr, nullptr, nullptr);
        SupportLogWrite("start", "program ends");
        SupportLogClose();
    }
    SkinExit();
    return CWinApp::ExitInstance();
}
