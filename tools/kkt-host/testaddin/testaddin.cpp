// A small add-in for kkt-host's own tests: well-behaved methods that check the value records
// cross intact, and methods that make each memory mistake kkt-host must recognise.
#include <cstddef>
#include <cstring>
#include <string>

#include "addin/host_abi.h"

namespace abi = vantorel::abi;
using abi::WCHAR_T;

namespace {

using MemoryManager = abi::HostObject<abi::MemoryManagerTable>;
using Connection = abi::HostObject<abi::ConnectionTable>;

struct TestObject {
  abi::ComponentBlock block;  // first: the host holds a pointer to it
  MemoryManager* mm = nullptr;
  Connection* connection = nullptr;
  bool flag = false;
  int calls = 0;
};

TestObject* FromInitDone(void* self) { return static_cast<TestObject*>(self); }
TestObject* FromExtender(void* self) {
  return reinterpret_cast<TestObject*>(static_cast<char*>(self) -
                                       offsetof(abi::ComponentBlock, languageExtender));
}
TestObject* FromLocale(void* self) {
  return reinterpret_cast<TestObject*>(static_cast<char*>(self) -
                                       offsetof(abi::ComponentBlock, locale));
}

void* Alloc(TestObject* o, std::size_t size) {
  void* p = nullptr;
  if (!o->mm->table->AllocMemory(o->mm, &p, static_cast<abi::HostULong>(size))) return nullptr;
  return p;
}

void Free(TestObject* o, void* p) { o->mm->table->FreeMemory(o->mm, &p); }

WCHAR_T* Copy(TestObject* o, std::u16string_view s) {
  auto* p = static_cast<WCHAR_T*>(Alloc(o, (s.size() + 1) * 2));
  if (p == nullptr) return nullptr;
  std::memcpy(p, s.data(), s.size() * 2);
  p[s.size()] = 0;
  return p;
}

void SetText(TestObject* o, abi::tVariant* v, std::u16string_view s) {
  std::memset(v, 0, sizeof *v);
  v->vt = abi::VTYPE_PWSTR;
  v->wstrRec.pwstrVal = Copy(o, s);
  v->wstrRec.wstrLen = static_cast<std::uint32_t>(s.size());
}

void SetBool(abi::tVariant* v, bool b) {
  std::memset(v, 0, sizeof *v);
  v->vt = abi::VTYPE_BOOL;
  v->bVal = b;
}

bool IsPointer(const abi::tVariant& v) {
  const auto code = v.vt & abi::VTYPE_CODE_MASK;
  return code == abi::VTYPE_PWSTR || code == abi::VTYPE_PSTR || code == abi::VTYPE_BLOB;
}

struct Method {
  const char16_t* name;
  const char16_t* localName;
  long params;
  bool hasRet;
};

enum : long {
  kEcho,
  kReplace,
  kOverwrite,
  kLeak,
  kDoubleFree,
  kForeignFree,
  kStaticResult,
  kFail,
  kProc,
  kGetLastError,
  kDefaulted,
  kReturnFreed,
  kMethodCount
};

const Method kMethods[kMethodCount] = {
    {u"Echo", u"Эхо", 2, true},
    {u"Replace", u"Заменить", 1, true},
    {u"Overwrite", u"Перезаписать", 1, true},
    {u"Leak", u"Утечка", 0, true},
    {u"DoubleFree", u"ДвойноеОсвобождение", 0, true},
    {u"ForeignFree", u"ЧужоеОсвобождение", 0, true},
    {u"StaticResult", u"СтатическийРезультат", 0, true},
    {u"Fail", u"Отказ", 0, true},
    {u"Proc", u"Процедура", 0, false},
    {u"GetLastError", u"ПолучитьОшибку", 1, true},
    {u"Defaulted", u"СУмолчанием", 2, true},
    {u"ReturnFreed", u"ВернутьОсвобождённое", 0, true},
};

const char16_t* const kProps[2][2] = {{u"Flag", u"Флаг"}, {u"Title", u"Заголовок"}};

long Find(const WCHAR_T* name, bool methods) {
  const std::u16string_view n(name);
  const long count = methods ? static_cast<long>(kMethodCount) : 2L;
  for (long i = 0; i < count; ++i) {
    const char16_t* en = methods ? kMethods[i].name : kProps[i][0];
    const char16_t* ru = methods ? kMethods[i].localName : kProps[i][1];
    if (n == ru || n == en) return i;
  }
  return -1;
}

char g_foreign[16];
const char16_t g_static[] = u"static";

bool Call(void* self, long method, abi::tVariant* ret, abi::tVariant* params, long count) {
  TestObject* o = FromExtender(self);
  ++o->calls;
  if (method < 0 || method >= kMethodCount || count != kMethods[method].params) return false;
  switch (method) {
    case kEcho: {
      // The second record must be read at the host's record size.
      if (ret == nullptr) return true;
      const abi::tVariant& in = params[1];
      std::memcpy(ret, &in, sizeof *ret);
      if (IsPointer(in)) {
        const auto code = in.vt & abi::VTYPE_CODE_MASK;
        const std::size_t bytes = code == abi::VTYPE_PWSTR  ? (in.wstrRec.wstrLen + 1) * 2
                                  : code == abi::VTYPE_PSTR ? in.strRec.strLen + 1
                                                            : in.strRec.strLen;
        void* p = Alloc(o, bytes);
        std::memcpy(p, in.strRec.pstrVal, bytes);
        ret->strRec.pstrVal = static_cast<char*>(p);
      }
      return true;
    }
    case kReplace: {
      std::u16string text = u"replaced:";
      if ((params[0].vt & abi::VTYPE_CODE_MASK) == abi::VTYPE_PWSTR && params[0].wstrRec.pwstrVal) {
        text += params[0].wstrRec.pwstrVal;
      }
      if (IsPointer(params[0])) Free(o, params[0].strRec.pstrVal);
      SetText(o, &params[0], text);
      if (ret != nullptr) SetBool(ret, true);
      return true;
    }
    case kOverwrite:
      SetText(o, &params[0], u"overwritten");
      if (ret != nullptr) SetBool(ret, true);
      return true;
    case kLeak:
      Alloc(o, 10);
      if (ret != nullptr) SetBool(ret, true);
      return true;
    case kDoubleFree: {
      void* p = Alloc(o, 8);
      void* q = p;
      Free(o, p);
      Free(o, q);
      return true;
    }
    case kForeignFree:
      Free(o, g_foreign);
      return true;
    case kStaticResult:
      if (ret != nullptr) {
        std::memset(ret, 0, sizeof *ret);
        ret->vt = abi::VTYPE_PWSTR;
        ret->wstrRec.pwstrVal = const_cast<WCHAR_T*>(g_static);
        ret->wstrRec.wstrLen = 6;
      }
      return true;
    case kFail: {
      WCHAR_T* descr = Copy(o, u"отказ");
      o->connection->table->AddError(o->connection, abi::ADDIN_E_FAIL, u"Test", descr,
                                     static_cast<abi::HostLong>(0x80004005u));
      Free(o, descr);
      return false;
    }
    case kProc:
      return true;
    case kGetLastError:
      SetText(o, &params[0],
              u"calls: " + std::u16string(1, static_cast<char16_t>(u'0' + o->calls % 10)));
      if (ret != nullptr) {
        std::memset(ret, 0, sizeof *ret);
        ret->vt = abi::VTYPE_I4;
        ret->lVal = 7;
      }
      return true;
    case kDefaulted:
      if (ret != nullptr) std::memcpy(ret, &params[1], sizeof *ret);
      return true;
    case kReturnFreed: {
      if (ret == nullptr) return true;
      SetText(o, ret, u"gone");
      Free(o, ret->wstrRec.pwstrVal);
      return true;
    }
  }
  return false;
}

// The table entries: plain functions, each with the host's calling convention.
struct Slots {
  static bool VANTOREL_ADDIN_API Init(void* self, void* connection) {
    FromInitDone(self)->connection = static_cast<Connection*>(connection);
    return true;
  }
  static bool VANTOREL_ADDIN_API SetMemManager(void* self, void* mm) {
    FromInitDone(self)->mm = static_cast<MemoryManager*>(mm);
    return true;
  }
  static abi::HostLong VANTOREL_ADDIN_API GetInfo(void*) { return 2000; }
  static void VANTOREL_ADDIN_API Done(void*) {}

  static bool VANTOREL_ADDIN_API RegisterExtensionAs(void* self, WCHAR_T** name) {
    *name = Copy(FromExtender(self), u"KkthostTest");
    return true;
  }
  static abi::HostLong VANTOREL_ADDIN_API GetNProps(void*) { return 2; }
  static abi::HostLong VANTOREL_ADDIN_API FindProp(void*, const WCHAR_T* name) {
    return Find(name, false);
  }
  static const WCHAR_T* VANTOREL_ADDIN_API GetPropName(void* self, abi::HostLong n,
                                                       abi::HostLong alias) {
    if (n < 0 || n >= 2) return nullptr;
    return Copy(FromExtender(self), kProps[n][alias == 0 ? 0 : 1]);
  }
  static bool VANTOREL_ADDIN_API GetPropVal(void* self, abi::HostLong n, abi::tVariant* v) {
    TestObject* o = FromExtender(self);
    if (n == 0) {
      SetBool(v, o->flag);
      return true;
    }
    if (n == 1) {
      SetText(o, v, u"test");
      return true;
    }
    return false;
  }
  static bool VANTOREL_ADDIN_API SetPropVal(void* self, abi::HostLong n, abi::tVariant* v) {
    if (n != 0 || v->vt != abi::VTYPE_BOOL) return false;
    FromExtender(self)->flag = v->bVal;
    return true;
  }
  static bool VANTOREL_ADDIN_API IsPropReadable(void*, abi::HostLong n) { return n == 0 || n == 1; }
  static bool VANTOREL_ADDIN_API IsPropWritable(void*, abi::HostLong n) { return n == 0; }
  static abi::HostLong VANTOREL_ADDIN_API GetNMethods(void*) { return kMethodCount; }
  static abi::HostLong VANTOREL_ADDIN_API FindMethod(void*, const WCHAR_T* name) {
    return Find(name, true);
  }
  static const WCHAR_T* VANTOREL_ADDIN_API GetMethodName(void* self, abi::HostLong n,
                                                         abi::HostLong alias) {
    if (n < 0 || n >= kMethodCount) return nullptr;
    return Copy(FromExtender(self), alias == 0 ? kMethods[n].name : kMethods[n].localName);
  }
  static abi::HostLong VANTOREL_ADDIN_API GetNParams(void*, abi::HostLong n) {
    return n >= 0 && n < kMethodCount ? kMethods[n].params : 0;
  }
  static bool VANTOREL_ADDIN_API GetParamDefValue(void*, abi::HostLong m, abi::HostLong p,
                                                  abi::tVariant* v) {
    if (m != kDefaulted || p != 1) return false;
    std::memset(v, 0, sizeof *v);
    v->vt = abi::VTYPE_I4;
    v->lVal = 42;
    return true;
  }
  static bool VANTOREL_ADDIN_API HasRetVal(void*, abi::HostLong n) {
    return n >= 0 && n < kMethodCount && kMethods[n].hasRet;
  }
  static bool VANTOREL_ADDIN_API CallAsProc(void* self, abi::HostLong n, abi::tVariant* params,
                                            abi::HostLong count) {
    return Call(self, static_cast<long>(n), nullptr, params, static_cast<long>(count));
  }
  static bool VANTOREL_ADDIN_API CallAsFunc(void* self, abi::HostLong n, abi::tVariant* ret,
                                            abi::tVariant* params, abi::HostLong count) {
    return Call(self, static_cast<long>(n), ret, params, static_cast<long>(count));
  }

  static void VANTOREL_ADDIN_API SetLocale(void* self, const WCHAR_T*) { (void)FromLocale(self); }

  // The mistake the host must catch on Windows x86: an entry in the compiler's default
  // convention (cdecl: the caller pops), placed in the table as if it were __stdcall.
  static abi::HostLong WrongConventionGetNMethods(void*) { return kMethodCount; }
};

const abi::InitDoneTable kInitDone = {
    {}, Slots::Init, Slots::SetMemManager, Slots::GetInfo, Slots::Done};

const abi::LanguageExtenderTable kExtender = {
    {},
    Slots::RegisterExtensionAs,
    Slots::GetNProps,
    Slots::FindProp,
    Slots::GetPropName,
    Slots::GetPropVal,
    Slots::SetPropVal,
    Slots::IsPropReadable,
    Slots::IsPropWritable,
    Slots::GetNMethods,
    Slots::FindMethod,
    Slots::GetMethodName,
    Slots::GetNParams,
    Slots::GetParamDefValue,
    Slots::HasRetVal,
    Slots::CallAsProc,
    Slots::CallAsFunc,
};

// The same table with GetNMethods in the wrong convention (class kkthost_test_cdecl).
const abi::LanguageExtenderTable kWrongExtender = [] {
  abi::LanguageExtenderTable t = kExtender;
  t.GetNMethods = reinterpret_cast<decltype(t.GetNMethods)>(
      reinterpret_cast<void (*)()>(&Slots::WrongConventionGetNMethods));
  return t;
}();

const abi::LocaleTable kLocale = {{}, Slots::SetLocale};

}  // namespace

#if defined(_WIN32)
#define TESTADDIN_EXPORT extern "C" __declspec(dllexport)
#else
#define TESTADDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

TESTADDIN_EXPORT abi::HostLong GetClassObject(const WCHAR_T* name, void** component) {
  if (name == nullptr || component == nullptr) return 0;
  // kkthost_test_cdecl is not in GetClassNames: only the test of the calling convention asks.
  const std::u16string_view n(name);
  if (n != u"kkthost_test" && n != u"kkthost_test_cdecl") return 0;
  auto* o = new TestObject{};
  o->block.initDone = &kInitDone;
  o->block.languageExtender = n == u"kkthost_test" ? &kExtender : &kWrongExtender;
  o->block.locale = &kLocale;
  o->block.object = o->block.object2 = o->block.object3 = o;
  *component = o;
  return 1;
}

TESTADDIN_EXPORT abi::HostLong DestroyObject(void** component) {
  if (component != nullptr && *component != nullptr) delete static_cast<TestObject*>(*component);
  return 0;
}

TESTADDIN_EXPORT const WCHAR_T* GetClassNames() { return u"kkthost_test"; }

TESTADDIN_EXPORT int GetAttachType() { return abi::eCanAttachAny; }
