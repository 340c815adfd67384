// The log viewer: a modal window over the daily log files that follows the open file while the
// driver writes to it. Plain Win32 controls, nothing beyond the system's own libraries.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <shellapi.h>
#include <shlobj.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/viewers.h"
#include "platform/windows/modal_window.h"

namespace vantorel::platform {

namespace {

constexpr wchar_t kClassName[] = L"VantorelLogViewer";
constexpr int kFilesId = 101, kOpenDirId = 102, kEncodingId = 103, kLogId = 104;
constexpr UINT_PTR kTimerId = 1;
constexpr int kPanelHeight = 33;
// A log this large is shown from its end: an edit box with more is of no use to anyone.
constexpr LONGLONG kMaxShownBytes = 64ll << 20;

struct Encoding {
  const wchar_t* name;
  UINT codePage;
};
// Fixed code pages, not the system's current ones: the files are written on Russian systems.
constexpr Encoding kEncodings[] = {{L"UTF-8", 65001}, {L"ANSI", 1251}, {L"OEM", 866}};

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// Line breaks of any kind become CR LF, which is what a multi-line edit box shows.
std::wstring WithCrLf(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c == L'\r') {
      if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      out += L"\r\n";
    } else if (c == L'\n') {
      out += L"\r\n";
    } else if (c == L'\0') {
      out += L' ';  // would end the text in the box
    } else {
      out += c;
    }
  }
  return out;
}

class TfrmLog {
 public:
  explicit TfrmLog(std::wstring directory) : FLogDirectory(std::move(directory)) {
    if (!FLogDirectory.empty() && FLogDirectory.back() != L'\\' && FLogDirectory.back() != L'/') {
      FLogDirectory += L'\\';
    }
  }
  ~TfrmLog() {
    if (wnd_ && IsWindow(wnd_)) DestroyWindow(wnd_);
    if (font_) DeleteObject(font_);
    if (folderIcon_) DestroyIcon(folderIcon_);
  }
  TfrmLog(const TfrmLog&) = delete;
  TfrmLog& operator=(const TfrmLog&) = delete;

  void ShowModal() {
    win::RegisterClassOnce(kClassName, &TfrmLog::WndProc, LoadIconW(nullptr, IDI_INFORMATION));
    win::ModalOwner owner(win::HostOwner());
    owner_ = &owner;
    wnd_ = CreateWindowExW(0, kClassName, L"Просмотр лога", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner.get(),
                           nullptr, win::OwnInstance(), this);
    if (!wnd_) {
      throw std::runtime_error("Cannot create the log viewer window (error " +
                               std::to_string(GetLastError()) + ")");
    }
    win::PlaceCentred(wnd_, 884, 550);
    win::RunModalLoop(wnd_);
    owner_ = nullptr;
  }

 private:
  static LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      static_cast<TfrmLog*>(cs->lpCreateParams)->wnd_ = wnd;
    }
    auto* self = reinterpret_cast<TfrmLog*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    return self ? self->Handle(msg, wp, lp) : DefWindowProcW(wnd, msg, wp, lp);
  }

  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case WM_CREATE:
        FormCreate();
        return 0;
      case WM_SIZE:
        MoveWindow(mmoLog_, 0, kPanelHeight, LOWORD(lp),
                   HIWORD(lp) > kPanelHeight ? HIWORD(lp) - kPanelHeight : 0, TRUE);
        return 0;
      case WM_COMMAND: {
        int id = LOWORD(wp), code = HIWORD(wp);
        if ((id == kFilesId || id == kEncodingId) && code == CBN_SELCHANGE) {
          LoadLog();
        } else if (id == kFilesId && code == CBN_DROPDOWN) {
          RefreshFileList();
        } else if (id == kOpenDirId && code == BN_CLICKED) {
          ShellExecuteW(wnd_, L"explore", FLogDirectory.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        } else if (id == IDCANCEL) {
          PostMessageW(wnd_, WM_CLOSE, 0, 0);
        }
        return 0;
      }
      case WM_TIMER:
        if (wp == kTimerId) CheckFile();
        return 0;
      case WM_CLOSE:
        if (owner_) owner_->Release();
        DestroyWindow(wnd_);
        return 0;
      case WM_DESTROY:
        KillTimer(wnd_, kTimerId);
        return 0;
      case WM_NCDESTROY:
        SetWindowLongPtrW(wnd_, GWLP_USERDATA, 0);
        wnd_ = nullptr;
        break;
    }
    return DefWindowProcW(wnd_, msg, wp, lp);
  }

  HWND Child(const wchar_t* cls, DWORD style, DWORD exStyle, int id, int x, int y, int w, int h) {
    HWND child = CreateWindowExW(exStyle, cls, nullptr, WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                                 wnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 win::OwnInstance(), nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return child;
  }

  void FormCreate() {
    font_ = win::CreateWindowFont();
    SendMessageW(wnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    cbbLogFiles_ = Child(L"COMBOBOX", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_SORT, 0,
                         kFilesId, 8, 6, 257, 300);
    btnOpenDir_ = Child(L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON | BS_FLAT | BS_ICON, 0, kOpenDirId,
                        268, 5, 23, 24);
    // The shell's folder picture: the stock icon, else the one in shell32.dll (index 3).
    SHSTOCKICONINFO sii{};
    sii.cbSize = sizeof sii;
    if (SUCCEEDED(SHGetStockIconInfo(SIID_FOLDER, SHGSI_ICON | SHGSI_SMALLICON, &sii))) {
      folderIcon_ = sii.hIcon;
    }
    if (!folderIcon_) ExtractIconExW(L"shell32.dll", 3, nullptr, &folderIcon_, 1);
    if (folderIcon_) {
      SendMessageW(btnOpenDir_, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(folderIcon_));
    } else {
      SetWindowLongPtrW(btnOpenDir_, GWL_STYLE,
                        GetWindowLongPtrW(btnOpenDir_, GWL_STYLE) & ~BS_ICON);
      SetWindowTextW(btnOpenDir_, L"...");
    }
    cbbEncoding_ = Child(L"COMBOBOX", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, kEncodingId,
                         305, 6, 80, 200);
    for (const Encoding& e : kEncodings) {
      SendMessageW(cbbEncoding_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e.name));
    }
    SendMessageW(cbbEncoding_, CB_SETCURSEL, 0, 0);
    mmoLog_ = Child(L"EDIT",
                    WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                        ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                    WS_EX_CLIENTEDGE, kLogId, 0, kPanelHeight, 884, 550 - kPanelHeight);
    SendMessageW(mmoLog_, EM_SETLIMITTEXT, 0, 0);

    RefreshFileList();
    LRESULT count = SendMessageW(cbbLogFiles_, CB_GETCOUNT, 0, 0);
    // The names carry the date, so the last of the sorted list is today's file.
    if (count > 0) SendMessageW(cbbLogFiles_, CB_SETCURSEL, static_cast<WPARAM>(count - 1), 0);
    LoadLog();
    SetTimer(wnd_, kTimerId, 1000, nullptr);
  }

  std::wstring SelectedName() const {
    LRESULT sel = SendMessageW(cbbLogFiles_, CB_GETCURSEL, 0, 0);
    if (sel == CB_ERR) return {};
    LRESULT len = SendMessageW(cbbLogFiles_, CB_GETLBTEXTLEN, static_cast<WPARAM>(sel), 0);
    if (len == CB_ERR) return {};
    std::wstring name(static_cast<std::size_t>(len) + 1, L'\0');
    SendMessageW(cbbLogFiles_, CB_GETLBTEXT, static_cast<WPARAM>(sel),
                 reinterpret_cast<LPARAM>(name.data()));
    name.resize(static_cast<std::size_t>(len));
    return name;
  }

  // Files with the extension .log in any letter case. The selection survives the refresh, so
  // that opening the list without choosing does not leave the window following nothing.
  void RefreshFileList() {
    std::wstring selected = SelectedName();
    SendMessageW(cbbLogFiles_, CB_RESETCONTENT, 0, 0);
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileExW((FLogDirectory + L"*.*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::wstring name = found.cFileName;
        std::size_t dot = name.rfind(L'.');
        if (dot == std::wstring::npos) continue;
        std::wstring ext = name.substr(dot);
        CharLowerBuffW(ext.data(), static_cast<DWORD>(ext.size()));
        if (ext == L".log") {
          SendMessageW(cbbLogFiles_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        }
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    if (!selected.empty()) {
      LRESULT at = SendMessageW(cbbLogFiles_, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                reinterpret_cast<LPARAM>(selected.c_str()));
      if (at != CB_ERR) SendMessageW(cbbLogFiles_, CB_SETCURSEL, static_cast<WPARAM>(at), 0);
    }
  }

  UINT SelectedCodePage() const {
    LRESULT sel = SendMessageW(cbbEncoding_, CB_GETCURSEL, 0, 0);
    return sel >= 0 && sel < 3 ? kEncodings[sel].codePage : 65001;
  }

  void LoadLog() {
    std::wstring name = SelectedName();
    if (name.empty()) return;
    // Shared for reading, writing and deleting: the driver goes on appending while we read.
    FileHandle file(CreateFileW((FLogDirectory + name).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return;
    GetFileTime(file.get(), nullptr, nullptr, &FLogLastWriteTime);
    LARGE_INTEGER size{};
    GetFileSizeEx(file.get(), &size);
    LONGLONG toRead = size.QuadPart;
    if (toRead > kMaxShownBytes) {
      LARGE_INTEGER from{};
      from.QuadPart = toRead - kMaxShownBytes;
      SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN);
      toRead = kMaxShownBytes;
    }
    std::string bytes(static_cast<std::size_t>(toRead), '\0');
    DWORD total = 0;
    while (total < bytes.size()) {
      DWORD got = 0;
      if (!ReadFile(file.get(), bytes.data() + total, static_cast<DWORD>(bytes.size() - total),
                    &got, nullptr) ||
          got == 0) {
        break;
      }
      total += got;
    }
    bytes.resize(total);

    UINT cp = SelectedCodePage();
    std::string_view data = bytes;
    if (cp == 65001 && data.substr(0, 3) == "\xEF\xBB\xBF") data.remove_prefix(3);
    std::wstring text;
    if (!data.empty()) {
      int n = MultiByteToWideChar(cp, 0, data.data(), static_cast<int>(data.size()), nullptr, 0);
      text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
      if (n > 0) {
        MultiByteToWideChar(cp, 0, data.data(), static_cast<int>(data.size()), text.data(), n);
      }
    }
    std::wstring shown = WithCrLf(text);
    SendMessageW(mmoLog_, WM_SETREDRAW, FALSE, 0);
    SetWindowTextW(mmoLog_, shown.c_str());
    SendMessageW(mmoLog_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(mmoLog_, nullptr, TRUE);
  }

  // Every second: a file whose write time moved is read again, the caret kept where it was.
  void CheckFile() {
    std::wstring name = SelectedName();
    if (name.empty()) return;
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExW((FLogDirectory + name).c_str(), GetFileExInfoStandard, &info)) return;
    if (CompareFileTime(&info.ftLastWriteTime, &FLogLastWriteTime) == 0) return;
    DWORD start = 0, end = 0;
    SendMessageW(mmoLog_, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    LoadLog();
    SendMessageW(mmoLog_, EM_SETSEL, start, end);
    SendMessageW(mmoLog_, EM_SCROLLCARET, 0, 0);
    // An open drop-down list would close under the user's hand.
    if (!SendMessageW(cbbLogFiles_, CB_GETDROPPEDSTATE, 0, 0) &&
        !SendMessageW(cbbEncoding_, CB_GETDROPPEDSTATE, 0, 0) && GetActiveWindow() == wnd_) {
      SetFocus(mmoLog_);
    }
  }

  std::wstring FLogDirectory;
  FILETIME FLogLastWriteTime{};
  HWND wnd_ = nullptr;
  HWND cbbLogFiles_ = nullptr, btnOpenDir_ = nullptr, cbbEncoding_ = nullptr, mmoLog_ = nullptr;
  HFONT font_ = nullptr;
  HICON folderIcon_ = nullptr;
  win::ModalOwner* owner_ = nullptr;
};

}  // namespace

void ShowLogViewer(const std::string& logDirectory) {
  TfrmLog form(win::Wide(logDirectory));
  form.ShowModal();
}

}  // namespace vantorel::platform
