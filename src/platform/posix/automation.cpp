// Automation objects without COM: the library keeps its own table of creatable ProgIDs. The
// register maker's library has no automation server outside Windows, so "AddIn.Fptr10" is the
// virtual register here.
#include "device/automation.h"

#include <thread>

#include "support/text.h"
#include "vregister/virtual_register.h"

namespace vantorel::automation {

namespace {
struct ProgIdEntry {
  std::string_view progId;
  std::unique_ptr<Object> (*create)();
};

// ProgIDs compare without regard to letter case, as COM compares them.
constexpr ProgIdEntry kProgIds[] = {
    {"AddIn.Fptr10", &emulator::CreateVirtualRegister},
};
}  // namespace

std::unique_ptr<Object> CreateObject(std::string_view progId) {
  for (const auto& entry : kProgIds) {
    if (text::EqualsIgnoreCase(entry.progId, progId)) {
      auto object = entry.create();
      if (!object)
        throw AutomationError("Automation object '" + std::string(progId) +
                              "' could not be created");
      return object;
    }
  }
  throw AutomationError("No automation object is registered under the ProgID '" +
                        std::string(progId) + "'");
}

// Nothing here runs on another thread's behalf: waiting is enough.
bool WaitServingCalls(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return ready();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace vantorel::automation
