// Loading a Native API add-in and driving one of its objects the way 1C:Enterprise does.
//
//   kkthost::Host host(path);                 // loads the library, resolves the four exports
//   auto c = host.Create();                   // GetClassObject + setMemManager, Init, GetInfo,
//                                             // SetLocale("ru_RU"), RegisterExtensionAs
//   auto out = c->Call("GetInterfaceRevision", {});
//   c->Close();                               // Done + DestroyObject, then the leak check
//
// Every table entry is called with `this` = the address of that table's pointer in the block.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection.h"
#include "memory_manager.h"
#include "value.h"

namespace kkthost {

// The library could not be loaded or does not look like an add-in, or the add-in refused to create
// its object: exit status 1.
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MethodInfo {
  long index = -1;
  std::string name;       // GetMethodName(n, 0)
  std::string localName;  // GetMethodName(n, 1)
  long paramCount = 0;
  bool hasRetVal = false;
};

struct PropInfo {
  long index = -1;
  std::string name;
  std::string localName;
  bool readable = false;
  bool writable = false;
};

enum class CallKind { Function, Procedure };

struct CallOutcome {
  std::string method;  // the name the caller gave
  long index = -1;
  CallKind kind = CallKind::Function;
  bool hostResult = false;                // what CallAsFunc/CallAsProc returned
  std::optional<Value> result;            // none for CallAsProc
  std::vector<Value> params;              // every parameter after the call
  std::vector<AddErrorRecord> addErrors;  // reported during this call
  std::vector<MemoryFault> memoryFaults;  // found during this call
};

struct PropOutcome {
  std::string property;
  long index = -1;
  bool set = false;  // SetPropVal, else GetPropVal
  bool hostResult = false;
  Value value;  // the value read, or the value passed
  std::vector<AddErrorRecord> addErrors;
  std::vector<MemoryFault> memoryFaults;
};

struct LastError {
  std::int64_t code = 0;
  std::string description;
};

// The code (the result) and description (parameter 1) of a GetLastError call.
LastError LastErrorOf(const CallOutcome& getLastError);

class Library;

class Component {
 public:
  ~Component();  // closes the object if Close was not called
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  // What the object answered while it was set up.
  long Info() const { return info_; }
  const std::string& ExtensionName() const { return extensionName_; }
  const std::string& ClassName() const { return className_; }

  long MethodCount();
  long FindMethod(std::string_view name);  // -1 when not found
  std::string MethodName(long index, long alias);
  long ParamCount(long index);
  bool HasRetVal(long index);
  std::optional<Value> ParamDefault(long method, long param);
  std::vector<MethodInfo> Methods();

  long PropCount();
  long FindProp(std::string_view name);
  std::string PropName(long index, long alias);
  bool PropReadable(long index);
  bool PropWritable(long index);
  std::vector<PropInfo> Properties();

  // A call as the host makes it: FindMethod, GetNParams (missing trailing parameters are taken
  // from GetParamDefValue), HasRetVal (a method without a result cannot be called as a function),
  // then the call. Those checks throw UsageError. An `>out` parameter is an empty value.
  CallOutcome Call(std::string_view method, std::vector<Value> params,
                   CallKind kind = CallKind::Function);
  // The bare call of method `index` with exactly these parameters, no checks.
  CallOutcome CallIndex(long index, std::vector<Value> params, CallKind kind, std::string label);

  // GetLastError(out description) -> code. Throws UsageError when the add-in has no such method.
  LastError GetLastError();

  // IsPropReadable/IsPropWritable are checked first, as the host does (UsageError).
  PropOutcome ReadProp(std::string_view name);
  PropOutcome WriteProp(std::string_view name, Value value);
  PropOutcome ReadPropIndex(long index);
  PropOutcome WritePropIndex(long index, Value value);

  // Done, then DestroyObject, then every block the add-in still holds is recorded as a leak.
  // Further calls are refused. Returns all memory faults.
  std::vector<MemoryFault> Close();
  bool Closed() const { return block_ == nullptr; }

  MemoryManager& Memory() { return *memory_; }
  Connection& Connect() { return *connection_; }
  std::vector<MemoryFault> MemoryFaults() const { return memory_->Faults(); }
  std::vector<AddErrorRecord> AddErrors() const { return connection_->AddErrors(); }

 private:
  friend class Host;
  Component(std::shared_ptr<Library> library, std::string className);

  abi::ComponentBlock& Block();
  void* InitDoneThis();
  void* ExtenderThis();
  void* LocaleThis();
  const abi::LanguageExtenderTable& Extender();

  // Turns a received host text into UTF-8 and frees it.
  std::string TakeText(abi::WCHAR_T* p, std::string_view what);
  // Writes `v` into a zeroed record, texts in host memory.
  void Fill(abi::tVariant& record, const Value& v);
  // Reads a record the add-in may have written, takes what it holds and frees it.
  Value Take(abi::tVariant& record, std::string_view what);

  std::shared_ptr<Library> library_;
  std::unique_ptr<MemoryManager> memory_;
  std::unique_ptr<Connection> connection_;
  void* block_ = nullptr;
  std::string className_;
  std::string extensionName_;
  long info_ = 0;
};

class Host {
 public:
  // Loads the library and resolves GetClassObject, DestroyObject, GetClassNames, GetAttachType.
  explicit Host(const std::filesystem::path& addin);
  ~Host();

  const std::filesystem::path& Path() const { return path_; }
  std::vector<std::string> ClassNames() const;  // GetClassNames split on '|'
  int AttachType() const;
  // What SetPlatformCapabilities answered when the add-in exports it (the host offers
  // kHostCapabilities); nothing when it does not.
  std::optional<int> Capabilities() const { return capabilities_; }
  static constexpr int kHostCapabilities = 3;

  // Creates and sets up one object: the first class name when `className` is empty.
  std::unique_ptr<Component> Create(std::string_view className = {});

 private:
  std::filesystem::path path_;
  std::shared_ptr<Library> library_;
  std::optional<int> capabilities_;
};

// The folder of the running executable.
std::filesystem::path ExecutableDirectory();
// `file` in the folder of the running executable: how kkt-host finds the add-in by default and
// how the tests find the add-in they were built with (VANTOREL_ADDIN_FILE).
std::filesystem::path BesideExecutable(std::string_view file);
// libvantorel.so / vantorel.dll
const char* DefaultAddinFileName();

}  // namespace kkthost
