#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <objbase.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace vantorel::platform {

namespace {

std::string Narrow(const wchar_t* s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

const char* SystemName(DWORD major, DWORD minor, DWORD platform) {
  switch (major) {
    case 3:
      return "Windows NT 3";
    case 4:
      if (minor == 0) return platform == VER_PLATFORM_WIN32_NT ? "Windows NT 4" : "Windows 95";
      if (minor == 10) return "Windows 98";
      if (minor == 90) return "Windows ME";
      return nullptr;
    case 5:
      if (minor == 0) return "Windows 2000";
      if (minor == 1) return "Windows XP";
      if (minor == 2) return "Windows 2003";
      return nullptr;
    case 6:
      if (minor == 0) return "Windows Vista";
      if (minor == 1) return "Windows 7";
      if (minor == 2) return "Windows 8.0";
      if (minor == 3) return "Windows 8.1";
      return nullptr;
    case 10:
      return minor == 0 ? "Windows 10" : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

LocalTime Now() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

// The version is asked from ntdll: the documented query reports what the application manifest
// claims, not the running system.
std::string OsDescription() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC proc = ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!proc) return "Unknown";
  // Through void(*)() so that the compiler accepts the change of function type.
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(proc));
  if (rtlGetVersion(reinterpret_cast<OSVERSIONINFOW*>(&info)) != 0) return "Unknown";

  const char* name = SystemName(info.dwMajorVersion, info.dwMinorVersion, info.dwPlatformId);
  std::string out = name ? name : "Unknown";
  out += ' ';
  std::string servicePack = Narrow(info.szCSDVersion);
  if (!servicePack.empty()) out += servicePack + " ";
  char version[64];
  std::snprintf(version, sizeof version, "(%lu.%lu.%lu)", info.dwMajorVersion, info.dwMinorVersion,
                info.dwBuildNumber);
  return out + version;
}

std::string NewGuid() {
  GUID g{};
  HRESULT hr = CoCreateGuid(&g);
  if (FAILED(hr))
    throw std::runtime_error("Cannot create a new identifier (HRESULT " +
                             std::to_string(static_cast<unsigned long>(hr)) + ")");
  char out[40];
  std::snprintf(out, sizeof out, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return out;
}

}  // namespace vantorel::platform
