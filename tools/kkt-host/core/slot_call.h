// Calling into the add-in as the host's compiler does, and checking that the add-in agrees.
//
// On Windows x86 the 32-bit 1C client is an MSVC program: it pushes `this` and the arguments of
// a table entry and expects the entry to pop them all (__stdcall); the four exports are cdecl, the
// caller pops. A g++ call through a function pointer cannot tell whether the callee popped what it
// should: with a frame pointer the caller's stack comes right again at its own return, and a
// wrong convention "mostly works" until it crashes the host. So on x86 every call goes through a
// small assembler routine that pushes the argument words itself, measures how many bytes the
// callee popped, checks that EBX, ESI and EDI survived, and leaves no `this` in ECX (a __thiscall
// entry would read garbage there). A mismatch is a HostError naming the entry.
//
// Elsewhere (x64, one calling convention) the call is the plain call.
#pragma once

#include <cstdint>
#include <type_traits>

#include "addin/host_abi.h"

namespace kkthost {

enum class Convention {
  Stdcall,  // a table entry: the callee pops `this` and the arguments
  Cdecl,    // an export: the caller pops
};

#if defined(_WIN32) && defined(__i386__)

struct ProbeResult {
  std::uint32_t eax = 0;
  std::uint32_t edx = 0;
  std::int32_t popped = 0;      // bytes the callee took off the stack
  std::uint32_t clobbered = 0;  // non-zero: EBX, ESI or EDI changed across the call
};

// Calls `fn` with `count` 32-bit argument words (the first is pushed last, as a C compiler does)
// with ECX, EBX, ESI and EDI set to marker values, on a stack that is 4-byte aligned only.
extern "C" void kkthost_probe_call(std::uintptr_t fn, const std::uint32_t* args,
                                   std::uint32_t count, ProbeResult* out);

// Throws HostError when the probe shows the callee broke `convention`.
void CheckProbe(const char* name, Convention convention, unsigned words, const ProbeResult& r);

template <typename T>
std::uint32_t ArgumentWord(T value) {
  static_assert(sizeof(T) <= 4, "a host call argument that is not one stack word");
  if constexpr (std::is_pointer_v<T>) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
  } else {
    return static_cast<std::uint32_t>(value);
  }
}

#endif

template <typename Fn, typename... Args>
auto CallChecked(Convention convention, const char* name, Fn fn, Args... args)
    -> decltype(fn(args...)) {
#if defined(_WIN32) && defined(__i386__)
  using R = decltype(fn(args...));
  const std::uint32_t words[sizeof...(Args) + 1] = {ArgumentWord(args)..., 0};
  ProbeResult r;
  kkthost_probe_call(reinterpret_cast<std::uintptr_t>(fn), words, sizeof...(Args), &r);
  CheckProbe(name, convention, sizeof...(Args), r);
  if constexpr (std::is_void_v<R>) {
    return;
  } else if constexpr (std::is_same_v<R, bool>) {
    return (r.eax & 0xff) != 0;  // a bool comes back in AL; the rest of EAX is undefined
  } else if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<R>(static_cast<std::uintptr_t>(r.eax));
  } else {
    static_assert(std::is_integral_v<R> && sizeof(R) <= 4, "a result that is not in EAX");
    return static_cast<R>(r.eax);
  }
#else
  (void)convention;
  (void)name;
  return fn(args...);
#endif
}

// A table entry of the add-in (`this` first).
template <typename Fn, typename... Args>
auto CallSlot(const char* name, Fn fn, Args... args) -> decltype(fn(args...)) {
  return CallChecked(Convention::Stdcall, name, fn, args...);
}

// One of the add-in's exported functions.
template <typename Fn, typename... Args>
auto CallExport(const char* name, Fn fn, Args... args) -> decltype(fn(args...)) {
  return CallChecked(Convention::Cdecl, name, fn, args...);
}

}  // namespace kkthost
