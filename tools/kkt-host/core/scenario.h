// Commands of the kkt-host command line and of scenario files, and the session that runs them on
// one add-in object with shared variables.
#pragma once

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "component.h"
#include "value.h"

namespace kkthost {

// Splits a scenario line the way a shell splits simple commands: blanks separate words, "..." and
// '...' quote (also in the middle of a word: s:"two words"), a backslash in double quotes or
// outside quotes escapes the next character, and a word starting with # begins a comment.
// Throws UsageError on an unterminated quote.
std::vector<std::string> SplitLine(std::string_view line);

struct Command {
  enum class Kind { Call, GetProp, SetProp };
  Kind kind = Kind::Call;
  CallKind callKind = CallKind::Function;  // --proc
  std::string name;                        // method or property
  std::vector<std::string> args;
};

// [call] [--proc] METHOD ARG... | getprop NAME | setprop NAME ARG. Empty words: UsageError.
Command ParseCommand(const std::vector<std::string>& words);

enum class OutputFormat { Human, Json };

class Session {
 public:
  Session(Component& component, std::ostream& out, OutputFormat format);

  // Folder for relative s@FILE arguments not found in the current directory.
  void SetBaseDirectory(std::filesystem::path dir) { baseDir_ = std::move(dir); }

  // Runs one command and prints its block. False when the add-in returned false to the host or
  // a memory fault showed. UsageError for mistakes in the command (nothing is called then).
  bool Run(const Command& command);

  std::map<std::string, Value>& Variables() { return variables_; }

 private:
  bool RunCall(const Command& command);
  bool RunProp(const Command& command);
  Value Resolve(const Arg& arg) const;

  Component& component_;
  std::ostream& out_;
  OutputFormat format_;
  std::filesystem::path baseDir_;
  std::map<std::string, Value> variables_;
};

struct ScenarioLine {
  int number = 0;  // 1-based line number in the file
  Command command;
};

// Parses a whole scenario (blank lines and comments skipped). UsageError names the line.
std::vector<ScenarioLine> ParseScenario(std::string_view text);

// Printing, shared with `info`. Typed values are {"type":"VTYPE_...","value":...}.
nlohmann::ordered_json ToJson(const Value& v);
nlohmann::ordered_json ToJson(const MemoryFault& f);
// One line of JSON; invalid UTF-8 from the add-in is replaced, never thrown.
std::string DumpLine(const nlohmann::ordered_json& j);
void PrintMemoryFaults(std::ostream& out, const std::vector<MemoryFault>& faults);

}  // namespace kkthost
