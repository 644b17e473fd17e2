// CExplorer1: the phone window's ad panel. It hosts the WebBrowser control inside a
// placeholder child window of the dialog through a small in-place OLE container of our
// own (client site, in-place site and frame), and is used only to navigate to one page.
//
// Where the control cannot be created (no OLE on the thread, no browser installed) the
// placeholder simply stays blank; nothing is shown to the user.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <exdisp.h>
#include <string>

class CExplorer1 {
public:
    CExplorer1();
    ~CExplorer1();
    CExplorer1(const CExplorer1&) = delete;
    CExplorer1& operator=(const CExplorer1&) = delete;

    // Creates the control inside `hPlaceholder`, filling its client area, and activates
    // it in place. False (and nothing held) when that is not possible.
    bool Create(HWND hPlaceholder);
    // Navigates to `url` (GBK text) with no flags, target, post data or headers.
    // Does nothing when the control was not created.
    void Navigate(const std::string& url);
    // Deactivates and releases the control; the placeholder stays.
    void Destroy();

    bool IsCreated() const { return m_pBrowser != nullptr; }
    HWND GetSafeHwnd() const { return m_hWnd; }

private:
    class Site;
    class Frame;

    HWND m_hWnd;                // the placeholder
    Site* m_pSite;
    Frame* m_pFrame;
    IOleObject* m_pObject;
    IWebBrowser2* m_pBrowser;
};
