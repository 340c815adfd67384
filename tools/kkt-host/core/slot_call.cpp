#include "slot_call.h"

#if defined(_WIN32) && defined(__i386__)

#include <string>

#include "component.h"

// kkthost_probe_call(fn, args, count, out), cdecl. The frame:
//   8(%ebp) fn   12(%ebp) args   16(%ebp) count   20(%ebp) out
//   -16(%ebp) where ESP stands at the call (after the argument words are pushed)
asm(R"(
    .text
    .globl _kkthost_probe_call
    .def _kkthost_probe_call; .scl 2; .type 32; .endef
_kkthost_probe_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $8, %esp
    movl 16(%ebp), %ecx
    movl 12(%ebp), %esi
    leal 0(,%ecx,4), %edx
    movl %esp, %eax
    subl %edx, %eax
    andl $-16, %eax
    subl $4, %eax
    movl %eax, -16(%ebp)
    addl %edx, %eax
    movl %eax, %esp
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    movl 8(%ebp), %eax
    movl $0x7c7c7c7c, %ecx
    movl $0xb0b0b0b0, %ebx
    movl $0x51515151, %esi
    movl $0xd0d0d0d0, %edi
    call *%eax
    movl 20(%ebp), %ecx
    movl %eax, 0(%ecx)
    movl %edx, 4(%ecx)
    movl %esp, %eax
    subl -16(%ebp), %eax
    movl %eax, 8(%ecx)
    xorl %eax, %eax
    xorl %edx, %edx
    cmpl $0xb0b0b0b0, %ebx
    setne %dl
    orl %edx, %eax
    cmpl $0x51515151, %esi
    setne %dl
    orl %edx, %eax
    cmpl $0xd0d0d0d0, %edi
    setne %dl
    orl %edx, %eax
    movl %eax, 12(%ecx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace kkthost {

void CheckProbe(const char* name, Convention convention, unsigned words, const ProbeResult& r) {
  const std::int32_t expected =
      convention == Convention::Stdcall ? static_cast<std::int32_t>(4 * words) : 0;
  if (r.popped != expected) {
    throw HostError(std::string(name) + " popped " + std::to_string(r.popped) +
                    " bytes of the stack, the host expects " + std::to_string(expected) +
                    (convention == Convention::Stdcall
                         ? ": the entry is not __stdcall with `this` on the stack"
                         : ": the export is not cdecl"));
  }
  if (r.clobbered != 0) {
    throw HostError(std::string(name) + " did not preserve EBX, ESI and EDI for the host");
  }
}

}  // namespace kkthost

#endif
