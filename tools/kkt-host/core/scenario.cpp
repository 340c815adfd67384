#include "scenario.h"

#include <sstream>

namespace kkthost {

using json = nlohmann::ordered_json;

std::vector<std::string> SplitLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      ++i;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\'') {
      const std::size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos) throw UsageError("unterminated ' quote");
      word.append(line.substr(i + 1, end - i - 1));
      inWord = true;
      i = end + 1;
    } else if (c == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char d = line[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < line.size() &&
            (line[i + 1] == '"' || line[i + 1] == '\\' || line[i + 1] == '$')) {
          word += line[i + 1];
          i += 2;
          continue;
        }
        word += d;
        ++i;
      }
      if (!closed) throw UsageError("unterminated \" quote");
      inWord = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[i + 1];
      inWord = true;
      i += 2;
    } else {
      word += c;
      inWord = true;
      ++i;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

Command ParseCommand(const std::vector<std::string>& words) {
  Command c;
  std::size_t i = 0;
  if (i < words.size() && (words[i] == "getprop" || words[i] == "setprop")) {
    const bool set = words[i] == "setprop";
    c.kind = set ? Command::Kind::SetProp : Command::Kind::GetProp;
    const std::size_t want = set ? 3 : 2;
    if (words.size() != want) {
      throw UsageError(set ? "usage: setprop NAME ARG" : "usage: getprop NAME");
    }
    c.name = words[1];
    if (set) c.args.push_back(words[2]);
    return c;
  }
  if (i < words.size() && words[i] == "call") ++i;
  if (i < words.size() && words[i] == "--proc") {
    c.callKind = CallKind::Procedure;
    ++i;
  }
  if (i >= words.size()) throw UsageError("usage: [call] [--proc] METHOD ARG...");
  c.name = words[i++];
  if (c.name.starts_with("--")) throw UsageError("unknown option " + c.name);
  c.args.assign(words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
  return c;
}

std::vector<ScenarioLine> ParseScenario(std::string_view text) {
  std::vector<ScenarioLine> lines;
  int number = 0;
  std::size_t start = 0;
  if (text.starts_with("\xEF\xBB\xBF")) start = 3;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++number;
    const std::string_view raw = text.substr(start, end - start);
    try {
      const auto words = SplitLine(raw);
      if (!words.empty()) lines.push_back({number, ParseCommand(words)});
    } catch (const UsageError& e) {
      throw UsageError("line " + std::to_string(number) + ": " + e.what());
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

// ---- Printing ---------------------------------------------------------------------------------

json ToJson(const Value& v) {
  json j;
  j["type"] = TypeName(v.vt);
  switch (v.code()) {
    case abi::VTYPE_EMPTY:
    case abi::VTYPE_NULL:
      j["value"] = nullptr;
      break;
    case abi::VTYPE_PWSTR:
    case abi::VTYPE_PSTR:
      j["value"] = v.text;
      break;
    case abi::VTYPE_BLOB:
      j["value"] = HexEncode(v.bytes);
      break;
    case abi::VTYPE_BOOL:
      j["value"] = v.boolean;
      break;
    case abi::VTYPE_R4:
    case abi::VTYPE_R8:
    case abi::VTYPE_DATE:
      j["value"] = v.real;
      break;
    case abi::VTYPE_TM:
      j["value"] = FormatDateTime(v.dateTime);
      break;
    case abi::VTYPE_I1:
    case abi::VTYPE_I2:
    case abi::VTYPE_I4:
    case abi::VTYPE_I8:
    case abi::VTYPE_UI1:
    case abi::VTYPE_UI2:
    case abi::VTYPE_UI4:
    case abi::VTYPE_UI8:
    case abi::VTYPE_INT:
    case abi::VTYPE_UINT:
    case abi::VTYPE_ERROR:
    case abi::VTYPE_HRESULT:
      j["value"] = v.integer;
      break;
    default:
      j["value"] = nullptr;
      break;
  }
  return j;
}

json ToJson(const MemoryFault& f) {
  return json{{"kind", FaultKindName(f.kind)}, {"description", f.Describe()}};
}

std::string DumpLine(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void PrintMemoryFaults(std::ostream& out, const std::vector<MemoryFault>& faults) {
  for (const auto& f : faults) out << "  memory fault: " << f.Describe() << "\n";
}

namespace {

json AddErrorsJson(const std::vector<AddErrorRecord>& errors) {
  json list = json::array();
  for (const auto& e : errors) {
    list.push_back({{"code", e.code},
                    {"source", e.source},
                    {"description", e.description},
                    {"scode", e.scode}});
  }
  return list;
}

json FaultsJson(const std::vector<MemoryFault>& faults) {
  json list = json::array();
  for (const auto& f : faults) list.push_back(ToJson(f));
  return list;
}

// A value for a person: a multi-line text goes on the lines after its type, in full.
std::string Shown(const Value& v) {
  const std::string type = TypeName(v.vt);
  switch (v.code()) {
    case abi::VTYPE_EMPTY:
    case abi::VTYPE_NULL:
      return type;
    case abi::VTYPE_PWSTR:
    case abi::VTYPE_PSTR:
      if (v.text.find('\n') != std::string::npos) return type + ":\n" + v.text;
      return type + " \"" + v.text + "\"";
    default:
      return type + " " + Render(v);
  }
}

void PrintAddErrors(std::ostream& out, const std::vector<AddErrorRecord>& errors) {
  for (const auto& e : errors) {
    out << "  AddError: " << e.code << " [" << e.source << "] " << e.description << " (scode "
        << e.scode << ")\n";
  }
}

}  // namespace

// ---- Session ----------------------------------------------------------------------------------

Session::Session(Component& component, std::ostream& out, OutputFormat format)
    : component_(component), out_(out), format_(format) {}

bool Session::Run(const Command& command) {
  return command.kind == Command::Kind::Call ? RunCall(command) : RunProp(command);
}

Value Session::Resolve(const Arg& arg) const {
  switch (arg.kind) {
    case Arg::Kind::Literal:
      return arg.value;
    case Arg::Kind::Variable: {
      auto it = variables_.find(arg.name);
      if (it == variables_.end()) throw UsageError("variable '" + arg.name + "' is not set");
      return it->second;
    }
    case Arg::Kind::Out:
      return Value::Empty();
  }
  return {};
}

bool Session::RunCall(const Command& command) {
  std::vector<Arg> args;
  std::vector<Value> values;
  for (const auto& text : command.args) {
    args.push_back(ParseArg(text, baseDir_));
    values.push_back(Resolve(args.back()));
  }
  const std::size_t errorMark = component_.Connect().AddErrorCount();
  const std::size_t faultMark = component_.Memory().FaultCount();

  const CallOutcome outcome = component_.Call(command.name, std::move(values), command.callKind);
  for (std::size_t i = 0; i < args.size() && i < outcome.params.size(); ++i) {
    if (args[i].kind == Arg::Kind::Out) variables_[args[i].name] = outcome.params[i];
  }
  bool ok = outcome.hostResult;
  std::optional<LastError> lastError;
  if (component_.FindMethod("GetLastError") >= 0) {
    try {
      const CallOutcome le = component_.Call("GetLastError", {Value::Empty()});
      ok = ok && le.hostResult;
      lastError = LastErrorOf(le);
    } catch (const UsageError&) {
      // A GetLastError of another shape is not the one of the equipment standard: no last error.
    }
  }
  const auto allErrors = component_.AddErrors();
  const std::vector<AddErrorRecord> errors(
      allErrors.begin() + static_cast<std::ptrdiff_t>(errorMark), allErrors.end());
  const auto allFaults = component_.MemoryFaults();
  const std::vector<MemoryFault> faults(allFaults.begin() + static_cast<std::ptrdiff_t>(faultMark),
                                        allFaults.end());
  ok = ok && faults.empty();

  if (format_ == OutputFormat::Json) {
    json j;
    j["method"] = command.name;
    j["kind"] = command.callKind == CallKind::Function ? "function" : "procedure";
    j["host_result"] = outcome.hostResult;
    j["result"] = outcome.result ? ToJson(*outcome.result) : json(nullptr);
    j["params"] = json::array();
    for (const auto& p : outcome.params) j["params"].push_back(ToJson(p));
    j["last_error"] = lastError
                          ? json{{"code", lastError->code}, {"description", lastError->description}}
                          : json(nullptr);
    j["add_errors"] = AddErrorsJson(errors);
    j["memory_faults"] = FaultsJson(faults);
    out_ << DumpLine(j) << "\n";
  } else {
    out_ << "== " << command.name
         << (command.callKind == CallKind::Function ? " (CallAsFunc)" : " (CallAsProc)") << "\n";
    out_ << "  host result: " << (outcome.hostResult ? "true" : "false") << "\n";
    if (outcome.result) out_ << "  result: " << Shown(*outcome.result) << "\n";
    for (std::size_t i = 0; i < outcome.params.size(); ++i) {
      out_ << "  param " << i + 1;
      if (i < args.size() && args[i].kind == Arg::Kind::Out) out_ << " >" << args[i].name;
      out_ << ": " << Shown(outcome.params[i]) << "\n";
    }
    if (lastError) {
      out_ << "  last error: " << lastError->code;
      if (!lastError->description.empty()) out_ << " " << lastError->description;
      out_ << "\n";
    }
    PrintAddErrors(out_, errors);
    PrintMemoryFaults(out_, faults);
  }
  out_.flush();
  return ok;
}

bool Session::RunProp(const Command& command) {
  PropOutcome o;
  if (command.kind == Command::Kind::GetProp) {
    o = component_.ReadProp(command.name);
  } else {
    const Arg arg = ParseArg(command.args.at(0), baseDir_);
    if (arg.kind == Arg::Kind::Out) throw UsageError("setprop takes a value, not >NAME");
    o = component_.WriteProp(command.name, Resolve(arg));
  }
  const bool ok = o.hostResult && o.memoryFaults.empty();
  if (format_ == OutputFormat::Json) {
    json j;
    j["property"] = command.name;
    j["operation"] = o.set ? "set" : "get";
    j["host_result"] = o.hostResult;
    j["value"] = ToJson(o.value);
    j["add_errors"] = AddErrorsJson(o.addErrors);
    j["memory_faults"] = FaultsJson(o.memoryFaults);
    out_ << DumpLine(j) << "\n";
  } else {
    out_ << "== " << (o.set ? "setprop " : "getprop ") << command.name << "\n";
    out_ << "  host result: " << (o.hostResult ? "true" : "false") << "\n";
    out_ << "  value: " << Shown(o.value) << "\n";
    PrintAddErrors(out_, o.addErrors);
    PrintMemoryFaults(out_, o.memoryFaults);
  }
  out_.flush();
  return ok;
}

}  // namespace kkthost
