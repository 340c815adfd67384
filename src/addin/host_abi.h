// The binary interface between a 1C:Enterprise host and a Native API add-in, written out by hand.
//
// The host declares these interfaces as C++ classes with virtual functions. We never do: the
// Windows host is an MSVC program, while this library (and kkt-host) may be built with g++ or
// MinGW g++, whose Itanium C++ ABI lays out method tables differently. So every table is a plain
// struct of function pointers, every record a plain struct, and every size and offset that the
// host relies on is pinned below with static_assert.
//
// Layout facts per platform:
//   - WCHAR_T is a 16-bit UTF-16 code unit everywhere (char16_t here).
//   - The host's `long` is 32-bit on Windows x64 (LLP64) and 64-bit on Linux x64 (LP64).
//   - A virtual destructor takes one table slot under MSVC, two under the Itanium ABI (g++ on
//     Linux). The host on Windows is MSVC, so its tables have one destructor slot.
//   - The value record embeds the C library's `struct tm`: 36 bytes on Windows, 56 on glibc, which
//     makes the record 48 bytes on Windows and 64 on Linux.
//   - Every table entry is called with `this` = the address of the table pointer inside the
//     object; on x64 both platforms pass it as the first argument (Windows x64 has one calling
//     convention, shared by MSVC and MinGW).
//   - Windows x86 (the 32-bit client): pointers are 4 bytes, `long` 32-bit, the value record is
//     again 48 bytes (doubles and 64-bit integers are 8-byte aligned inside it). Every table entry
//     (not the destructor) is __stdcall with `this` pushed as the first stack argument, not
//     __thiscall with `this` in ECX: the callee pops `this` and the arguments. A cdecl entry would
//     leave the host's stack 4*(1+n) bytes off, so every function pointer type below carries
//     VANTOREL_ADDIN_API, and a function of the wrong convention does not compile into a table.
//     The four exports stay cdecl (caller pops), exported undecorated by the .def file.
//
// Component block handed to the host by GetClassObject (offsets in pointer slots: 8 bytes on
// x64, 4 on x86):
//   slot 0 -> init/done table       (IInitDoneBase)
//   slot 1 -> language-extender table (ILanguageExtenderBase)
//   slot 2 -> locale table          (LocaleBase)
//   slot 3    null (the newer user-interface-language base, unused at interface version 2000)
//   slot 4, 5, 6: the add-in object (the same pointer three times)
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#if defined(_WIN32) && defined(__i386__)
#define VANTOREL_ADDIN_API __attribute__((stdcall))
#else
#define VANTOREL_ADDIN_API
#endif

namespace vantorel::abi {

using WCHAR_T = char16_t;

#if defined(_WIN32) && defined(__i386__)
inline constexpr bool kWindowsX86 = true;
#else
inline constexpr bool kWindowsX86 = false;
#endif

#if defined(_WIN32)
using HostLong = std::int32_t;
using HostULong = std::uint32_t;
inline constexpr int kDestructorSlots = 1;  // MSVC: one deleting destructor
#else
using HostLong = std::int64_t;
using HostULong = std::uint64_t;
inline constexpr int kDestructorSlots = 2;  // Itanium: complete-object and deleting destructor
#endif

// Type codes of the value record (bits 0-11 of the type word); flags in bits 12-14.
enum VType : std::uint16_t {
  VTYPE_EMPTY = 0,
  VTYPE_NULL = 1,
  VTYPE_I2 = 2,
  VTYPE_I4 = 3,
  VTYPE_R4 = 4,
  VTYPE_R8 = 5,
  VTYPE_DATE = 6,
  VTYPE_TM = 7,
  VTYPE_PSTR = 8,
  VTYPE_INTERFACE = 9,
  VTYPE_ERROR = 10,
  VTYPE_BOOL = 11,
  VTYPE_VARIANT = 12,
  VTYPE_I1 = 13,
  VTYPE_UI1 = 14,
  VTYPE_UI2 = 15,
  VTYPE_UI4 = 16,
  VTYPE_I8 = 17,
  VTYPE_UI8 = 18,
  VTYPE_INT = 19,
  VTYPE_UINT = 20,
  VTYPE_HRESULT = 21,
  VTYPE_PWSTR = 22,
  VTYPE_BLOB = 23,
  VTYPE_CLSID = 24,
  VTYPE_STR_BLOB = 0xfff,
};
inline constexpr std::uint16_t VTYPE_CODE_MASK = 0x0fff;
inline constexpr std::uint16_t VTYPE_VECTOR = 0x1000;
inline constexpr std::uint16_t VTYPE_ARRAY = 0x2000;
inline constexpr std::uint16_t VTYPE_BYREF = 0x4000;

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

// The host's value record (tVariant).
struct tVariant {
  union {
    std::int8_t i8Val;
    std::int16_t shortVal;
    std::int32_t lVal;
    std::int32_t intVal;
    std::uint32_t uintVal;
    std::int64_t llVal;
    std::uint8_t ui8Val;
    std::uint16_t ushortVal;
    std::uint32_t ulVal;
    std::uint64_t ullVal;
    std::int32_t errCode;
    std::int32_t hRes;
    float fltVal;
    double dblVal;
    bool bVal;
    char chVal;
    WCHAR_T wchVal;
    double date;  // days since 1899-12-30, time as fraction
    Guid IDVal;
    tVariant* pvarVal;
    std::tm tmVal;
    struct {
      void* pInterfaceVal;
      Guid InterfaceID;
    } ifaceRec;
    struct {
      char* pstrVal;
      std::uint32_t strLen;  // bytes
    } strRec;
    struct {
      WCHAR_T* pwstrVal;
      std::uint32_t wstrLen;  // characters
    } wstrRec;
  };
  std::uint32_t cbElements;
  std::uint16_t vt;
};

// The three platforms the add-in ships for, each pinned; anything else is not a host we know.
#if defined(_WIN32) && defined(__x86_64__)
static_assert(sizeof(void*) == 8 && sizeof(HostLong) == 4);
static_assert(sizeof(std::tm) == 36, "the MSVC host's struct tm is nine 32-bit fields");
static_assert(sizeof(tVariant) == 48, "the Windows host's value record is 48 bytes");
static_assert(offsetof(tVariant, cbElements) == 40);
static_assert(offsetof(tVariant, vt) == 44);
static_assert(offsetof(tVariant, strRec.strLen) == 8);
static_assert(offsetof(tVariant, wstrRec.wstrLen) == 8);
static_assert(offsetof(tVariant, ifaceRec.InterfaceID) == 8);
#elif defined(_WIN32) && defined(__i386__)
static_assert(sizeof(void*) == 4 && sizeof(HostLong) == 4);
static_assert(sizeof(std::tm) == 36, "the MSVC host's struct tm is nine 32-bit fields");
static_assert(alignof(tVariant) == 8, "MSVC x86 aligns doubles and 64-bit integers to 8");
static_assert(sizeof(tVariant) == 48, "the 32-bit Windows host's value record is 48 bytes");
static_assert(offsetof(tVariant, cbElements) == 40);
static_assert(offsetof(tVariant, vt) == 44);
static_assert(offsetof(tVariant, strRec.strLen) == 4);
static_assert(offsetof(tVariant, wstrRec.wstrLen) == 4);
static_assert(offsetof(tVariant, ifaceRec.InterfaceID) == 4);
#elif defined(__linux__) && defined(__x86_64__)
static_assert(sizeof(void*) == 8 && sizeof(HostLong) == 8);
static_assert(sizeof(std::tm) == 56, "glibc's struct tm carries tm_gmtoff and tm_zone");
static_assert(sizeof(tVariant) == 64, "the Linux host's value record is 64 bytes");
static_assert(offsetof(tVariant, cbElements) == 56);
static_assert(offsetof(tVariant, vt) == 60);
static_assert(offsetof(tVariant, strRec.strLen) == 8);
static_assert(offsetof(tVariant, wstrRec.wstrLen) == 8);
static_assert(offsetof(tVariant, ifaceRec.InterfaceID) == 8);
#else
#error "a host platform whose binary interface is not pinned here"
#endif
static_assert(offsetof(tVariant, i8Val) == 0 && offsetof(tVariant, llVal) == 0);
static_assert(offsetof(tVariant, tmVal) == 0 && offsetof(tVariant, dblVal) == 0);
static_assert(sizeof(bool) == 1);

// A destructor slot: never called through our tables (the host destroys add-in objects only
// through DestroyObject, and we never destroy host objects).
using DestructorSlot = void*;

// ---- Tables the add-in hands to the host -------------------------------------------------

struct InitDoneTable {
  DestructorSlot dtor[kDestructorSlots];
  bool(VANTOREL_ADDIN_API* Init)(void* self, void* connection);
  bool(VANTOREL_ADDIN_API* setMemManager)(void* self, void* memManager);
  HostLong(VANTOREL_ADDIN_API* GetInfo)(void* self);
  void(VANTOREL_ADDIN_API* Done)(void* self);
};

struct LanguageExtenderTable {
  DestructorSlot dtor[kDestructorSlots];
  bool(VANTOREL_ADDIN_API* RegisterExtensionAs)(void* self, WCHAR_T** name);
  HostLong(VANTOREL_ADDIN_API* GetNProps)(void* self);
  HostLong(VANTOREL_ADDIN_API* FindProp)(void* self, const WCHAR_T* name);
  const WCHAR_T*(VANTOREL_ADDIN_API* GetPropName)(void* self, HostLong num, HostLong alias);
  bool(VANTOREL_ADDIN_API* GetPropVal)(void* self, HostLong num, tVariant* value);
  bool(VANTOREL_ADDIN_API* SetPropVal)(void* self, HostLong num, tVariant* value);
  bool(VANTOREL_ADDIN_API* IsPropReadable)(void* self, HostLong num);
  bool(VANTOREL_ADDIN_API* IsPropWritable)(void* self, HostLong num);
  HostLong(VANTOREL_ADDIN_API* GetNMethods)(void* self);
  HostLong(VANTOREL_ADDIN_API* FindMethod)(void* self, const WCHAR_T* name);
  const WCHAR_T*(VANTOREL_ADDIN_API* GetMethodName)(void* self, HostLong num, HostLong alias);
  HostLong(VANTOREL_ADDIN_API* GetNParams)(void* self, HostLong num);
  bool(VANTOREL_ADDIN_API* GetParamDefValue)(void* self, HostLong method, HostLong param,
                                             tVariant* value);
  bool(VANTOREL_ADDIN_API* HasRetVal)(void* self, HostLong method);
  bool(VANTOREL_ADDIN_API* CallAsProc)(void* self, HostLong method, tVariant* params,
                                       HostLong count);
  bool(VANTOREL_ADDIN_API* CallAsFunc)(void* self, HostLong method, tVariant* result,
                                       tVariant* params, HostLong count);
};

struct LocaleTable {
  DestructorSlot dtor[kDestructorSlots];
  void(VANTOREL_ADDIN_API* SetLocale)(void* self, const WCHAR_T* locale);
};

constexpr std::size_t kSlot = sizeof(void*);
static_assert(offsetof(InitDoneTable, Init) == kDestructorSlots * kSlot);
static_assert(sizeof(InitDoneTable) == (kDestructorSlots + 4) * kSlot);
static_assert(offsetof(LanguageExtenderTable, RegisterExtensionAs) == kDestructorSlots * kSlot);
static_assert(offsetof(LanguageExtenderTable, CallAsFunc) == (kDestructorSlots + 15) * kSlot);
static_assert(sizeof(LanguageExtenderTable) == (kDestructorSlots + 16) * kSlot);
static_assert(offsetof(LocaleTable, SetLocale) == kDestructorSlots * kSlot);

// The component block (see the layout at the top of this file).
struct ComponentBlock {
  const InitDoneTable* initDone;
  const LanguageExtenderTable* languageExtender;
  const LocaleTable* locale;
  void* userLanguage;  // null
  void* object;
  void* object2;
  void* object3;
};
static_assert(sizeof(ComponentBlock) == 7 * kSlot);  // 56 bytes on x64, 28 on x86
static_assert(offsetof(ComponentBlock, languageExtender) == 1 * kSlot);
static_assert(offsetof(ComponentBlock, locale) == 2 * kSlot);
static_assert(offsetof(ComponentBlock, object) == 4 * kSlot);

// ---- Host objects the add-in calls --------------------------------------------------------

struct MemoryManagerTable {
  DestructorSlot dtor[kDestructorSlots];
  bool(VANTOREL_ADDIN_API* AllocMemory)(void* self, void** block, HostULong size);
  void(VANTOREL_ADDIN_API* FreeMemory)(void* self, void** block);
};
static_assert(offsetof(MemoryManagerTable, AllocMemory) == kDestructorSlots * kSlot);
static_assert(offsetof(MemoryManagerTable, FreeMemory) == (kDestructorSlots + 1) * kSlot);

struct ConnectionTable {
  DestructorSlot dtor[kDestructorSlots];
  bool(VANTOREL_ADDIN_API* AddError)(void* self, std::uint16_t code, const WCHAR_T* source,
                                     const WCHAR_T* descr, HostLong scode);
  bool(VANTOREL_ADDIN_API* Read)(void* self, WCHAR_T* propName, tVariant* value, HostLong* errCode,
                                 WCHAR_T** errDescriptor);
  bool(VANTOREL_ADDIN_API* Write)(void* self, WCHAR_T* propName, tVariant* value);
  bool(VANTOREL_ADDIN_API* RegisterProfileAs)(void* self, WCHAR_T* profileName);
  bool(VANTOREL_ADDIN_API* SetEventBufferDepth)(void* self, HostLong depth);
  HostLong(VANTOREL_ADDIN_API* GetEventBufferDepth)(void* self);
  bool(VANTOREL_ADDIN_API* ExternalEvent)(void* self, WCHAR_T* source, WCHAR_T* message,
                                          WCHAR_T* data);
  void(VANTOREL_ADDIN_API* CleanEventBuffer)(void* self);
  bool(VANTOREL_ADDIN_API* SetStatusLine)(void* self, WCHAR_T* statusLine);
  void(VANTOREL_ADDIN_API* ResetStatusLine)(void* self);
  void*(VANTOREL_ADDIN_API* GetInterface)(void* self, int iface);  // extended form only
};
static_assert(offsetof(ConnectionTable, AddError) == kDestructorSlots * kSlot);
static_assert(offsetof(ConnectionTable, ResetStatusLine) == (kDestructorSlots + 9) * kSlot);
static_assert(offsetof(ConnectionTable, GetInterface) == (kDestructorSlots + 10) * kSlot);

// A host object is a pointer to its table pointer.
template <typename Table>
struct HostObject {
  const Table* table;
};

// AddError's host error classes.
inline constexpr std::uint16_t ADDIN_E_NONE = 1000;
inline constexpr std::uint16_t ADDIN_E_ORDINARY = 1001;
inline constexpr std::uint16_t ADDIN_E_ATTENTION = 1002;
inline constexpr std::uint16_t ADDIN_E_IMPORTANT = 1003;
inline constexpr std::uint16_t ADDIN_E_VERY_IMPORTANT = 1004;
inline constexpr std::uint16_t ADDIN_E_INFO = 1005;
inline constexpr std::uint16_t ADDIN_E_FAIL = 1006;

// Exported entry points, by the names the host resolves.
extern "C" {
using GetClassObjectFn = HostLong (*)(const WCHAR_T* name, void** component);
using DestroyObjectFn = HostLong (*)(void** component);
using GetClassNamesFn = const WCHAR_T* (*)();
using GetAttachTypeFn = int (*)();
}

enum AttachType : int { eCanAttachNotIsolated = 1, eCanAttachIsolated = 2, eCanAttachAny = 3 };

}  // namespace vantorel::abi
