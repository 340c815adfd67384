#include "dispatch_server.h"

#include <cstdio>
#include <new>

#include "platform/windows/variant.h"
#include "support/text.h"

namespace vantorel::emulator::com {

using automation::AutomationError;
using automation::Value;

std::atomic<long>& ModuleReferences() {
  static std::atomic<long> refs{0};
  return refs;
}

namespace {
// An argument as an automation value. Only the types DTO10 takes are accepted (32-bit integer,
// Boolean, double, currency, date, text, byte array), by value or by reference; anything else
// (a 64-bit or 16-bit integer, a single, an empty argument ...) is refused by name, so that a
// caller sending the wrong type fails here as it may with the register maker's library.
Value Argument(const VARIANT& in) {
  const VARIANT* v = &in;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt & ~VT_BYREF) {
    case VT_I4:
    case VT_BOOL:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_ARRAY | VT_UI1:
      return automation::com::FromVariant(*v);
    default: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v->vt));
      throw AutomationError(std::string("has variant type ") + buf +
                            ", not accepted: the library takes 32-bit integers, Booleans, "
                            "doubles, currency, dates, texts and byte arrays");
    }
  }
}

HRESULT Raise(EXCEPINFO* info, const std::string& description) {
  if (info) {
    *info = EXCEPINFO{};
    info->scode = E_FAIL;
    info->bstrSource = SysAllocString(L"Vantorel.VirtualRegister");
    const std::wstring w = automation::com::Wide(description);
    info->bstrDescription = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  }
  return DISP_E_EXCEPTION;
}
}  // namespace

// ---- AutomationDispatch

AutomationDispatch::AutomationDispatch(std::unique_ptr<automation::Object> object)
    : object_(std::move(object)) {
  ++ModuleReferences();
}

AutomationDispatch::~AutomationDispatch() { --ModuleReferences(); }

HRESULT AutomationDispatch::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG AutomationDispatch::AddRef() { return ++refs_; }

ULONG AutomationDispatch::Release() {
  const ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT AutomationDispatch::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT AutomationDispatch::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT AutomationDispatch::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids || count == 0) return E_INVALIDARG;
  // The object has no fixed member list: any name gets an id, and Invoke reports what the object
  // says about it. Named arguments are not supported.
  for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (!names[0]) return E_INVALIDARG;
  try {
    const std::string name = automation::com::Narrow(names[0], wcslen(names[0]));
    std::string key = text::AsciiLower(name);
    std::lock_guard lock(namesMutex_);
    auto it = ids_.find(key);
    if (it == ids_.end()) {
      names_.push_back(name);
      it = ids_.emplace(std::move(key), static_cast<DISPID>(names_.size())).first;
    }
    ids[0] = it->second;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
}

HRESULT AutomationDispatch::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* info, UINT* argError) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  if (!params) return E_INVALIDARG;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != 0 && !params->rgvarg) return E_INVALIDARG;
  if (params->cArgs > 16) return DISP_E_BADPARAMCOUNT;
  std::string name;
  {
    std::lock_guard lock(namesMutex_);
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return DISP_E_MEMBERNOTFOUND;
    name = names_[id - 1];
  }

  std::vector<Value> args;
  args.reserve(params->cArgs);
  for (UINT i = 0; i < params->cArgs; ++i) {
    // Arguments arrive last first.
    const UINT index = params->cArgs - 1 - i;
    try {
      args.push_back(Argument(params->rgvarg[index]));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
      if (argError) *argError = index;
      return Raise(info, name + ": argument " + std::to_string(i + 1) + " " + e.what());
    }
  }

  try {
    Value value = args.empty() ? object_->get(name) : object_->call(name, args);
    if (result) {
      VariantInit(result);
      automation::com::ToVariant(value, *result);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return Raise(info, e.what());
  }
}

// ---- ClassFactory

ClassFactory::ClassFactory(Create create) : create_(std::move(create)) { ++ModuleReferences(); }

ClassFactory::~ClassFactory() { --ModuleReferences(); }

HRESULT ClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG ClassFactory::AddRef() { return ++refs_; }

ULONG ClassFactory::Release() {
  const ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  AutomationDispatch* object = nullptr;
  try {
    auto inner = create_();
    if (!inner) return E_FAIL;
    object = new AutomationDispatch(std::move(inner));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  if (lock)
    ++ModuleReferences();
  else
    --ModuleReferences();
  return S_OK;
}

}  // namespace vantorel::emulator::com
