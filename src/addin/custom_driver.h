// The base of every driver class exposed to the host: declaration of exported methods,
// properties and additional actions, their registration with the class registry, property
// access by name, and the driver's last result.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "addin/v8napi.h"

namespace vantorel {

// The last result, read by the host with GetLastError.
struct TResult {
  std::int32_t ErrorCode = 0;
  std::u16string ErrorDescription;
  bool BoolResult = true;

  void Clear() {
    ErrorCode = 0;
    ErrorDescription.clear();
    BoolResult = true;
  }
  void SetError(std::u16string message, std::int32_t code) {
    ErrorCode = code;
    ErrorDescription = std::move(message);
    BoolResult = false;
  }
  std::int32_t HostErrorCode() const {
    if (BoolResult) return 0;
    return ErrorCode == 0 ? 1001 : ErrorCode;
  }
};

// One declared method of a driver class with what its attributes say.
struct MethodDecl {
  std::u16string Name;
  // Exported to the host (ExportMeth): localized name and parameter count.
  bool Exported = false;
  std::u16string NameLoc;
  int ParamCount = 0;
  ExecuteProc Execute = nullptr;
  // Shown to the user as an additional action under Caption.
  bool Action = false;
  std::u16string Caption;
  void (*Run)(TV8UserObject& object) = nullptr;
};

enum class PropType { Int32, Int64, UInt8, Bool, Double, String, Other };
using PropValue = std::variant<std::int64_t, bool, double, std::string>;

// One declared property: its type, accessors and (when exported) its attribute values.
struct PropDecl {
  std::u16string Name;
  PropType Type = PropType::Other;
  PropValue (*Get)(const void* self) = nullptr;
  void (*Set)(void* self, const PropValue& value) = nullptr;
  bool Exported = false;
  std::u16string NameLoc;
  std::u16string Caption;
  std::u16string DefValue;
  bool ReadOnly = false;
};

// What a driver class declares, in the order the registration walks it: the class's own
// declarations first, then its parent's, up to the root.
struct DriverClassInfo {
  std::vector<MethodDecl> Methods;
  std::vector<PropDecl> Properties;
};

// Calls a member function as a host method.
template <auto Member>
struct MethodThunk;
template <typename C, bool (C::*Member)(V8Variant*, V8Variant*, long)>
struct MethodThunk<Member> {
  static bool Call(TV8UserObject& o, V8Variant* result, V8Variant* params, long count) {
    return (static_cast<C&>(o).*Member)(result, params, count);
  }
};
template <auto Member>
struct ActionThunk;
template <typename C, void (C::*Member)()>
struct ActionThunk<Member> {
  static void Call(TV8UserObject& o) { (static_cast<C&>(o).*Member)(); }
};

template <auto Member>
MethodDecl ExportMeth(std::u16string name, std::u16string nameLoc, int paramCount) {
  MethodDecl d;
  d.Name = std::move(name);
  d.Exported = true;
  d.NameLoc = std::move(nameLoc);
  d.ParamCount = paramCount;
  d.Execute = &MethodThunk<Member>::Call;
  return d;
}
template <auto Member>
MethodDecl AdditionalAction(std::u16string name, std::u16string caption) {
  MethodDecl d;
  d.Name = std::move(name);
  d.Action = true;
  d.Caption = std::move(caption);
  d.Run = &ActionThunk<Member>::Call;
  return d;
}

// Conversions of a property value into a property's type; throw on failure.
PropValue ConvertPropValue(PropType type, const PropValue& value);
// Converts a settings text ("115200", "true") into a property's type; throws a clear error.
PropValue ConvertPropText(PropType type, const std::string& text, const std::u16string& name);

class TCustomDriver : public TV8UserObject {
 public:
  TCustomDriver() { FLastResult.Clear(); }

  const TResult& LastResult() const { return FLastResult; }
  // Everything the concrete class declares, walked as the registration walks it.
  virtual const DriverClassInfo& ClassInfo() const = 0;

  void SetSuccess(V8Variant* result);
  virtual void HandleException(const std::exception& e, V8Variant* result, std::int32_t code);
  void HandleException(const std::string& message, V8Variant* result, std::int32_t code);

  // Property access by name, as the host's property slots and SetParameter use it.
  bool PropertyGetSet(std::u16string_view propName, V8Variant* value, bool get);
  void PropertySet(std::u16string_view propName, V8Variant* value) {
    PropertyGetSet(propName, value, false);
  }
  void PropertiesSetDefault();

  // Registers a class: its exported methods and properties become host methods and properties.
  static TClassReg& RegisterClass(CreateProc create, const DriverClassInfo& info,
                                  const std::u16string& extension);
  static void RegisterDriver(CreateProc create, const DriverClassInfo& info,
                             const std::u16string& extension);
  static const std::u16string& RegisteredExtension();

 protected:
  TResult FLastResult;
  std::u16string FDeviceID;

  // Runs an exported method body with the standard outcome: success, or the failure's code.
  template <typename Body>
  bool Guard(V8Variant* result, std::int32_t failureCode, Body&& body);
};

// Assigns a value to the property of the target named like the given property (used to
// apply connection settings to a device instance), keeping the per-device logging table current.
void CopyPropertyValue(const PropDecl& property, const PropValue& value, void* target,
                       const std::vector<PropDecl>& targetProps, const std::u16string& deviceId);

std::u16string ExceptionMessage(const std::exception& e);

template <typename Body>
bool TCustomDriver::Guard(V8Variant* result, std::int32_t failureCode, Body&& body) {
  try {
    body();
    SetSuccess(result);
  } catch (const std::exception& e) {
    HandleException(e, result, failureCode);
  } catch (...) {
    HandleException(std::string("Unknown error"), result, failureCode);
  }
  return true;
}

}  // namespace vantorel
