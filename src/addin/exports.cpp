// The four functions the host resolves by name. Everything else stays inside the library.
#include "addin/host_abi.h"
#include "addin/v8napi.h"
#include "protocol/driver.h"
#include "support/log.h"

#if defined(_WIN32)
#define VANTOREL_EXPORT extern "C" __declspec(dllexport)
#else
#define VANTOREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
// Registration when the library loads; the stop banner when it unloads.
struct LibraryLifetime {
  LibraryLifetime() { vantorel::RegisterDriverClass(); }
  ~LibraryLifetime() {
    try {
      vantorel::log::StopLog();
    } catch (...) {
      // Nothing can be reported while the library unloads.
    }
  }
} g_library;
}  // namespace

using vantorel::abi::HostLong;
using vantorel::abi::WCHAR_T;

VANTOREL_EXPORT HostLong GetClassObject(const WCHAR_T* name, void** component) {
  if (name == nullptr || component == nullptr) return 0;
  try {
    void* block = vantorel::CreateComponent(name);
    if (block == nullptr) return 0;
    *component = block;
    return 1;
  } catch (...) {
    return 0;
  }
}

VANTOREL_EXPORT HostLong DestroyObject(void** component) {
  if (component != nullptr) vantorel::DestroyComponent(*component);
  return 0;
}

VANTOREL_EXPORT const WCHAR_T* GetClassNames() {
  return vantorel::ClassRegistry().ClassNames();
}

VANTOREL_EXPORT int GetAttachType() { return vantorel::abi::eCanAttachAny; }
