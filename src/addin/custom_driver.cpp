#include "addin/custom_driver.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "support/log.h"
#include "support/text.h"

namespace vantorel {

namespace {
// Filled while the library loads, from another file's static initialiser: a namespace-scope
// string could still be unconstructed then (and its later construction would drop the value).
std::u16string& RegisteredExtensionStore() {
  static std::u16string extension;
  return extension;
}

bool IsIntType(PropType t) {
  return t == PropType::Int32 || t == PropType::Int64 || t == PropType::UInt8;
}

std::int64_t RangeChecked(PropType type, std::int64_t v) {
  if ((type == PropType::Int32 && (v < INT32_MIN || v > INT32_MAX)) ||
      (type == PropType::UInt8 && (v < 0 || v > 255)))
    throw std::runtime_error("Value " + std::to_string(v) + " is out of range");
  return v;
}

bool NameMatches(const PropDecl& p, std::u16string_view name) {
  // Property names are Latin; the localized name may be Cyrillic: both without letter case.
  return text::EqualsIgnoreLetterCase(p.Name, name) ||
         text::EqualsIgnoreLetterCase(p.NameLoc, name);
}
}  // namespace

std::u16string ExceptionMessage(const std::exception& e) { return text::ToUtf16(e.what()); }

PropValue ConvertPropValue(PropType type, const PropValue& value) {
  if (IsIntType(type)) {
    if (auto* i = std::get_if<std::int64_t>(&value)) return RangeChecked(type, *i);
    if (auto* b = std::get_if<bool>(&value)) return std::int64_t{*b ? 1 : 0};
    if (auto* d = std::get_if<double>(&value)) {
      if (!std::isfinite(*d) || std::fabs(*d) > 9.2e18)
        throw std::runtime_error("Value is out of range");
      return RangeChecked(type, static_cast<std::int64_t>(std::nearbyint(*d)));
    }
    const auto& s = std::get<std::string>(value);
    std::int64_t v = 0;
    const std::string t = text::Trim(s);
    const char* b = t.data();
    if (!t.empty() && *b == '+') ++b;
    const auto r = std::from_chars(b, t.data() + t.size(), v);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
      throw std::runtime_error("'" + s + "' is not a valid integer value");
    return RangeChecked(type, v);
  }
  switch (type) {
    case PropType::Bool:
      if (auto* b = std::get_if<bool>(&value)) return *b;
      if (auto* i = std::get_if<std::int64_t>(&value)) return *i != 0;
      if (auto* d = std::get_if<double>(&value)) return *d != 0;
      {
        const std::string t = text::AsciiLower(text::Trim(std::get<std::string>(value)));
        if (t == "true") return true;
        if (t == "false") return false;
        throw std::runtime_error("'" + std::get<std::string>(value) +
                                 "' is not a valid boolean value");
      }
    case PropType::Double:
      if (auto* d = std::get_if<double>(&value)) return *d;
      if (auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
      if (auto* b = std::get_if<bool>(&value)) return *b ? 1.0 : 0.0;
      {
        std::string t = text::Trim(std::get<std::string>(value));
        for (auto& c : t)
          if (c == ',') c = '.';
        double d = 0;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), d);
        if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
          throw std::runtime_error("'" + std::get<std::string>(value) +
                                   "' is not a valid floating point value");
        return d;
      }
    case PropType::String:
      if (auto* s = std::get_if<std::string>(&value)) return *s;
      if (auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
      if (auto* b = std::get_if<bool>(&value)) return std::string(*b ? "True" : "False");
      return FormatDouble(std::get<double>(value), DecimalSeparator());
    default:
      throw std::runtime_error("Property type unacceptable");
  }
}

PropValue ConvertPropText(PropType type, const std::string& text, const std::u16string& name) {
  try {
    return ConvertPropValue(type, PropValue{text});
  } catch (const std::exception& e) {
    throw std::runtime_error("Invalid value of setting " + text::ToUtf8(name) + ": " + e.what());
  }
}

void TCustomDriver::SetSuccess(V8Variant* result) {
  FLastResult.Clear();
  if (result != nullptr) V8SetBool(result, true);
}

void TCustomDriver::HandleException(const std::exception& e, V8Variant* result,
                                    std::int32_t code) {
  HandleException(std::string(e.what()), result, code);
}

void TCustomDriver::HandleException(const std::string& message, V8Variant* result,
                                    std::int32_t code) {
  FLastResult.SetError(text::ToUtf16(message), code);
  if (result != nullptr) V8SetBool(result, false);
  log::WriteLog("Exception", message, log::Level::Error);
}

bool TCustomDriver::PropertyGetSet(std::u16string_view propName, V8Variant* value, bool get) {
  bool matched = false;
  for (const PropDecl& p : ClassInfo().Properties) {
    if (!p.Exported || !NameMatches(p, propName)) continue;
    matched = true;
    if (get) {
      const PropValue v = p.Get(this);
      switch (p.Type) {
        case PropType::Int32:
        case PropType::UInt8:
          V8SetInt(value, static_cast<std::int32_t>(std::get<std::int64_t>(v)));
          break;
        case PropType::Int64:
          V8SetInt64(value, std::get<std::int64_t>(v));
          break;
        case PropType::Bool:
          V8SetBool(value, std::get<bool>(v));
          break;
        case PropType::Double:
          V8SetDouble(value, std::get<double>(v));
          break;
        case PropType::String:
          V8SetWString(value, std::string_view(std::get<std::string>(v)));
          break;
        default:
          throw std::runtime_error("Property type unacceptable");
      }
    } else {
      if (p.ReadOnly) throw std::runtime_error("Property is read-only: " + text::ToUtf8(propName));
      PropValue v;
      switch (p.Type) {
        case PropType::Int32:
        case PropType::Int64:
        case PropType::UInt8:
          v = ConvertPropValue(p.Type, PropValue{std::int64_t{V8GetInt(value)}});
          break;
        case PropType::Bool:
          v = V8GetBool(value);
          break;
        case PropType::Double:
          v = V8GetDouble(value);
          break;
        case PropType::String:
          if (!V8IsString(value)) throw std::runtime_error("Value type unacceptable");
          v = text::ToUtf8(V8GetWString(value));
          break;
        default:
          throw std::runtime_error("Property type unacceptable");
      }
      p.Set(this, v);
    }
  }
  if (!matched) throw std::runtime_error("Property not found: " + text::ToUtf8(propName));
  return true;
}

void TCustomDriver::PropertiesSetDefault() {
  for (const PropDecl& p : ClassInfo().Properties) {
    if (!p.Exported || p.ReadOnly || text::EqualsIgnoreCase(text::ToUtf8(p.Name), "LogEnabled"))
      continue;
    p.Set(this, ConvertPropText(p.Type, text::ToUtf8(p.DefValue), p.Name));
  }
}

TClassReg& TCustomDriver::RegisterClass(CreateProc create, const DriverClassInfo& info,
                                        const std::u16string& extension) {
  TClassReg& reg = ClassRegistry().RegisterClass(create, extension, extension);
  for (const MethodDecl& m : info.Methods)
    if (m.Exported) reg.AddFunc(m.Name, m.NameLoc, m.Execute, m.ParamCount);
  for (const PropDecl& p : info.Properties)
    if (p.Exported)
      reg.AddProp(p.Name, p.NameLoc, true, !p.ReadOnly,
                  [](TV8UserObject& o, std::u16string_view name, V8Variant* value, bool get) {
                    return static_cast<TCustomDriver&>(o).PropertyGetSet(name, value, get);
                  });
  return reg;
}

void TCustomDriver::RegisterDriver(CreateProc create, const DriverClassInfo& info,
                                   const std::u16string& extension) {
  RegisterClass(create, info, extension);
  RegisteredExtensionStore() = extension;
  log::SetLogBaseName(text::ToUtf8(extension));
  log::StartLog();
}

const std::u16string& TCustomDriver::RegisteredExtension() { return RegisteredExtensionStore(); }

void CopyPropertyValue(const PropDecl& property, const PropValue& value, void* target,
                       const std::vector<PropDecl>& targetProps, const std::u16string& deviceId) {
  const PropValue converted = ConvertPropValue(property.Type, value);
  const PropDecl* found = nullptr;
  for (const PropDecl& p : targetProps)
    if (p.Name == property.Name) {
      found = &p;
      break;
    }
  if (found == nullptr || found->Set == nullptr)
    throw std::runtime_error("Property \"" + text::ToUtf8(property.Name) +
                             "\" not found in Source object.");
  found->Set(target, converted);
  if (text::EqualsIgnoreCase(text::ToUtf8(property.Name), "LogEnabled") && !deviceId.empty())
    SetDeviceLogging(deviceId, std::get<bool>(ConvertPropValue(PropType::Bool, converted)));
}

}  // namespace vantorel
