// Automation values to and from COM VARIANTs: shared by the automation client of the driver and
// the COM server of the virtual register, so both sides agree on every type.
//   empty VT_EMPTY, bool VT_BOOL (VARIANT_TRUE is -1), int32 VT_I4, int64 VT_I8, double VT_R8,
//   currency VT_CY, date VT_DATE, text VT_BSTR (UTF-8 inside, UTF-16 in COM),
//   bytes VT_ARRAY|VT_UI1.
#pragma once

// windows.h first: the other system headers need its types.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "device/automation.h"
#include "support/text.h"

namespace vantorel::automation::com {

// "0x80020009"
inline std::string HexResult(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

// The system's text for an HRESULT, without the trailing line break; empty when there is none.
inline std::string ResultText(HRESULT hr) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::u16string s;
  if (n && buf) s.assign(reinterpret_cast<const char16_t*>(buf), n);
  if (buf) LocalFree(buf);
  return text::Trim(text::ToUtf8(s));
}

inline std::wstring Wide(std::string_view utf8) {
  const std::u16string s = text::ToUtf16(utf8);
  return std::wstring(s.begin(), s.end());
}

inline std::string Narrow(const wchar_t* s, std::size_t n) {
  return text::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s), n));
}

inline std::string BstrText(BSTR b) { return b ? Narrow(b, SysStringLen(b)) : std::string(); }

// A VARIANT that clears itself.
class VariantHolder {
 public:
  VariantHolder() { VariantInit(&v_); }
  ~VariantHolder() { VariantClear(&v_); }
  VariantHolder(const VariantHolder&) = delete;
  VariantHolder& operator=(const VariantHolder&) = delete;
  VARIANT* get() { return &v_; }
  const VARIANT& operator*() const { return v_; }

 private:
  VARIANT v_;
};

// Fills `out`, which must be empty (VariantInit). Throws AutomationError when COM has no memory
// for it; `out` stays empty then.
inline void ToVariant(const Value& value, VARIANT& out) {
  VariantInit(&out);
  const auto& s = value.storage();
  if (std::holds_alternative<bool>(s)) {
    out.vt = VT_BOOL;
    out.boolVal = std::get<bool>(s) ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (std::holds_alternative<std::int32_t>(s)) {
    out.vt = VT_I4;
    out.lVal = std::get<std::int32_t>(s);
  } else if (std::holds_alternative<std::int64_t>(s)) {
    out.vt = VT_I8;
    out.llVal = std::get<std::int64_t>(s);
  } else if (std::holds_alternative<double>(s)) {
    out.vt = VT_R8;
    out.dblVal = std::get<double>(s);
  } else if (std::holds_alternative<Currency>(s)) {
    out.vt = VT_CY;
    out.cyVal.int64 = std::get<Currency>(s).units;
  } else if (std::holds_alternative<Date>(s)) {
    out.vt = VT_DATE;
    out.date = std::get<Date>(s).days;
  } else if (std::holds_alternative<std::string>(s)) {
    const std::wstring w = Wide(std::get<std::string>(s));
    if (w.size() > UINT_MAX / 2) throw AutomationError("Text too long for automation");
    BSTR b = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    if (!b) throw AutomationError("Out of memory for an automation text");
    out.vt = VT_BSTR;
    out.bstrVal = b;
  } else if (std::holds_alternative<Bytes>(s)) {
    const Bytes& bytes = std::get<Bytes>(s);
    if (bytes.size() > ULONG_MAX) throw AutomationError("Byte array too long for automation");
    SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!sa) throw AutomationError("Out of memory for an automation byte array");
    if (!bytes.empty()) {
      void* data = nullptr;
      if (FAILED(SafeArrayAccessData(sa, &data))) {
        SafeArrayDestroy(sa);
        throw AutomationError("Automation byte array not accessible");
      }
      std::memcpy(data, bytes.data(), bytes.size());
      SafeArrayUnaccessData(sa);
    }
    out.vt = VT_ARRAY | VT_UI1;
    out.parray = sa;
  }
  // monostate: VT_EMPTY as initialised
}

namespace detail {
inline Bytes ArrayBytes(SAFEARRAY* sa, VARTYPE elementType) {
  if (!sa) return {};
  if (SafeArrayGetDim(sa) != 1) throw AutomationError("Automation array is not one-dimensional");
  LONG lo = 0, hi = -1;
  if (FAILED(SafeArrayGetLBound(sa, 1, &lo)) || FAILED(SafeArrayGetUBound(sa, 1, &hi)))
    throw AutomationError("Automation array bounds unreadable");
  if (hi < lo) return {};
  const std::size_t n = static_cast<std::size_t>(static_cast<std::int64_t>(hi) - lo + 1);
  Bytes out(n);
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(sa, &data)))
    throw AutomationError("Automation array not accessible");
  bool ok = true;
  if (elementType == VT_UI1 || elementType == VT_I1) {
    std::memcpy(out.data(), data, n);
  } else {  // VT_VARIANT: small integers only
    const VARIANT* items = static_cast<const VARIANT*>(data);
    for (std::size_t i = 0; i < n && ok; ++i) {
      VARIANT tmp;
      VariantInit(&tmp);
      ok = SUCCEEDED(VariantChangeTypeEx(&tmp, const_cast<VARIANT*>(&items[i]), LOCALE_INVARIANT, 0,
                                         VT_I4)) &&
           tmp.lVal >= 0 && tmp.lVal <= 255;
      if (ok) out[i] = static_cast<std::uint8_t>(tmp.lVal);
      VariantClear(&tmp);
    }
  }
  SafeArrayUnaccessData(sa);
  if (!ok) throw AutomationError("Automation array holds values that are not bytes");
  return out;
}
}  // namespace detail

// The value of a VARIANT: references followed, small integer types widened. Throws
// AutomationError for a type automation values do not carry (objects, nested arrays ...).
inline Value FromVariant(const VARIANT& in) {
  VariantHolder deref;
  const VARIANT* v = &in;
  for (int depth = 0; v->vt & VT_BYREF; ++depth) {
    if (depth > 8) throw AutomationError("Automation reference nested too deeply");
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
      if (!v->pvarVal) return Value();
      v = v->pvarVal;
      continue;
    }
    VariantHolder next;
    if (FAILED(VariantCopyInd(next.get(), const_cast<VARIANT*>(v))))
      throw AutomationError("Automation reference unreadable");
    VariantClear(deref.get());
    *deref.get() = *next.get();
    VariantInit(next.get());  // ownership moved to `deref`
    v = deref.get();
  }
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL:
      return Value();
    case VT_BOOL:
      return Value(v->boolVal != VARIANT_FALSE);
    case VT_I1:
      return Value(std::int32_t{v->cVal});
    case VT_UI1:
      return Value(std::int32_t{v->bVal});
    case VT_I2:
      return Value(std::int32_t{v->iVal});
    case VT_UI2:
      return Value(std::int32_t{v->uiVal});
    case VT_I4:
      return Value(std::int32_t{v->lVal});
    case VT_INT:
      return Value(std::int32_t{v->intVal});
    case VT_UI4:
      return Value(std::int64_t{v->ulVal});
    case VT_UINT:
      return Value(std::int64_t{v->uintVal});
    case VT_I8:
      return Value(std::int64_t{v->llVal});
    case VT_UI8:
      if (v->ullVal > static_cast<ULONGLONG>(INT64_MAX))
        throw AutomationError("Automation value beyond the 64-bit integer range");
      return Value(static_cast<std::int64_t>(v->ullVal));
    case VT_R4:
      return Value(static_cast<double>(v->fltVal));
    case VT_R8:
      return Value(v->dblVal);
    case VT_CY:
      return Value(Currency{v->cyVal.int64});
    case VT_DATE:
      return Value(Date{v->date});
    case VT_BSTR:
      return Value(BstrText(v->bstrVal));
    case VT_DECIMAL: {
      VariantHolder r8;
      if (FAILED(
              VariantChangeTypeEx(r8.get(), const_cast<VARIANT*>(v), LOCALE_INVARIANT, 0, VT_R8)))
        throw AutomationError("Automation decimal out of range");
      return Value((*r8).dblVal);
    }
    case VT_ERROR:
      // An omitted optional argument.
      if (v->scode == DISP_E_PARAMNOTFOUND) return Value();
      throw AutomationError("Automation error value " + HexResult(v->scode));
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_I1:
    case VT_ARRAY | VT_VARIANT:
      return Value(detail::ArrayBytes(v->parray, static_cast<VARTYPE>(v->vt & ~VT_ARRAY)));
    default: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v->vt));
      throw AutomationError(std::string("Automation value of unsupported type ") + buf);
    }
  }
}

}  // namespace vantorel::automation::com
