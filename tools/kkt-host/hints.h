// What to do about a mistake kkt-host reports: one line of advice for the messages a user can
// cause (a wrong method or property name, a parameter count, an argument, a file), empty when
// the message needs none.
#pragma once

#include <string>

namespace kkthost {

std::string HintFor(const std::string& message);

}  // namespace kkthost
