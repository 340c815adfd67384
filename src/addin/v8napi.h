// The add-in framework: the objects the host creates, the registry of exposed classes with their
// method and property tables, the host's value record, and the dispatch of host calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "addin/host_abi.h"

namespace vantorel {

using abi::tVariant;
using V8Variant = abi::tVariant;

class TV8UserObject;

// The host's memory manager, called through its own table.
class TV8MemoryManager {
 public:
  explicit TV8MemoryManager(void* host = nullptr) : host_(static_cast<Host*>(host)) {}
  bool IsSet() const { return host_ != nullptr; }
  bool AllocMemory(void** block, std::size_t size) const;
  void FreeMemory(void** block) const;

 private:
  using Host = abi::HostObject<abi::MemoryManagerTable>;
  Host* host_;
};

// The host's connection interface; the add-in calls only AddError.
class TV8AddInDefBase {
 public:
  explicit TV8AddInDefBase(void* host = nullptr) : host_(static_cast<Host*>(host)) {}
  bool IsSet() const { return host_ != nullptr; }
  void AddError(std::uint16_t code, std::u16string_view source, std::u16string_view descr,
                std::int32_t scode) const;

 private:
  using Host = abi::HostObject<abi::ConnectionTable>;
  Host* host_;
};

// ---- Registry of exposed classes ----

using ExecuteProc = bool (*)(TV8UserObject& object, V8Variant* result, V8Variant* params,
                             long count);
using PropGetSetProc = bool (*)(TV8UserObject& object, std::u16string_view propName,
                                V8Variant* value, bool get);
using CreateProc = std::unique_ptr<TV8UserObject> (*)();

// Default parameter values of one method.
class TDefParamList {
 public:
  struct Entry {
    int num;  // 0-based parameter position
    V8Variant value;
  };
  V8Variant& AddParam(int num);  // num counts from 1
  void AddInt(std::int32_t v, int paramNum);
  void AddDouble(double v, int paramNum);
  void AddBool(bool v, int paramNum);
  void AddDate(double v, int paramNum);
  // The text must outlive the list: the entry refers to it.
  void AddWString(const char16_t* v, int paramNum);
  void AddAString(const char* v, int paramNum);
  const V8Variant* Find(int num) const;
  std::size_t ValueCount() const { return values_.size(); }

 private:
  std::vector<Entry> values_;
};

struct TMethReg {
  std::u16string MethName;
  std::u16string MethNameLoc;
  bool IsFunction = true;
  int ParamCount = 0;
  TDefParamList DefParams;
  ExecuteProc Execute = nullptr;
};

struct TPropReg {
  std::u16string PropName;
  std::u16string PropNameLoc;
  bool IsReadable = true;
  bool IsWritable = true;
  PropGetSetProc PropGetSet = nullptr;
};

struct TClassReg {
  CreateProc UserClass = nullptr;
  std::u16string RegisterExtensionAs;
  std::u16string NatApiClassName;
  std::vector<TPropReg> PropList;
  std::vector<TMethReg> MethList;

  TMethReg& AddMethod(std::u16string name, std::u16string nameLoc, bool isFunction,
                      ExecuteProc execute, int paramCount);
  TMethReg& AddFunc(std::u16string name, std::u16string nameLoc, ExecuteProc execute,
                    int paramCount) {
    return AddMethod(std::move(name), std::move(nameLoc), true, execute, paramCount);
  }
  TMethReg& AddProc(std::u16string name, std::u16string nameLoc, ExecuteProc execute,
                    int paramCount) {
    return AddMethod(std::move(name), std::move(nameLoc), false, execute, paramCount);
  }
  TPropReg& AddProp(std::u16string name, std::u16string nameLoc, bool readable, bool writable,
                    PropGetSetProc getSet);
  long PropCount() const { return static_cast<long>(PropList.size()); }
  long MethCount() const { return static_cast<long>(MethList.size()); }
  long FindMethod(std::u16string_view name) const;
  long FindProp(std::u16string_view name) const;
};

class TClassRegList {
 public:
  TClassReg& RegisterClass(CreateProc userClass, std::u16string registerExtensionAs,
                           std::u16string natApiClassName);
  std::size_t ClassCount() const { return classes_.size(); }
  const TClassReg* Find(std::u16string_view natApiClassName) const;
  // The class names joined with "|"; stays valid until the library unloads.
  const char16_t* ClassNames() const { return classNames_.c_str(); }

 private:
  std::vector<std::unique_ptr<TClassReg>> classes_;
  std::u16string classNames_;
};

// The library's one registry, filled while the library loads.
TClassRegList& ClassRegistry();

// ---- Objects exposed to the host ----

class TV8UserObject {
 public:
  virtual ~TV8UserObject() = default;

  virtual bool Init() { return true; }
  virtual long GetInfo() { return 2000; }
  virtual void SetLocale() {}
  virtual void Done() {}
  virtual bool SetMemManager() { return true; }

  const TClassReg* ClassReg = nullptr;
  TV8MemoryManager V8MM;
  TV8AddInDefBase V8;
  std::u16string locale;

  // Writing host values. Each first releases what the record holds.
  void V8ClearVar(V8Variant* v) const;
  void V8SetInt(V8Variant* v, std::int32_t value) const;
  void V8SetInt64(V8Variant* v, std::int64_t value) const;
  void V8SetDouble(V8Variant* v, double value) const;
  void V8SetDate(V8Variant* v, double value) const;
  void V8SetBool(V8Variant* v, bool value) const;
  bool V8SetWString(V8Variant* v, std::u16string_view value) const;
  bool V8SetWString(V8Variant* v, std::string_view utf8) const;
  bool V8SetPChar(V8Variant* v, const char* value) const;
  bool V8SetString(V8Variant* v, std::string_view value) const;
  bool V8SetBlob(V8Variant* v, const void* bytes, std::size_t count) const;

  // A copy of the text in host memory (with its terminating zero), or null.
  char16_t* HostCopy(std::u16string_view text) const;

  // A message for the user through the host's AddError with status 0: the host shows it (after
  // the source) and the calling code goes on. (A non-zero status makes the host raise it as an
  // exception in the caller, so a document that was made would look failed.) `importance` is
  // one of the host's message classes, ADDIN_E_NONE to ADDIN_E_INFO. Every message of the add-in
  // goes through here; only failures that escaped a method (ADDIN_E_FAIL) do not.
  void AddMessage(std::uint16_t importance, std::u16string_view source,
                  std::string_view utf8) const;
};

// ---- Reading host values (never fail) ----

std::u16string V8GetWString(const V8Variant* v);
std::int32_t V8GetInt(const V8Variant* v);
bool V8GetBool(const V8Variant* v);
double V8GetDouble(const V8Variant* v);
bool V8IsString(const V8Variant* v);
// The name of the value's type for messages ("VTYPE_PWSTR by ref").
std::string V8TypeName(const V8Variant* v);
// Renders a value for the call log; throws for types that have no text.
std::u16string V8VarToStr(const V8Variant* v);

// The decimal separator of the driver's number formatting (process-wide).
char DecimalSeparator();
void SetDecimalSeparator(char separator);
// Shortest general form with up to 15 significant digits and the given separator.
std::string FormatDouble(double value, char separator);

// ---- Per-device logging table (device identifier -> logging on) ----

void SetDeviceLogging(const std::u16string& deviceId, bool enabled);
// Chooses the log mode for a host call from its first parameter.
void ChooseCallLogMode(const V8Variant* params, long count);
// "[p1; p2; ...]" as written in the call log; BLOBs as "BLOB". Throws for unrenderable values.
// With hideSecrets, passwords in the parameters are masked (support/secrets.h); the callers
// ask for it whenever the list goes into the log.
std::u16string RenderParamList(const V8Variant* params, long count, bool hideSecrets);

// ---- Host-facing component block ----

// Builds a component block for a new object of the class; null for an unknown class name.
void* CreateComponent(std::u16string_view className);
void DestroyComponent(void* block);

}  // namespace vantorel
