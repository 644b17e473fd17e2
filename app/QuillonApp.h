// CQuillonApp: the program's application object. The program runs entirely inside
// InitInstance: single-instance guard, common controls, skin, then the login window.
#pragma once
#include "WinApp.h"

class CQuillonApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override;
};
