// CQuillonDlg: the login window (dialog 102), the program's main window. It lists the
// remembered accounts of Login.xml, takes account number and password, starts the
// sign-in, and opens the sign-up and password-recovery pages.
#pragma once
#include <string>
#include "SkinnedDialog.h"
#include "XmlDoc.h"

class CQuillonDlg : public CSkinnedDialog {
public:
    enum { IDD = 102 };
    // Sent by the sign-in worker when the account server said "ok"; returns 1.
    enum { WM_SIGNIN_SUCCEEDED = 0x81A };

    explicit CQuillonDlg(CWnd* pParent = nullptr);
    ~CQuillonDlg() override;

    // Moves the account shown in the controls to the end of Login.xml with the current
    // check-box choice, or removes it when neither box is checked. Run after a sign-in.
    // A password to keep is written only protected for the Windows user (SavedPassword.h).
    void RememberAccount();

    HICON m_hIcon;
    CWnd m_cbAccount;          // 1000, extended combo box
    CWnd m_edPassword;         // 1001
    CXmlDoc m_xmlLogin;        // Login.xml
    CXmlDoc m_xmlAudio;        // Audio.xml
    CXmlDoc m_xmlPlace;        // Call.xml: where the window was left
    CWnd m_chkSaveAccount;     // 1002
    CWnd m_chkSavePassword;    // 1003
    CWnd m_stStatus;           // 1033
    std::string m_strInputDevice;
    std::string m_strOutputDevice;
    std::string m_strSipPassword;
    std::string m_strAccount;
    int m_nBusyStep;
    int m_nKeepAlivePort;
    std::string m_strBalance;
    std::string m_strSipUser;
    std::string m_strSipDomain;
    std::string m_strKeepAliveHost;

protected:
    BOOL OnInitDialog() override;
    void OnBusyTimer();
    void OnDestroy() override;

private:
    void LoadAccountList();
    void ShowSavedState(const std::string& strType, const std::string& strPassword);
    void OnAccountSelChange();
    void OnSaveAccountClicked();
    void OnSavePasswordClicked();
    void OnSignIn();
    void OnForget();
    void RemoveAccountEntry(const std::string& account);
    std::string AccountText() const;
    bool AccountText(std::string& text) const;    // false: a character GBK lacks
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnPaint(WPARAM wParam, LPARAM lParam);

    // Sign-in (SignIn.cpp): the worker takes a request made here and hands its answer
    // back by value.
    struct SignInRequest;
    bool StartSignInWorker();
    static unsigned __stdcall SignInWorker(void* pRequest);
    void EndVerifying();
    void ShowRefusal(const char* pszText);
    LRESULT OnSignInSucceeded(WPARAM wParam, LPARAM lParam);
    void RunPhoneWindow();

    HBITMAP m_hBusy[3];        // pictures 157, 155, 158, loaded once
};
