// skin_preview [skin file|none] [milliseconds] [icon file]
// Shows the five skinned dialogs side by side, in a few telling states (a button under the
// mouse, one pressed, one disabled, keyboard focus shown), for looking at and screenshots.
// Not a test: it checks nothing and ends after the given time (default 5 s).
#include <windows.h>
#include <commctrl.h>
#include <cstdlib>
#include <cstring>
#include "SkinDialogs.h"
#include "SkinFeature.h"
#include "SkinTestSupport.h"

using skintest::SkinnedDlg;

namespace {

void Place(HWND h, int x, int y)
{
    ::SetWindowPos(h, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ShowFocus(HWND dlg, int id)
{
    ::SendMessageA(dlg, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    ::SetFocus(::GetDlgItem(dlg, id));
}

}  // namespace

int main(int argc, char** argv)
{
    const char* file = argc > 1 ? argv[1] : "superxp.rss";
    const DWORD hold = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 5000;
    HICON icon = argc > 3 ? static_cast<HICON>(::LoadImageA(nullptr, argv[3], IMAGE_ICON, 32, 32, LR_LOADFROMFILE)) : nullptr;
    if (!icon)
        icon = ::LoadIconA(nullptr, IDI_APPLICATION);
    INITCOMMONCONTROLSEX icc{sizeof icc, 0xFF | ICC_USEREX_CLASSES};
    ::InitCommonControlsEx(&icc);
    SkinInit();
    if (std::strcmp(file, "none") != 0)
        SkinLoad(file, 0);

    SkinnedDlg login(IDD_LOGIN), phone(IDD_PHONE), audio(IDD_AUDIO), party(IDD_PARTY), help(IDD_SOUNDHELP);
    for (SkinnedDlg* d : {&login, &phone, &audio, &party, &help})
        d->Create();
    // The program gives its two main windows their icon while they initialise.
    for (SkinnedDlg* d : {&login, &phone})
        ::SendMessageA(*d, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    // Row by row, without overlapping: login, phone, sound quality; audio and multi-party
    // under the first and the last of them.
    RECT rl{}, rp{}, rh{};
    ::GetWindowRect(login, &rl);
    ::GetWindowRect(phone, &rp);
    ::GetWindowRect(help, &rh);
    const int gap = 10;
    const int phoneX = gap + (rl.right - rl.left) + gap, helpX = phoneX + (rp.right - rp.left) + gap;
    Place(login, gap, gap);
    Place(phone, phoneX, gap);
    Place(help, helpX, gap);
    Place(audio, gap, gap + (rl.bottom - rl.top) + gap);
    Place(party, helpX, gap + (rh.bottom - rh.top) + gap);

    ::SetDlgItemTextA(login, 1001, "secret");
    ::CheckDlgButton(login, 1002, BST_CHECKED);
    ::SetDlgItemTextA(login, 1033, "请输入帐号!");
    ShowFocus(login, 1004);

    ::SetDlgItemTextA(phone, 1030, "80012345");
    ::SetDlgItemTextA(phone, 1136, "12.50");
    ::SetDlgItemTextA(phone, 1040, "对方正在震铃");
    ::SetDlgItemTextA(phone, 1041, "00:01:23");
    ::ShowWindow(::GetDlgItem(phone, 1078), SW_SHOW);
    ::SendDlgItemMessageA(phone, 1045, PBM_SETPOS, 60, 0);
    ::SendDlgItemMessageA(phone, 1046, PBM_SETPOS, 35, 0);
    ::SendDlgItemMessageA(phone, 1021, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
    ::SendDlgItemMessageA(phone, 1022, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
    ::SendDlgItemMessageA(phone, 1021, TBM_SETPOS, TRUE, 30);
    ::SendDlgItemMessageA(phone, 1022, TBM_SETPOS, TRUE, 50);
    ::SendMessageA(::GetDlgItem(phone, 1012), WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));     // under the mouse
    ::SendMessageA(::GetDlgItem(phone, 1031), BM_SETSTATE, TRUE, 0);                 // held down
    ::SendMessageA(::GetDlgItem(phone, 1024), WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));     // a link under the mouse

    for (int id : {1038, 1039}) {
        ::SendDlgItemMessageA(audio, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(id == 1038 ? "Speakers" : "Microphone"));
        ::SendDlgItemMessageA(audio, id, CB_SETCURSEL, 0, 0);
    }
    ::CheckDlgButton(audio, 1002, BST_CHECKED);
    ::EnableWindow(::GetDlgItem(audio, 1035), FALSE);

    ::SetDlgItemTextA(party, 1001, "01088886666");
    ::SetDlgItemTextA(party, 1050, "00:02:10");
    ::SetDlgItemTextA(party, 1002, "13912345678");
    ::SetDlgItemTextA(party, 1051, "正在震铃");
    ::EnableWindow(::GetDlgItem(party, 1038), FALSE);
    ::EnableWindow(::GetDlgItem(party, 1039), FALSE);

    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < hold) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    for (SkinnedDlg* d : {&login, &phone, &audio, &party, &help})
        d->DestroyWindow();
    return SkinExit();
}
