// vregister_com.dll: the virtual register as an in-process COM automation server.
//
// DllRegisterServer registers it under its own ProgID, Vantorel.VirtualRegister, in
// HKEY_CLASSES_ROOT (Wine does not merge per-user classes into it) with ThreadingModel Both.
// The register maker's ProgID AddIn.Fptr10 is taken only on request, through
// DllRegisterServerAs(L"AddIn.Fptr10"), and never from a library installed under it.
// windows.h first: the other system headers need its types.
// clang-format off
#include <windows.h>
#include <olectl.h>
// clang-format on

#include <string>

#include "dispatch_server.h"
#include "vregister/virtual_register.h"

namespace {

using vantorel::emulator::com::ClassFactory;
using vantorel::emulator::com::ModuleReferences;

// {B963BBC3-A48B-4BA6-8B58-EEE907032318}
constexpr CLSID kClsid = {
    0xb963bbc3, 0xa48b, 0x4ba6, {0x8b, 0x58, 0xee, 0xe9, 0x07, 0x03, 0x23, 0x18}};
constexpr wchar_t kClsidText[] = L"{B963BBC3-A48B-4BA6-8B58-EEE907032318}";
constexpr wchar_t kOwnProgId[] = L"Vantorel.VirtualRegister";
constexpr wchar_t kDriverProgId[] = L"AddIn.Fptr10";
constexpr wchar_t kDescription[] = L"Vantorel virtual register";

HMODULE g_module = nullptr;

HRESULT SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                            nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return HRESULT_FROM_WIN32(rc);
}

// The default value of HKCR\key, or nothing.
bool ReadDefault(const std::wstring& key, std::wstring& out) {
  wchar_t buf[512];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buf, &size) !=
      ERROR_SUCCESS)
    return false;
  out = buf;
  return true;
}

HRESULT DeleteTree(const std::wstring& key) {
  const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}

// A ProgID as COM accepts it: letters, digits and dots, at most 39 characters, not starting with
// a digit.
bool ValidProgId(const wchar_t* p) {
  if (!p || !*p || (*p >= L'0' && *p <= L'9')) return false;
  std::size_t n = 0;
  for (; p[n]; ++n) {
    const wchar_t c = p[n];
    const bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                    (c >= L'0' && c <= L'9') || c == L'.' || c == L'_';
    if (!ok || n >= 39) return false;
  }
  return true;
}

// Whether HKCR\progId exists, and whether it is ours. A key without our class (another server's,
// or one half written by an installer) is not ours to overwrite.
enum class Owner { kNobody, kUs, kOther };
Owner ProgIdOwner(const std::wstring& progId) {
  HKEY h = nullptr;
  const LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, progId.c_str(), 0, KEY_READ, &h);
  if (rc == ERROR_FILE_NOT_FOUND) return Owner::kNobody;
  if (rc != ERROR_SUCCESS) return Owner::kOther;
  RegCloseKey(h);
  std::wstring clsid;
  if (!ReadDefault(progId + L"\\CLSID", clsid)) return Owner::kOther;
  return _wcsicmp(clsid.c_str(), kClsidText) == 0 ? Owner::kUs : Owner::kOther;
}

HRESULT RegisterProgId(const std::wstring& progId) {
  HRESULT hr = SetValue(progId, nullptr, kDescription);
  if (SUCCEEDED(hr)) hr = SetValue(progId + L"\\CLSID", nullptr, kClsidText);
  return hr;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = nullptr;
  try {
    factory = new ClassFactory([] { return vantorel::emulator::CreateVirtualRegister(); });
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

STDAPI DllCanUnloadNow() { return ModuleReferences() == 0 ? S_OK : S_FALSE; }

namespace {
HRESULT RegisterOwn() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return SELFREG_E_CLASS;
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsidText;
  HRESULT hr = SetValue(clsidKey, nullptr, kDescription);
  if (SUCCEEDED(hr)) hr = SetValue(clsidKey + L"\\InprocServer32", nullptr, path);
  if (SUCCEEDED(hr)) hr = SetValue(clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Both");
  if (SUCCEEDED(hr)) hr = SetValue(clsidKey + L"\\ProgID", nullptr, kOwnProgId);
  if (SUCCEEDED(hr)) hr = RegisterProgId(kOwnProgId);
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_CLASS;
}

HRESULT RegisterAlias(LPCWSTR progId) {
  if (!ValidProgId(progId)) return E_INVALIDARG;
  if (ProgIdOwner(progId) == Owner::kOther) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  HRESULT hr = RegisterOwn();
  if (SUCCEEDED(hr)) hr = RegisterProgId(progId);
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_CLASS;
}
}  // namespace

// Registers the server under Vantorel.VirtualRegister. With VANTOREL_VREGISTER_PROGID set (for
// test set-ups that register with regsvr32) it also answers to that ProgID, on the terms of
// DllRegisterServerAs.
STDAPI DllRegisterServer() {
  wchar_t alias[64];
  const DWORD n = GetEnvironmentVariableW(L"VANTOREL_VREGISTER_PROGID", alias, 64);
  if (n == 0) return RegisterOwn();
  if (n >= 64) return E_INVALIDARG;
  return RegisterAlias(alias);
}

// Also answers to `progId` (for tests: AddIn.Fptr10). Refuses with ERROR_ALREADY_EXISTS when the
// ProgID belongs to another server, such as an installed driver library.
STDAPI DllRegisterServerAs(LPCWSTR progId) { return RegisterAlias(progId); }

// Removes `progId` if it is ours; another server's stays.
STDAPI DllUnregisterServerAs(LPCWSTR progId) {
  if (!ValidProgId(progId)) return E_INVALIDARG;
  if (ProgIdOwner(progId) != Owner::kUs) return S_OK;
  return DeleteTree(progId);
}

STDAPI DllUnregisterServer() {
  HRESULT hr = DllUnregisterServerAs(kDriverProgId);
  const HRESULT own = DeleteTree(kOwnProgId);
  const HRESULT cls = DeleteTree(std::wstring(L"CLSID\\") + kClsidText);
  if (SUCCEEDED(hr)) hr = FAILED(own) ? own : cls;
  return hr;
}
