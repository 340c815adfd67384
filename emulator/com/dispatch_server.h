// IDispatch over an automation object of ours: how the virtual register (or a test object)
// becomes a COM automation server. Names get DISPIDs on first sight, compared without regard to
// letter case; a call without arguments reads the name, one with arguments calls it.
#pragma once

// windows.h first: the other system headers need its types.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/automation.h"

namespace vantorel::emulator::com {

// Objects and server locks alive in this module, for DllCanUnloadNow.
std::atomic<long>& ModuleReferences();

class AutomationDispatch final : public IDispatch {
 public:
  explicit AutomationDispatch(std::unique_ptr<automation::Object> object);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                                   UINT* argError) override;

 private:
  ~AutomationDispatch();

  std::atomic<ULONG> refs_{1};
  // Calls may come from any thread (ThreadingModel Both): the object guards its own state, the
  // name table is guarded here.
  std::mutex namesMutex_;
  std::map<std::string, DISPID> ids_;  // lower-case name -> id
  std::vector<std::string> names_;     // id - 1 -> name as first asked for
  std::unique_ptr<automation::Object> object_;
};

class ClassFactory final : public IClassFactory {
 public:
  using Create = std::function<std::unique_ptr<automation::Object>()>;
  explicit ClassFactory(Create create);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  ~ClassFactory();

  std::atomic<ULONG> refs_{1};
  Create create_;
};

}  // namespace vantorel::emulator::com
