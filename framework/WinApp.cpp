#include "WinApp.h"
#include <ole2.h>

namespace {
CWinApp* g_app = nullptr;
}

CWinApp* TheApp() { return g_app; }

CWinApp::CWinApp()
{
    g_app = this;
    m_hInstance = ::GetModuleHandleA(nullptr);
}

CWinApp::~CWinApp()
{
    if (g_app == this)
        g_app = nullptr;
}

BOOL CWinApp::EnableControlContainer()
{
    if (!m_bOle)
        m_bOle = SUCCEEDED(::OleInitialize(nullptr));
    return m_bOle;
}

int CWinApp::Run()
{
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    m_nExitCode = static_cast<int>(msg.wParam);
    return m_nExitCode;
}

int CWinApp::ExitInstance()
{
    if (m_bOle) {
        ::OleUninitialize();
        m_bOle = false;
    }
    return m_nExitCode;
}
