#include "Explorer1.h"
#include "WinText.h"
#include <vector>

namespace {
// The WebBrowser control and its automation interface.
const CLSID kClsidWebBrowser = {0x8856F961, 0x340A, 0x11D0, {0xA9, 0x6B, 0x00, 0xC0, 0x4F, 0xD7, 0x05, 0xA2}};
const IID kIidWebBrowser2 = {0xD30C1661, 0xCDAF, 0x11D0, {0x8A, 0x3E, 0x00, 0xC0, 0x4F, 0xC9, 0xE2, 0x6E}};

// Reference counting shared by the container's two small objects.
class RefCounted {
protected:
    ULONG AddRefImpl() { return static_cast<ULONG>(::InterlockedIncrement(&m_nRefs)); }
    ULONG ReleaseImpl()
    {
        const LONG n = ::InterlockedDecrement(&m_nRefs);
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }
    virtual ~RefCounted() = default;
private:
    LONG m_nRefs = 1;
};
}

// The frame the control sees around it: the dialog. It offers no menus, tools or borders.
class CExplorer1::Frame : public IOleInPlaceFrame, private RefCounted {
public:
    explicit Frame(HWND hFrame) : m_hFrame(hFrame) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleWindow || riid == IID_IOleInPlaceUIWindow ||
            riid == IID_IOleInPlaceFrame) {
            *ppv = static_cast<IOleInPlaceFrame*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    STDMETHODIMP GetWindow(HWND* phwnd) override
    {
        if (!phwnd)
            return E_POINTER;
        *phwnd = m_hFrame;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

private:
    HWND m_hFrame;
};

// The place of the control: the placeholder window, whose client area it fills.
class CExplorer1::Site : public IOleClientSite, public IOleInPlaceSite, private RefCounted {
public:
    Site(HWND hPlaceholder, Frame* pFrame) : m_hPlaceholder(hPlaceholder), m_pFrame(pFrame)
    {
        m_pFrame->AddRef();
    }
    ~Site() override
    {
        if (m_pInPlace)
            m_pInPlace->Release();
        m_pFrame->Release();
    }
    void SetInPlaceObject(IOleInPlaceObject* pInPlace)
    {
        if (m_pInPlace)
            m_pInPlace->Release();
        m_pInPlace = pInPlace;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *ppv = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
            *ppv = static_cast<IOleInPlaceSite*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** ppContainer) override
    {
        if (ppContainer)
            *ppContainer = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP GetWindow(HWND* phwnd) override
    {
        if (!phwnd)
            return E_POINTER;
        *phwnd = m_hPlaceholder;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                  LPRECT lprcClipRect, LPOLEINPLACEFRAMEINFO lpFrameInfo) override
    {
        if (!ppFrame || !ppDoc || !lprcPosRect || !lprcClipRect || !lpFrameInfo)
            return E_POINTER;
        *ppFrame = m_pFrame;
        m_pFrame->AddRef();
        *ppDoc = nullptr;
        ::GetClientRect(m_hPlaceholder, lprcPosRect);
        *lprcClipRect = *lprcPosRect;
        lpFrameInfo->fMDIApp = FALSE;
        m_pFrame->GetWindow(&lpFrameInfo->hwndFrame);
        lpFrameInfo->haccel = nullptr;
        lpFrameInfo->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    STDMETHODIMP OnPosRectChange(LPCRECT lprcPosRect) override
    {
        if (m_pInPlace && lprcPosRect)
            m_pInPlace->SetObjectRects(lprcPosRect, lprcPosRect);
        return S_OK;
    }

private:
    HWND m_hPlaceholder;
    Frame* m_pFrame;
    IOleInPlaceObject* m_pInPlace = nullptr;
};

CExplorer1::CExplorer1()
    : m_hWnd(nullptr), m_pSite(nullptr), m_pFrame(nullptr), m_pObject(nullptr), m_pBrowser(nullptr)
{
}

CExplorer1::~CExplorer1() { Destroy(); }

bool CExplorer1::Create(HWND hPlaceholder)
{
    Destroy();
    if (!hPlaceholder)
        return false;
    m_hWnd = hPlaceholder;

    IOleObject* pObject = nullptr;
    if (FAILED(::CoCreateInstance(kClsidWebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                  reinterpret_cast<void**>(&pObject))) || !pObject)
        return false;
    m_pObject = pObject;
    m_pFrame = new Frame(::GetParent(hPlaceholder) ? ::GetParent(hPlaceholder) : hPlaceholder);
    m_pSite = new Site(hPlaceholder, m_pFrame);

    RECT rc;
    ::GetClientRect(hPlaceholder, &rc);
    IOleClientSite* pClientSite = static_cast<IOleClientSite*>(m_pSite);
    if (FAILED(m_pObject->SetClientSite(pClientSite))) {
        Destroy();
        return false;
    }
    ::OleSetContainedObject(m_pObject, TRUE);
    if (FAILED(m_pObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, pClientSite, 0, hPlaceholder, &rc))) {
        Destroy();
        return false;
    }
    IOleInPlaceObject* pInPlace = nullptr;
    if (SUCCEEDED(m_pObject->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&pInPlace))) && pInPlace) {
        pInPlace->SetObjectRects(&rc, &rc);
        m_pSite->SetInPlaceObject(pInPlace);
    }
    IWebBrowser2* pBrowser = nullptr;
    if (FAILED(m_pObject->QueryInterface(kIidWebBrowser2, reinterpret_cast<void**>(&pBrowser))) || !pBrowser) {
        Destroy();
        return false;
    }
    m_pBrowser = pBrowser;
    m_pBrowser->put_Silent(VARIANT_TRUE);       // script errors and the like raise no boxes
    return true;
}

void CExplorer1::Navigate(const std::string& url)
{
    if (!m_pBrowser)
        return;
    const std::wstring wide = wintext::Wide(url);
    BSTR bstrUrl = ::SysAllocString(wide.c_str());
    if (!bstrUrl)
        return;
    VARIANT none;
    ::VariantInit(&none);
    m_pBrowser->Navigate(bstrUrl, &none, &none, &none, &none);
    ::SysFreeString(bstrUrl);
}

void CExplorer1::Destroy()
{
    if (m_pBrowser) {
        m_pBrowser->Stop();
        m_pBrowser->Release();
        m_pBrowser = nullptr;
    }
    if (m_pSite)
        m_pSite->SetInPlaceObject(nullptr);
    if (m_pObject) {
        IOleInPlaceObject* pInPlace = nullptr;
        if (SUCCEEDED(m_pObject->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&pInPlace))) &&
            pInPlace) {
            pInPlace->InPlaceDeactivate();
            pInPlace->Release();
        }
        m_pObject->Close(OLECLOSE_NOSAVE);
        m_pObject->SetClientSite(nullptr);
        m_pObject->Release();
        m_pObject = nullptr;
    }
    if (m_pSite) {
        m_pSite->Release();
        m_pSite = nullptr;
    }
    if (m_pFrame) {
        m_pFrame->Release();
        m_pFrame = nullptr;
    }
    m_hWnd = nullptr;
}
