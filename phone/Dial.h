// CDial: the phone window (dialog 131), run modally by the login window after a
// successful sign-in with the values of the sign-in. For now it shows the values it was
// handed; the phone itself comes next.
#pragma once
#include <string>
#include "Dialog.h"

class CDial : public CDialog {
public:
    enum { IDD = 131 };
    CDial();

    std::string m_strAccount;
    std::string m_strSipPassword;
    std::string m_strSipUser;
    std::string m_strBalance;
    std::string m_strSipDomain;
    std::string m_strKeepAliveHost;
    int m_nKeepAlivePort = 0;
    std::string m_strInputDevice;
    std::string m_strOutputDevice;

protected:
    BOOL OnNcCreate(LPCREATESTRUCTA lpcs) override;
    BOOL OnInitDialog() override;
    void OnDestroy() override;
};
