// What the driver's two windows share: a modal loop owned by the host's window, the font, the
// placement and the text conversions. Internal to platform/windows.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace vantorel::platform::win {

inline std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// The module this code lives in (the add-in DLL), which owns the window classes.
inline HINSTANCE OwnInstance() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnInstance), &module);
  return module;
}

// Tahoma, 13 pixels high, as both windows use.
inline HFONT CreateWindowFont() {
  return CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

inline void RegisterClassOnce(const wchar_t* name, WNDPROC proc, HICON icon) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = OwnInstance();
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = icon;
  wc.lpszClassName = name;
  // A second registration fails harmlessly: the class stays as it was.
  RegisterClassExW(&wc);
}

// The window's outer size for the client size, centred in the work area of the main screen.
inline void PlaceCentred(HWND wnd, int clientWidth, int clientHeight) {
  RECT r{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrW(wnd, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(wnd, GWL_EXSTYLE)));
  RECT work{};
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
    work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }
  int w = r.right - r.left, h = r.bottom - r.top;
  int x = work.left + (work.right - work.left - w) / 2;
  int y = work.top + (work.bottom - work.top - h) / 2;
  SetWindowPos(wnd, nullptr, x < work.left ? work.left : x, y < work.top ? work.top : y, w, h,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

// The host's window that owns a modal window of ours: the active window of this thread.
inline HWND HostOwner() {
  HWND active = GetActiveWindow();
  if (!active) {
    HWND fg = GetForegroundWindow();
    if (fg && GetWindowThreadProcessId(fg, nullptr) == GetCurrentThreadId()) active = fg;
  }
  return active ? GetAncestor(active, GA_ROOT) : nullptr;
}

// Disables the owner while the modal window is up. The owner is enabled again before the
// window is destroyed, so that the system activates the owner and not some other program.
class ModalOwner {
 public:
  explicit ModalOwner(HWND owner) : owner_(owner) {
    if (owner_ && IsWindowEnabled(owner_)) {
      EnableWindow(owner_, FALSE);
      disabled_ = true;
    }
  }
  ~ModalOwner() { Release(); }
  ModalOwner(const ModalOwner&) = delete;
  ModalOwner& operator=(const ModalOwner&) = delete;
  void Release() {
    if (disabled_) EnableWindow(owner_, TRUE);
    disabled_ = false;
  }
  HWND get() const { return owner_; }

 private:
  HWND owner_;
  bool disabled_ = false;
};

// Runs messages until `wnd` is destroyed. Escape closes the window. `preTranslate` sees each
// message first and returns true when it has handled it. A WM_QUIT ends the loop and is posted
// again for the host's own loop.
inline void RunModalLoop(HWND wnd, const std::function<bool(MSG&)>& preTranslate = {}) {
  ShowWindow(wnd, SW_SHOWNORMAL);
  UpdateWindow(wnd);
  SetForegroundWindow(wnd);
  MSG msg{};
  while (IsWindow(wnd)) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got == -1) break;
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE &&
        (msg.hwnd == wnd || IsChild(wnd, msg.hwnd))) {
      // A drop-down list that is open takes the key itself.
      wchar_t cls[16] = {};
      GetClassNameW(msg.hwnd, cls, 16);
      bool droppedList =
          lstrcmpiW(cls, L"ComboBox") == 0 && SendMessageW(msg.hwnd, CB_GETDROPPEDSTATE, 0, 0) != 0;
      if (!droppedList) {
        PostMessageW(wnd, WM_CLOSE, 0, 0);
        continue;
      }
    }
    if (preTranslate && preTranslate(msg)) continue;
    if (IsDialogMessageW(wnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace vantorel::platform::win
