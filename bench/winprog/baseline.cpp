// An empty dialog program that starts what the phone program's platform parts start:
// OLE, the common controls and the WinMM device lists. Its memory and CPU are the
// floor the phone program is measured against. It runs until its window is closed.
// With QUILLON_BASELINE_WAVEIN=1 in its environment it also opens and closes the default
// wave-in device once, as the phone window does to find the microphone's mixer: on Wine
// that starts WinMM's device thread and the PulseAudio session, which then stay.
#include <windows.h>
#include <commctrl.h>
#include <mmsystem.h>
#include <ole2.h>

namespace {

INT_PTR CALLBACK Proc(HWND h, UINT msg, WPARAM, LPARAM)
{
    if (msg == WM_CLOSE) {
        ::DestroyWindow(h);
        return TRUE;
    }
    if (msg == WM_DESTROY) {
        ::PostQuitMessage(0);
        return TRUE;
    }
    return msg == WM_INITDIALOG;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    ::OleInitialize(nullptr);
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES | ICC_USEREX_CLASSES};
    ::InitCommonControlsEx(&icc);
    for (UINT i = 0, n = ::waveOutGetNumDevs(); i < n; ++i) {
        WAVEOUTCAPSW caps;
        ::waveOutGetDevCapsW(i, &caps, sizeof caps);
    }
    for (UINT i = 0, n = ::waveInGetNumDevs(); i < n; ++i) {
        WAVEINCAPSW caps;
        ::waveInGetDevCapsW(i, &caps, sizeof caps);
    }

    char wavein[8] = {0};
    if (::GetEnvironmentVariableA("QUILLON_BASELINE_WAVEIN", wavein, sizeof wavein) && wavein[0] == '1') {
        WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
        HWAVEIN in = nullptr;
        if (::waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR)
            ::waveInClose(in);
    }

    // A dialog template in memory: one caption, no controls.
    struct {
        DLGTEMPLATE t;
        WORD menu, cls;
        wchar_t title[16];
    } tpl = {};
    tpl.t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_CENTER;
    tpl.t.cx = 200;
    tpl.t.cy = 100;
    lstrcpyW(tpl.title, L"quillon baseline");
    HWND h = ::CreateDialogIndirectParamW(instance, &tpl.t, nullptr, Proc, 0);
    if (!h)
        return 1;
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(h, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    ::OleUninitialize();
    return 0;
}
