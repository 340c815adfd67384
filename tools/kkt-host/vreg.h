// `kkt-host vreg`: the virtual register from outside: its state, its paper tape (text or an HTML
// page), its configuration and planned faults, and a fresh start. Works on the register's state
// file, so no add-in is loaded.
#pragma once

#include <string>
#include <vector>

namespace kkthost {

// `args` are the words after "vreg". Returns the exit status (0 done, 1 failed, 2 usage).
int RunVreg(const std::vector<std::string>& args, bool json);

}  // namespace kkthost
