// The virtual register: an in-process emulator of a DTO10 register, answering the same
// automation calls as the real driver library.
#pragma once

#include <memory>

#include "device/automation.h"

namespace vantorel::emulator {

// A new DTO10-like automation object. Which register it talks to (and so which persisted state
// it sees) is decided by its connection settings, as with a real device.
std::unique_ptr<automation::Object> CreateVirtualRegister();

}  // namespace vantorel::emulator
