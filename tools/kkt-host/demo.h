// `kkt-host demo`: a day at the till on the virtual register, driven through the add-in as the
// host drives it.
#pragma once

#include <string>
#include <vector>

#include "component.h"

namespace kkthost {

// Runs the demo on a new object of `host`; `args` are the words after "demo". Returns the exit
// status (0 when every step went through).
int RunDemo(Host& host, const std::string& className, const std::vector<std::string>& args);

}  // namespace kkthost
