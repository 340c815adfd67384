#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <aclapi.h>
#include <shlobj.h>

#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace vantorel::platform {

namespace {

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

std::string ErrorText(DWORD err) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n && text ? Narrow(text) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && static_cast<unsigned char>(out.back()) <= ' ') out.pop_back();
  return out + " (error " + std::to_string(err) + ")";
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, DWORD err) {
  throw std::runtime_error(what + " '" + path + "': " + ErrorText(err));
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

struct Handle {
  HANDLE h;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

}  // namespace

// No fallback: when the system cannot name its common data folder something is badly wrong, and
// the temporary folder is no place every user of the machine can find the logs.
std::string CommonDataFolder() {
  wchar_t buf[MAX_PATH + 1] = {};
  HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf);
  if (FAILED(hr) || buf[0] == L'\0')
    throw std::runtime_error("Cannot find the common application data folder: " +
                             ErrorText(static_cast<DWORD>(hr)));
  std::string out = Narrow(buf);
  while (out.size() > 3 && (out.back() == '\\' || out.back() == '/')) out.pop_back();
  return out;
}

char PathSeparator() { return '\\'; }

bool DirectoryExists(const std::string& path) {
  DWORD attr = GetFileAttributesW(Wide(path).c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

void CreateDirectories(const std::string& path) {
  if (path.empty()) throw std::runtime_error("Cannot create a folder with an empty name");
  std::wstring w = Wide(path);
  // Skip the root: "C:\" or "\\server\share\" cannot be created.
  std::size_t start = 0;
  if (w.size() >= 2 && IsSeparator(w[0]) && IsSeparator(w[1])) {
    int parts = 0;
    start = 2;
    while (start < w.size() && parts < 2) {
      if (IsSeparator(w[start])) ++parts;
      ++start;
    }
  } else if (w.size() >= 2 && w[1] == L':') {
    start = w.size() > 2 && IsSeparator(w[2]) ? 3 : 2;
  }
  for (std::size_t i = start; i <= w.size(); ++i) {
    if (i < w.size() && !IsSeparator(w[i])) continue;
    if (i == 0 || IsSeparator(w[i - 1])) continue;
    std::wstring prefix = w.substr(0, i);
    if (CreateDirectoryW(prefix.c_str(), nullptr)) continue;
    DWORD err = GetLastError();
    DWORD attr = GetFileAttributesW(prefix.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (prefix.size() == w.size()) Fail("Cannot create the folder", path, err);
    throw std::runtime_error("Cannot create the folder '" + path + "': '" + Narrow(prefix.c_str()) +
                             "': " + ErrorText(err));
  }
}

// The log folder is shared by every user who runs the host on this machine.
void GrantEveryoneAccess(const std::string& folder) {
  std::wstring w = Wide(folder);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
    Fail("Cannot grant access to the folder", folder, GetLastError());

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD rc = GetNamedSecurityInfoW(w.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS) {
    FreeSid(everyone);
    Fail("Cannot read the access rights of the folder", folder, rc);
  }

  // No list at all means open to everyone already.
  bool granted = dacl == nullptr;
  for (DWORD i = 0; !granted && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    granted = allowed->Mask == GENERIC_ALL && EqualSid(&allowed->SidStart, everyone);
  }

  if (!granted) {
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL newDacl = nullptr;
    rc = SetEntriesInAclW(1, &access, dacl, &newDacl);
    if (rc != ERROR_SUCCESS) {
      LocalFree(sd);
      FreeSid(everyone);
      Fail("Cannot extend the access rights of the folder", folder, rc);
    }
    // Logging works without the shared rights; only other users would miss them.
    SetNamedSecurityInfoW(w.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          newDacl, nullptr);
    LocalFree(newDacl);
  }
  LocalFree(sd);
  FreeSid(everyone);
}

namespace {

bool IsBusy(DWORD err) { return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION; }

// Opens with CreateFileW, waiting until the deadline while another process holds the file.
HANDLE OpenWaiting(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags, ULONGLONG deadline) {
  while (true) {
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    const DWORD err = GetLastError();
    if (!IsBusy(err) || GetTickCount64() >= deadline) {
      SetLastError(err);
      return h;
    }
    Sleep(10);
  }
}

std::wstring FinalPath(HANDLE h) {
  std::wstring out(MAX_PATH, L'\0');
  while (true) {
    const DWORD n =
        GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < out.size()) {
      out.resize(n);
      return out;
    }
    out.resize(n + 1);
  }
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring WithBackslashes(std::wstring s) {
  for (auto& c : s)
    if (c == L'/') c = L'\\';
  return s;
}

}  // namespace

// The log folder grants every user full access, so anyone may put something at the log's path:
// a symbolic link or junction to a file of their choosing, or a hard link to one. Nothing at the
// path is followed (FILE_FLAG_OPEN_REPARSE_POINT), a file with a second name is refused, and the
// file we got must be the one the path names below the trusted root by its final path, which
// catches a folder on the way replaced by a junction. The folder is held open without sharing
// deletion while we append, so it cannot be renamed away meanwhile.
void AppendToFile(const std::string& path, std::string_view bytes, const std::string& trustedRoot) {
  const ULONGLONG deadline = GetTickCount64() + kBusyWaitMs;
  const auto refuse = [&](const std::string& why) {
    throw std::runtime_error("Cannot open the file '" + path + "': " + why);
  };
  const std::wstring w = WithBackslashes(Wide(path));
  std::wstring root = WithBackslashes(Wide(trustedRoot));
  if (!root.empty() && root.back() != L'\\') root += L'\\';
  const std::size_t slash = w.find_last_of(L'\\');
  if (root.empty() || w.size() <= root.size() || !SamePath(w.substr(0, root.size()), root) ||
      slash < root.size())
    refuse("it does not lie in a folder below '" + trustedRoot + "'");

  // What the path names below the root, spelt from the root's own final path.
  Handle rootDir{CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  if (rootDir.h == INVALID_HANDLE_VALUE)
    Fail("Cannot open the folder", trustedRoot, GetLastError());
  std::wstring expected = FinalPath(rootDir.h);
  if (expected.empty()) Fail("Cannot open the folder", trustedRoot, GetLastError());
  if (expected.back() != L'\\') expected += L'\\';
  expected += w.substr(root.size());
  const std::wstring expectedFolder = expected.substr(0, expected.find_last_of(L'\\'));

  BY_HANDLE_FILE_INFORMATION info{};
  Handle dir{OpenWaiting(w.substr(0, slash), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, deadline)};
  if (dir.h == INVALID_HANDLE_VALUE)
    Fail("Cannot open the folder of the file", path, GetLastError());
  if (!GetFileInformationByHandle(dir.h, &info))
    Fail("Cannot open the folder of the file", path, GetLastError());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !SamePath(FinalPath(dir.h), expectedFolder))
    refuse("its folder leads to another place (a link or junction)");

  Handle file{OpenWaiting(w, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          deadline)};
  if (file.h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (IsBusy(err)) refuse("another process keeps it open, " + ErrorText(err));
    Fail("Cannot open the file", path, err);
  }
  if (GetFileType(file.h) != FILE_TYPE_DISK) refuse("it is not a plain file");
  if (!GetFileInformationByHandle(file.h, &info))
    Fail("Cannot open the file", path, GetLastError());
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    refuse("it is a symbolic link or another reparse point");
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) refuse("it is a folder");
  if (info.nNumberOfLinks != 1) refuse("it has more than one name (a hard link)");
  if (!SamePath(FinalPath(file.h), expected)) refuse("it leads to another place (a link)");

  // Opened for appending only: every write lands at the end of the file.
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file.h, data, chunk, &written, nullptr) || written == 0)
      Fail("Cannot write the file", path, GetLastError());
    data += written;
    left -= written;
  }
}

}  // namespace vantorel::platform
