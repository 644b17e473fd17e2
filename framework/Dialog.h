// CDialog: a dialog made from a resource template, run modally through our own
// message loop, with handlers bound to control ids, notifications, timers and messages.
//
// How a message reaches a handler (the one rule, written once here):
//   1. The dialog window is subclassed the moment it is created, before WM_NCCREATE,
//      so every message of the dialog passes through CDialog first.
//   2. A message bound with OnMessage() calls its handler, and the handler's return value
//      is the message's result. A handler that also wants the system's default behaviour
//      calls Default() and returns (or ignores) its value.
//   3. WM_COMMAND goes to the handler bound with OnCommand(id) for BN_CLICKED (code 0),
//      or OnNotify(id, code) for other codes; WM_NOTIFY to OnNotify(id, code) as well.
//      Unbound IDOK and IDCANCEL call the virtual OnOK() / OnCancel(), which end the dialog.
//   4. WM_TIMER goes to the handler bound with OnTimerId(id); a timer without one is ignored.
//   5. Everything else goes to the default dialog procedure (DefDlgProc).
// WM_NCCREATE calls the virtual OnNcCreate(); WM_INITDIALOG the virtual OnInitDialog();
// WM_DESTROY the virtual OnDestroy(), before the default handling. WM_DPICHANGED, unless
// bound, moves the window to the rectangle the system suggests and then calls the virtual
// OnDpiChanged(), where a window re-makes the fonts it made itself.
//
// Size: a dialog that would be larger than the work area of the monitor it opens on is made
// with a smaller font (DialogFit.h), and one reaching past the work area is moved inside.
//
// The modal loop: DoModal() disables the owner, shows the dialog and runs
//   GetMessage -> PreTranslateMessage (virtual; true swallows the message)
//              -> IsDialogMessage (Tab, arrows, Enter, Esc) -> TranslateMessage/DispatchMessage
// until EndDialog() is called; then it re-enables the owner, hides and destroys the window
// and returns the result. WM_QUIT ends the loop too and is posted again for the outer loop.
#pragma once
#include "Wnd.h"
#include <map>
#include <utility>

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally; returns the value given to EndDialog, or -1 when the
    // dialog could not be created or the loop ended on WM_QUIT.
    INT_PTR DoModal();
    // Creates the dialog modeless and visible (tests drive dialogs this way).
    BOOL Create(HWND hOwner = nullptr);
    // Ends a modal run (hides the window; DoModal destroys it) or destroys a modeless dialog.
    void EndDialog(INT_PTR nResult);
    BOOL DestroyWindow();

    UINT GetTemplateId() const { return m_nIDTemplate; }
    // `px` pixels at 96 DPI at the scale this window is drawn at: the DPI of its monitor,
    // times the share of its template's font size that its font got.
    int ScalePixels(int px) const;
    bool IsModalRunning() const { return m_bModal && !m_bEnded; }

    // Registered message that carries CWnd::PostTask tasks.
    static UINT TaskMessage();
    // The object behind a window made by CDialog, or null.
    static CDialog* FromHandle(HWND hWnd);

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual BOOL OnNcCreate(LPCREATESTRUCTW lpcs);      // default: the system's handling
    virtual BOOL PreTranslateMessage(MSG* /*pMsg*/) { return FALSE; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    virtual void OnDestroy() {}
    virtual void OnDpiChanged() {}

    // Handler binding; call from the constructor.
    using Handler = std::function<void()>;
    using MsgHandler = std::function<LRESULT(WPARAM, LPARAM)>;
    void OnCommand(int nID, Handler h) { m_commands[{nID, BN_CLICKED}] = std::move(h); }
    void OnNotify(int nID, int nCode, Handler h) { m_commands[{nID, nCode}] = std::move(h); }
    void OnTimerId(UINT_PTR nIDEvent, Handler h) { m_timers[nIDEvent] = std::move(h); }
    void OnMessage(UINT msg, MsgHandler h) { m_messages[msg] = std::move(h); }

    // The default handling of the message being handled now.
    LRESULT Default();

    CWnd* m_pParentWnd;

private:
    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM);
    static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK CreateHook(int, WPARAM, LPARAM);
    HWND CreateFromTemplate(HWND hOwner);
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    bool Dispatch(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
    void Detach();

    struct CurrentMsg { UINT msg; WPARAM wParam; LPARAM lParam; };

    UINT m_nIDTemplate;
    WORD m_nTemplatePoints = 0;         // the font size of the template, 0 when unknown
    WNDPROC m_pfnSuper = nullptr;
    const CurrentMsg* m_pCurrent = nullptr;
    bool m_bModal = false;
    bool m_bEnded = false;
    INT_PTR m_nResult = -1;
    std::map<std::pair<int, int>, Handler> m_commands;
    std::map<UINT_PTR, Handler> m_timers;
    std::map<UINT, MsgHandler> m_messages;
};
