#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace vantorel::platform {

namespace {

// The module this code is linked into: the DLL in production, the test program in tests.
HMODULE OwnModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&OwnModule), &module)) {
    return nullptr;
  }
  return module;
}

std::string_view ResourceOf(HMODULE module, const wchar_t* name, const wchar_t* type) {
  if (!module) return {};
  HRSRC info = FindResourceW(module, name, type);
  if (!info) return {};
  HGLOBAL loaded = LoadResource(module, info);
  DWORD size = SizeofResource(module, info);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return {};
  // Resource data stays mapped as long as the module is loaded.
  return {static_cast<const char*>(data), size};
}

std::string Narrow(const std::wstring& s) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

}  // namespace

std::string ModuleFileName() {
  HMODULE module = OwnModule();
  if (!module) return {};
  // Long paths can exceed MAX_PATH: grow until the name fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return Narrow(path);
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

FileVersion ModuleVersion() {
  std::string_view raw = ResourceOf(OwnModule(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  if (raw.empty()) return {0, 0, 0, 0};
  // VerQueryValueW may write into the block it reads, so it gets a copy, not the mapped image.
  std::vector<char> block(raw.begin(), raw.end());
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
    return {0, 0, 0, 0};
  }
  return {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
          HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

std::string_view Resource(std::string_view name) {
  // Resource names are plain upper-case ASCII ("PARAMETERS", "HELP").
  std::wstring wide(name.begin(), name.end());
  return ResourceOf(OwnModule(), wide.c_str(), RT_RCDATA);
}

}  // namespace vantorel::platform
