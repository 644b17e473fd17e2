// CAboutDlg: the about box (dialog 100), plain and not skinned.
#pragma once
#include "Dialog.h"

class CAboutDlg : public CDialog {
public:
    enum { IDD = 100 };
    CAboutDlg() : CDialog(IDD) {}
};
