// Whether a name is one of the register's device operations, for tools that plan faults.
#include "operations.h"
#include "support/text.h"

namespace vantorel::emulator {

bool IsDeviceOperation(const std::string& name) {
  return FindOperation(text::AsciiLower(name)) != nullptr;
}

}  // namespace vantorel::emulator
