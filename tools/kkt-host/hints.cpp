#include "hints.h"

#include <array>
#include <utility>

namespace kkthost {

std::string HintFor(const std::string& message) {
  static const std::array<std::pair<const char*, const char*>, 10> kHints{{
      {"has no method named",
       "kkt-host info lists the methods with their English and Russian names (letter case "
       "counts)"},
      {"has no property named", "kkt-host info lists the properties"},
      {"parameter(s),",
       "kkt-host info shows how many parameters each method takes; trailing ones left out take "
       "their defaults"},
      {"bad argument",
       "write each argument as type:value, e.g. s:text i:42 d:1.5 b:true, or >NAME for an out "
       "parameter"},
      {"cannot open scenario", "check the path; run - reads the scenario from standard input"},
      {"cannot load",
       "--addin takes the add-in's library (libvantorel.so, vantorel.dll); without it kkt-host "
       "loads the one beside itself, built by cmake --build --preset linux"},
      {"unterminated", "close the quote, or escape it with a backslash"},
      {"unknown command", "kkt-host --help lists the commands"},
      {"' is not set", "give the variable its value first, as >NAME on an earlier line"},
      {"cannot open file",
       "s@FILE reads a UTF-8 file: check the path (a scenario's own folder is "
       "searched too)"},
  }};
  for (const auto& [pattern, hint] : kHints)
    if (message.find(pattern) != std::string::npos) return hint;
  return {};
}

}  // namespace kkthost
