// The program's entry point: hands control to the application object.
#include "WinApp.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int nCmdShow)
{
    CWinApp* app = TheApp();
    if (!app)
        return 1;
    app->m_hInstance = hInstance;
    app->m_strCmdLine = lpCmdLine ? lpCmdLine : "";
    app->m_nCmdShow = nCmdShow;
    if (app->InitInstance())
        app->Run();
    return app->ExitInstance();
}
