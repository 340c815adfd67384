// Automation objects through COM: created from a ProgID, called late-bound through IDispatch.
//
// Apartments. The host has initialised COM on its thread already; we never change that. Where a
// thread has no COM yet we initialise it for as long as an object made there lives. An interface
// pointer belongs to the apartment that obtained it: another thread reaches the object through
// the Global Interface Table (ShareWithThread), and the owning thread keeps serving those calls
// while it waits (WaitServingCalls).
#include "device/automation.h"

// windows.h first: the other system headers need its types.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
// clang-format on

#include <map>
#include <vector>

#include "platform/windows/variant.h"
#include "support/text.h"

namespace vantorel::automation {

namespace {
using com::HexResult;
using com::ResultText;

std::string Failure(const std::string& what, HRESULT hr) {
  std::string s = what + " (" + HexResult(hr);
  const std::string t = ResultText(hr);
  if (!t.empty()) s += ": " + t;
  return s + ")";
}

// COM kept initialised on this thread while an object made here lives, when it was not already.
class ComScope {
 public:
  explicit ComScope(DWORD model) {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (SUCCEEDED(CoGetApartmentType(&type, &qualifier))) return;  // e.g. the host's apartment
    const HRESULT hr = CoInitializeEx(nullptr, model);
    if (hr == S_OK || hr == S_FALSE) {
      balance_ = true;
    } else if (hr != RPC_E_CHANGED_MODE) {  // already in another apartment: use that one
      throw AutomationError(Failure("COM could not be initialised", hr));
    }
  }
  ~ComScope() {
    if (balance_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool balance_ = false;
};

class DispatchObject final : public Object {
 public:
  // Takes over the reference `disp`.
  DispatchObject(std::unique_ptr<ComScope> scope, IDispatch* disp)
      : scope_(std::move(scope)), disp_(disp) {}
  ~DispatchObject() override { disp_->Release(); }  // before scope_ ends COM on the thread
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  Value get(std::string_view name) override { return Invoke(name, {}); }
  Value call(std::string_view name, std::span<const Value> args) override {
    return Invoke(name, args);
  }
  std::unique_ptr<ThreadHandoff> ShareWithThread() override;

 private:
  DISPID IdOf(std::string_view name);
  Value Invoke(std::string_view name, std::span<const Value> args);

  std::unique_ptr<ComScope> scope_;
  IDispatch* disp_;
  std::map<std::string, DISPID> ids_;  // by lower-case name: COM names ignore letter case
};

DISPID DispatchObject::IdOf(std::string_view name) {
  std::string key = text::AsciiLower(name);
  if (auto it = ids_.find(key); it != ids_.end()) return it->second;
  if (name.find('\0') != std::string_view::npos)
    throw AutomationError("Automation name with a NUL character");
  std::wstring wide = com::Wide(name);
  LPOLESTR names[] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  const HRESULT hr = disp_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr))
    throw AutomationError(Failure("Unknown automation name '" + std::string(name) + "'", hr));
  ids_.emplace(std::move(key), id);
  return id;
}

Value DispatchObject::Invoke(std::string_view name, std::span<const Value> args) {
  const DISPID id = IdOf(name);

  // Arguments go in reverse order.
  struct Args {
    std::vector<VARIANT> v;
    ~Args() {
      for (auto& x : v) VariantClear(&x);
    }
  } argv;
  argv.v.resize(args.size());
  for (auto& x : argv.v) VariantInit(&x);
  for (std::size_t i = 0; i < args.size(); ++i)
    com::ToVariant(args[i], argv.v[args.size() - 1 - i]);

  DISPPARAMS params{argv.v.data(), nullptr, static_cast<UINT>(argv.v.size()), 0};
  com::VariantHolder result;
  EXCEPINFO info{};
  UINT argError = 0;
  const HRESULT hr =
      disp_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                    &params, result.get(), &info, &argError);
  if (SUCCEEDED(hr)) return com::FromVariant(*result);

  std::string message = "Automation call '" + std::string(name) + "' failed";
  if (hr == DISP_E_EXCEPTION) {
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    const std::string description = com::BstrText(info.bstrDescription);
    const HRESULT code = info.scode ? info.scode : hr;
    message = Failure(message, code);
    if (!description.empty()) message += ": " + description;
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  } else {
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && argError < args.size())
      message += " at argument " + std::to_string(args.size() - argError);
    message = Failure(message, hr);
  }
  throw AutomationError(message);
}

// The object registered in the process-wide Global Interface Table; each receiving thread gets
// its own proxy from there.
class GitHandoff final : public ThreadHandoff {
 public:
  explicit GitHandoff(IDispatch* disp) {
    HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git_));
    if (FAILED(hr)) throw AutomationError(Failure("Global Interface Table not available", hr));
    hr = git_->RegisterInterfaceInGlobal(disp, IID_IDispatch, &cookie_);
    if (FAILED(hr)) {
      git_->Release();
      throw AutomationError(Failure("Automation object could not be shared with a thread", hr));
    }
  }
  ~GitHandoff() override {
    git_->RevokeInterfaceFromGlobal(cookie_);
    git_->Release();
  }
  GitHandoff(const GitHandoff&) = delete;
  GitHandoff& operator=(const GitHandoff&) = delete;

  std::unique_ptr<Object> Open() override {
    // A worker needs no message loop of its own: the multithreaded apartment suits it.
    auto scope = std::make_unique<ComScope>(COINIT_MULTITHREADED);
    IDispatch* disp = nullptr;
    const HRESULT hr =
        git_->GetInterfaceFromGlobal(cookie_, IID_IDispatch, reinterpret_cast<void**>(&disp));
    if (FAILED(hr) || !disp)
      throw AutomationError(Failure("Automation object could not be reached from this thread", hr));
    return std::make_unique<DispatchObject>(std::move(scope), disp);
  }

 private:
  IGlobalInterfaceTable* git_ = nullptr;
  DWORD cookie_ = 0;
};

std::unique_ptr<ThreadHandoff> DispatchObject::ShareWithThread() {
  return std::make_unique<GitHandoff>(disp_);
}

}  // namespace

std::unique_ptr<Object> CreateObject(std::string_view progId) {
  if (progId.empty() || progId.find('\0') != std::string_view::npos)
    throw AutomationError("No automation object is registered under the ProgID '" +
                          std::string(progId) + "'");
  auto scope = std::make_unique<ComScope>(COINIT_APARTMENTTHREADED);
  const std::wstring wide = com::Wide(progId);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(wide.c_str(), &clsid);
  if (FAILED(hr))
    throw AutomationError(Failure(
        "No automation object is registered under the ProgID '" + std::string(progId) + "'", hr));
  IDispatch* disp = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&disp));
  if (FAILED(hr) || !disp)
    throw AutomationError(
        Failure("Automation object '" + std::string(progId) + "' could not be created", hr));
  return std::make_unique<DispatchObject>(std::move(scope), disp);
}

bool WaitServingCalls(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  // CoWaitForMultipleHandles dispatches incoming COM calls in a single-threaded apartment while
  // it waits; the event is never set, it only gives the wait something to wait on.
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool done = ready();
  while (!done) {
    // Rounded up, so that the wait never ends before the deadline.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const DWORD slice = static_cast<DWORD>(left.count() < 5 ? left.count() : 5);
    DWORD index = 0;
    const HRESULT hr =
        never ? CoWaitForMultipleHandles(0, slice, 1, &never, &index) : CO_E_NOTINITIALIZED;
    if (hr != RPC_S_CALLPENDING && FAILED(hr)) Sleep(slice);  // no COM here: a plain wait
    done = ready();
  }
  if (never) CloseHandle(never);
  return done;
}

}  // namespace vantorel::automation
