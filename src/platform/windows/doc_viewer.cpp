// The help window: a modal window that hosts the system's WebBrowser control. The control is
// embedded with a minimal OLE container (client site, in-place site and frame) written here, so
// that no framework is needed; the page is opened with IWebBrowser2::Navigate2.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <exdisp.h>
#include <ole2.h>
#include <oleidl.h>

#include <stdexcept>
#include <string>

#include "platform/viewers.h"
#include "platform/windows/modal_window.h"

namespace vantorel::platform {

namespace {

constexpr wchar_t kClassName[] = L"VantorelDocView";

std::string HexCode(HRESULT hr) {
  char buf[16];
  wsprintfA(buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

template <class T>
void ReleaseAndClear(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

// The container side of the embedded browser. Reference-counted on the heap: the control may
// hold on to it until it has been closed.
class BrowserSite final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame {
 public:
  explicit BrowserSite(HWND wnd) : wnd_(wnd) {}

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite)) {
      *out = static_cast<IOleInPlaceSite*>(this);
    } else if (IsEqualIID(riid, IID_IOleInPlaceUIWindow) ||
               IsEqualIID(riid, IID_IOleInPlaceFrame)) {
      *out = static_cast<IOleInPlaceFrame*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  // IOleClientSite
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow (for both the in-place site and the frame)
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* out) override {
    if (!out) return E_POINTER;
    *out = wnd_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                             LPRECT pos, LPRECT clip,
                                             LPOLEINPLACEFRAMEINFO info) override {
    if (frame) {
      *frame = static_cast<IOleInPlaceFrame*>(this);
      AddRef();
    }
    if (doc) *doc = nullptr;
    if (pos) GetClientRect(wnd_, pos);
    if (clip) GetClientRect(wnd_, clip);
    if (info) {
      info->fMDIApp = FALSE;
      info->hwndFrame = wnd_;
      info->haccel = nullptr;
      info->cAccelEntries = 0;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

  // IOleInPlaceUIWindow and IOleInPlaceFrame: no tool space, menus or accelerators of ours.
  HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override {
    return INPLACE_E_NOTOOLSPACE;
  }
  HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

 private:
  ~BrowserSite() = default;
  HWND wnd_;
  LONG refs_ = 1;
};

class TfrmDocView {
 public:
  TfrmDocView(std::wstring htmlPath, std::wstring caption)
      : path_(std::move(htmlPath)), caption_(caption.empty() ? L"Документ" : std::move(caption)) {}
  ~TfrmDocView() {
    CloseBrowser();
    if (wnd_ && IsWindow(wnd_)) DestroyWindow(wnd_);
    if (font_) DeleteObject(font_);
  }
  TfrmDocView(const TfrmDocView&) = delete;
  TfrmDocView& operator=(const TfrmDocView&) = delete;

  void ShowModal() {
    win::RegisterClassOnce(kClassName, &TfrmDocView::WndProc, LoadIconW(nullptr, IDI_QUESTION));
    win::ModalOwner owner(win::HostOwner());
    owner_ = &owner;
    wnd_ = CreateWindowExW(0, kClassName, caption_.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner.get(),
                           nullptr, win::OwnInstance(), this);
    if (!wnd_) {
      throw std::runtime_error("Cannot create the help window (error " +
                               std::to_string(GetLastError()) + ")");
    }
    font_ = win::CreateWindowFont();
    SendMessageW(wnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    win::PlaceCentred(wnd_, 633, 425);
    OpenBrowser();
    win::RunModalLoop(wnd_, [this](MSG& msg) { return TranslateBrowserKey(msg); });
    owner_ = nullptr;
  }

 private:
  static LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      static_cast<TfrmDocView*>(cs->lpCreateParams)->wnd_ = wnd;
    }
    auto* self = reinterpret_cast<TfrmDocView*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    return self ? self->Handle(msg, wp, lp) : DefWindowProcW(wnd, msg, wp, lp);
  }

  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case WM_SIZE:
        Resize();
        return 0;
      case WM_CLOSE:
        if (owner_) owner_->Release();
        CloseBrowser();
        DestroyWindow(wnd_);
        return 0;
      case WM_NCDESTROY:
        SetWindowLongPtrW(wnd_, GWLP_USERDATA, 0);
        wnd_ = nullptr;
        break;
    }
    return DefWindowProcW(wnd_, msg, wp, lp);
  }

  void OpenBrowser() {
    auto fail = [](const char* what, HRESULT hr) {
      throw std::runtime_error(std::string("The embedded web browser is not available: ") + what +
                               " failed with " + HexCode(hr));
    };
    site_ = new BrowserSite(wnd_);
    HRESULT hr = CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                  reinterpret_cast<void**>(&object_));
    if (FAILED(hr)) fail("creating the control", hr);
    hr = object_->SetClientSite(static_cast<IOleClientSite*>(site_));
    if (FAILED(hr)) fail("attaching the control", hr);
    RECT r{};
    GetClientRect(wnd_, &r);
    hr = object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(site_), 0,
                         wnd_, &r);
    if (FAILED(hr)) fail("activating the control", hr);
    hr = object_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_));
    if (FAILED(hr)) fail("reaching the browser", hr);
    // Script errors of a page must not pop up dialogs of their own.
    browser_->put_Silent(VARIANT_TRUE);
    Resize();
    VARIANT url;
    VariantInit(&url);
    url.vt = VT_BSTR;
    url.bstrVal = SysAllocString(path_.c_str());
    VARIANT empty;
    VariantInit(&empty);
    hr = browser_->Navigate2(&url, &empty, &empty, &empty, &empty);
    VariantClear(&url);
    if (FAILED(hr)) fail("opening the page", hr);
  }

  void Resize() {
    if (!object_) return;
    IOleInPlaceObject* inPlace = nullptr;
    if (SUCCEEDED(
            object_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
      RECT r{};
      GetClientRect(wnd_, &r);
      inPlace->SetObjectRects(&r, &r);
      inPlace->Release();
    }
  }

  // Keys for the page (Tab, arrows, Ctrl+C) go to the control before the window sees them.
  bool TranslateBrowserKey(MSG& msg) {
    if (!object_ || msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST) return false;
    if (!IsChild(wnd_, msg.hwnd)) return false;
    IOleInPlaceActiveObject* active = nullptr;
    if (FAILED(object_->QueryInterface(IID_IOleInPlaceActiveObject,
                                       reinterpret_cast<void**>(&active)))) {
      return false;
    }
    bool handled = active->TranslateAccelerator(&msg) == S_OK;
    active->Release();
    return handled;
  }

  void CloseBrowser() {
    ReleaseAndClear(browser_);
    if (object_) {
      object_->Close(OLECLOSE_NOSAVE);
      object_->SetClientSite(nullptr);
    }
    ReleaseAndClear(object_);
    ReleaseAndClear(site_);
  }

  std::wstring path_, caption_;
  HWND wnd_ = nullptr;
  HFONT font_ = nullptr;
  BrowserSite* site_ = nullptr;
  IOleObject* object_ = nullptr;
  IWebBrowser2* browser_ = nullptr;
  win::ModalOwner* owner_ = nullptr;
};

// The control lives in a single-threaded apartment: the host's thread is one already (S_FALSE),
// or becomes one for the time of the window.
class OleScope {
 public:
  OleScope() : hr_(OleInitialize(nullptr)) {
    if (hr_ == RPC_E_CHANGED_MODE) {
      throw std::runtime_error(
          "The help window needs a single-threaded COM apartment, and this thread is not one");
    }
    if (FAILED(hr_)) throw std::runtime_error("OLE cannot start: " + HexCode(hr_));
  }
  ~OleScope() { OleUninitialize(); }
  OleScope(const OleScope&) = delete;
  OleScope& operator=(const OleScope&) = delete;

 private:
  HRESULT hr_;
};

}  // namespace

void ShowDocument(const std::string& htmlPath, const std::string& caption) {
  OleScope ole;
  TfrmDocView form(win::Wide(htmlPath), win::Wide(caption));
  form.ShowModal();
}

}  // namespace vantorel::platform
