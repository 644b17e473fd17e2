#include "LoginDlg.h"
#include <commctrl.h>
#include "AboutDlg.h"
#include "AccountQuery.h"
#include "Desktop.h"
#include "SavedPassword.h"
#include "ServerUrl.h"
#include "SettingsFiles.h"
#include "SettingsLoad.h"
#include "WinText.h"
#include "WaveDevices.h"
#include "WindowPlace.h"
#include "resource.h"
#include "TimerPeriods.h"

namespace {
const char kLoginXml[] = "Login.xml";
const UINT kSoundRefused = IDW_REFUSED;
const UINT_PTR kBusyTimer = 1;
const UINT kAboutCommand = 0x10;
// The protected password, after the four attributes older versions write and read.
const char kProtectedPassword[] = "UserPwdDp";

// The password the current entry keeps: only a Type "2" entry keeps one. Its protected
// value when it has one -- nothing when that cannot be read here (another Windows user
// or machine, damaged text) -- else the plain UserPwd an older version wrote.
std::string SavedPasswordOf(const CXmlDoc& xml, const std::string& type)
{
    std::string password;
    if (type != "2")
        return password;
    const std::string sealed = xml.ChildAttribute(kProtectedPassword);
    if (sealed.empty())
        return xml.ChildAttribute("UserPwd");
    savedpassword::Unprotect(sealed, password);
    return password;
}
const char kPlaceName[] = "login";
}

CQuillonDlg::CQuillonDlg(CWnd* pParent)
    : CSkinnedDialog(IDD, pParent, true), m_hIcon(nullptr), m_nBusyStep(1), m_nKeepAlivePort(0), m_strBalance("0"),
      m_hBusy{nullptr, nullptr, nullptr}
{
    m_hIcon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    OnNotify(IDC_ACCOUNT, CBN_SELCHANGE, [this] { OnAccountSelChange(); });
    OnCommand(IDC_SAVE_ACCOUNT, [this] { OnSaveAccountClicked(); });
    OnCommand(IDC_SAVE_PASSWORD, [this] { OnSavePasswordClicked(); });
    OnCommand(IDC_SIGNIN, [this] { OnSignIn(); });
    OnCommand(IDC_SIGNUP, [this] { OpenServicePage(m_hWnd, "/reguser.php"); });
    OnCommand(IDC_RECOVER, [this] { OpenServicePage(m_hWnd, "/passwd.php"); });
    OnCommand(IDC_FORGET, [this] { OnForget(); });
    OnCommand(IDC_EXIT, [] { ::PostQuitMessage(0); });
    OnTimerId(kBusyTimer, [this] { OnBusyTimer(); });
    OnMessage(WM_SYSCOMMAND, [this](WPARAM w, LPARAM l) { return OnSysCommand(w, l); });
    OnMessage(WM_PAINT, [this](WPARAM w, LPARAM l) { return OnPaint(w, l); });
    OnMessage(WM_QUERYDRAGICON, [this](WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(m_hIcon); });
    OnMessage(WM_SIGNIN_SUCCEEDED, [this](WPARAM w, LPARAM l) { return OnSignInSucceeded(w, l); });
}

CQuillonDlg::~CQuillonDlg()
{
    for (HBITMAP& bmp : m_hBusy) {
        if (bmp)
            ::DeleteObject(bmp);
        bmp = nullptr;
    }
}

BOOL CQuillonDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_cbAccount = GetDlgItem(IDC_ACCOUNT);
    m_edPassword = GetDlgItem(IDC_PASSWORD);
    m_chkSaveAccount = GetDlgItem(IDC_SAVE_ACCOUNT);
    m_chkSavePassword = GetDlgItem(IDC_SAVE_PASSWORD);
    m_stStatus = GetDlgItem(IDC_LOGIN_STATUS);

    if (HMENU sys = ::GetSystemMenu(m_hWnd, FALSE)) {
        wchar_t about[256] = {0};
        ::LoadStringW(::GetModuleHandleW(nullptr), IDS_ABOUTBOX, about, 256);
        if (about[0]) {
            ::AppendMenuW(sys, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(sys, MF_STRING, kAboutCommand, about);
        }
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    m_edPassword.SendMessage(EM_LIMITTEXT, 25);
    m_nBusyStep = 1;
    static const int ids[3] = {IDB_BUSY_1, IDB_BUSY_2, IDB_BUSY_3};
    for (int i = 0; i < 3; ++i)
        m_hBusy[i] = static_cast<HBITMAP>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(ids[i]),
                                                        IMAGE_BITMAP, 0, 0, 0));

    LoadAccountList();

    const DeviceChoice devices = ReadDeviceChoice(m_xmlAudio, SystemWaveDevices());
    m_strOutputDevice = devices.strOutputDevice;
    m_strInputDevice = devices.strInputDevice;

    m_strBalance = "0";

    int x = 0, y = 0;
    if (LoadWindowPos(m_xmlPlace, kPlaceName, x, y))
        place::MoveTo(m_hWnd, x, y);
    return TRUE;    // focus to the first control
}

void CQuillonDlg::OnDestroy()
{
    int x = 0, y = 0;
    if (place::Current(m_hWnd, x, y))
        SaveWindowPos(m_xmlPlace, kPlaceName, x, y);
    // The picture control must not hold one of our bitmaps when they are deleted.
    GetDlgItem(IDC_BUSY).SendMessage(STM_SETIMAGE, IMAGE_BITMAP, 0);
}

std::string CQuillonDlg::AccountText() const
{
    std::string text;
    AccountText(text);
    return text;
}

bool CQuillonDlg::AccountText(std::string& text) const
{
    HWND edit = reinterpret_cast<HWND>(m_cbAccount.SendMessage(CBEM_GETEDITCONTROL));
    return edit ? CWnd(edit).GetWindowTextGbk(text) : m_cbAccount.GetWindowTextGbk(text);
}

void CQuillonDlg::ShowSavedState(const std::string& strType, const std::string& strPassword)
{
    if (strType == "1") {
        m_chkSaveAccount.SendMessage(BM_SETCHECK, BST_CHECKED);
        m_chkSavePassword.SendMessage(BM_SETCHECK, BST_UNCHECKED);
        m_edPassword.SetWindowText("");
    } else if (strType == "2") {
        m_edPassword.SetWindowText(strPassword);
        m_chkSaveAccount.SendMessage(BM_SETCHECK, BST_CHECKED);
        m_chkSavePassword.SendMessage(BM_SETCHECK, BST_CHECKED);
    }
}

void CQuillonDlg::LoadAccountList()
{
    m_cbAccount.SendMessage(CB_RESETCONTENT);
    HWND edit = reinterpret_cast<HWND>(m_cbAccount.SendMessage(CBEM_GETEDITCONTROL));
    if (edit)
        ::SetWindowTextW(edit, L"");
    m_edPassword.SetWindowText("");
    m_chkSaveAccount.SendMessage(BM_SETCHECK, BST_UNCHECKED);
    m_chkSavePassword.SendMessage(BM_SETCHECK, BST_UNCHECKED);

    // Each read starts empty: a file deleted meanwhile lists nothing, not what was there.
    LoadSettingsFile(m_xmlLogin, kLoginXml);
    m_xmlLogin.RewindElements();
    m_xmlLogin.FindElement("UserInfo");
    for (int i = 0; m_xmlLogin.FindChildElement("User"); ++i) {
        const std::string id = m_xmlLogin.ChildAttribute("UserID");
        const std::string type = m_xmlLogin.ChildAttribute("Type");
        m_xmlLogin.ChildAttribute("Wangluo");

        std::wstring text = wintext::Wide(id);
        COMBOBOXEXITEMW item = {};
        item.mask = CBEIF_TEXT;
        item.iItem = i;
        item.pszText = &text[0];
        m_cbAccount.SendMessage(CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        m_cbAccount.SendMessage(CB_SETCURSEL, static_cast<WPARAM>(i));
        std::string pwd = SavedPasswordOf(m_xmlLogin, type);
        ShowSavedState(type, pwd);
        savedpassword::Wipe(pwd);
    }
}

void CQuillonDlg::OnAccountSelChange()
{
    const LRESULT sel = m_cbAccount.SendMessage(CB_GETCURSEL);
    if (sel == CB_ERR)
        return;
    wchar_t text[512] = {0};
    COMBOBOXEXITEMW item = {};
    item.mask = CBEIF_TEXT;
    item.iItem = sel;
    item.pszText = text;
    item.cchTextMax = 512;
    m_cbAccount.SendMessage(CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    const std::string chosen = wintext::Gbk(text);

    LoadSettingsFile(m_xmlLogin, kLoginXml);
    m_xmlLogin.RewindElements();
    m_xmlLogin.FindElement("");
    while (m_xmlLogin.FindChildElement("User")) {
        const std::string id = m_xmlLogin.ChildAttribute("UserID");
        const std::string type = m_xmlLogin.ChildAttribute("Type");
        m_xmlLogin.ChildAttribute("Wangluo");
        if (id == chosen) {
            std::string pwd = SavedPasswordOf(m_xmlLogin, type);
            ShowSavedState(type, pwd);
            savedpassword::Wipe(pwd);
            return;
        }
    }
}

void CQuillonDlg::OnSaveAccountClicked()
{
    if (m_chkSaveAccount.SendMessage(BM_GETCHECK) != BST_CHECKED)
        m_chkSavePassword.SendMessage(BM_SETCHECK, BST_UNCHECKED);
}

void CQuillonDlg::OnSavePasswordClicked()
{
    if (m_chkSavePassword.SendMessage(BM_GETCHECK) == BST_CHECKED)
        m_chkSaveAccount.SendMessage(BM_SETCHECK, BST_CHECKED);
}

void CQuillonDlg::OnSignIn()
{
    m_stStatus.SetWindowText("");
    // Typed text arrives as UTF-16; a character GBK cannot hold would reach the server
    // as "?", so it is refused as a wrong entry instead.
    const bool accountFits = AccountText(m_strAccount);
    const bool passwordFits = m_edPassword.GetWindowTextGbk(m_strSipPassword);

    const char* refusal = nullptr;
    if (m_strAccount.empty())
        refusal = "请输入帐号!";
    else if (m_strAccount.size() < 4 || !accountFits)
        refusal = "请输入正确帐号!";
    else if (m_strSipPassword.empty())
        refusal = "请输入密码!";
    else if (m_strSipPassword.size() < 4 || !passwordFits)
        refusal = "请输入正确密码!";
    if (refusal) {
        TheDesktop().PlayResourceSound(kSoundRefused);
        m_stStatus.SetWindowText(refusal);
        return;
    }

    SetTimer(kBusyTimer, ThePeriods().nBusyPicture);
    GetDlgItem(IDC_SIGNIN).EnableWindow(FALSE);
    GetDlgItem(IDC_BUSY).ShowWindow(SW_SHOW);
    m_stStatus.SetWindowText("正在验证帐号!");
    if (!StartSignInWorker()) {
        TheDesktop().PlayResourceSound(kSoundRefused);
        m_stStatus.SetWindowText("验证失败.网络问题");
        EndVerifying();
    }
}

void CQuillonDlg::OnBusyTimer()
{
    // 157 -> 155 -> 158 -> 157 ...
    const int shown = m_nBusyStep - 1;
    m_nBusyStep = m_nBusyStep % 3 + 1;
    GetDlgItem(IDC_BUSY).SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(m_hBusy[shown]));
}

void CQuillonDlg::OnForget()
{
    const std::string account = AccountText();
    if (account.empty())
        return;
    RemoveAccountEntry(account);
    LoadAccountList();
}

void CQuillonDlg::RemoveAccountEntry(const std::string& account)
{
    // Only the first entry of that account, should the file hold more. The edit starts
    // from the file as it is now; a file that is gone or broken is left as it is.
    if (!LoadSettingsFile(m_xmlLogin, kLoginXml))
        return;
    m_xmlLogin.RewindElements();
    m_xmlLogin.FindElement("");
    while (m_xmlLogin.FindChildElement("User")) {
        if (m_xmlLogin.ChildAttribute("UserID") == account) {
            m_xmlLogin.RemoveChildElement();
            m_xmlLogin.SaveFile(kLoginXml);
            break;
        }
    }
}

void CQuillonDlg::RememberAccount()
{
    const std::string account = AccountText();
    std::string password = m_edPassword.GetWindowText();
    const char* type = "3";
    if (m_chkSaveAccount.SendMessage(BM_GETCHECK) == BST_CHECKED)
        type = "1";
    if (m_chkSavePassword.SendMessage(BM_GETCHECK) == BST_CHECKED)
        type = "2";

    RemoveAccountEntry(account);

    if (std::string(type) != "3" && LoadSettingsFile(m_xmlLogin, kLoginXml)) {
        m_xmlLogin.RewindElements();
        m_xmlLogin.FindElement("");
        m_xmlLogin.EnterElement();
        m_xmlLogin.AppendElement("User");
        m_xmlLogin.SetAttribute("UserID", account);
        // UserPwd stays, always empty: the password is never written as it is typed.
        // "保存密码" checked, it is kept protected for this Windows user after the older
        // attributes; an older version finds no password and asks for it. Should Windows
        // refuse to protect it, the entry keeps none. Unchecked, nothing of it is kept.
        std::string sealed;
        const bool keep = std::string(type) == "2" && savedpassword::Protect(password, sealed);
        m_xmlLogin.SetAttribute("UserPwd", "");
        m_xmlLogin.SetAttribute("Type", type);
        m_xmlLogin.SetAttribute("Wangluo", "");
        if (keep)
            m_xmlLogin.SetAttribute(kProtectedPassword, sealed);
        m_xmlLogin.LeaveElement();
        m_xmlLogin.SaveFile(kLoginXml);
    }
    savedpassword::Wipe(password);
}

LRESULT CQuillonDlg::OnSysCommand(WPARAM wParam, LPARAM)
{
    if ((wParam & 0xFFF0) == kAboutCommand) {
        CAboutDlg about;
        about.DoModal();
        return 0;
    }
    return Default();
}

LRESULT CQuillonDlg::OnPaint(WPARAM, LPARAM)
{
    if (!::IsIconic(m_hWnd))
        return Default();
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT rc;
    ::GetClientRect(m_hWnd, &rc);
    const int cx = ::GetSystemMetrics(SM_CXICON), cy = ::GetSystemMetrics(SM_CYICON);
    ::DrawIcon(dc, (rc.right - rc.left - cx + 1) / 2, (rc.bottom - rc.top - cy + 1) / 2, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
    return 0;
}
