// Values as kkt-host sees them: a typed copy of a host value record, taken out of host memory so
// that it outlives the record, plus the argument syntax of the command line and scenarios.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "addin/host_abi.h"

namespace kkthost {

namespace abi = vantorel::abi;

// A mistake of the person driving kkt-host (bad argument, unknown method...): exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DateTime {
  int year = 1900;
  int month = 1;  // 1..12
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  friend bool operator==(const DateTime&, const DateTime&) = default;
};

// One value. `vt` is the whole type word; the member that holds the content depends on its code:
// PWSTR -> text (UTF-8), PSTR -> text (the bytes as they were), BLOB -> bytes, I2/I4/I8/UI*/ERROR
// -> integer, R4/R8/DATE -> real, BOOL -> boolean, TM -> dateTime. EMPTY and NULL hold nothing.
struct Value {
  std::uint16_t vt = abi::VTYPE_EMPTY;
  std::string text;
  std::vector<std::uint8_t> bytes;
  std::int64_t integer = 0;
  double real = 0;
  bool boolean = false;
  DateTime dateTime;
  // PWSTR only: code units passed exactly as they are (lone surrogates included) instead of the
  // UTF-16 form of `text`, to play a host that sends text no UTF-8 can carry.
  std::u16string units;
  bool rawUnits = false;

  static Value Empty();
  static Value Null();
  static Value Text(std::string utf8);
  static Value Utf16(std::u16string units);
  static Value I4(std::int32_t v);
  static Value I8(std::int64_t v);
  static Value R8(double v);
  static Value Bool(bool v);
  static Value Tm(DateTime v);
  static Value Blob(std::vector<std::uint8_t> v);

  std::uint16_t code() const { return vt & abi::VTYPE_CODE_MASK; }
  bool is(abi::VType type) const { return vt == type; }
};

// "VTYPE_PWSTR", with " by ref" / " array" / " vector" for flagged words, "unknown type" else.
std::string TypeName(std::uint16_t vt);

// How a value is shown to a person: texts as they are, numbers in decimal, dates as
// YYYY-MM-DDTHH:MM:SS, Booleans as true/false, blobs in hex.
std::string Render(const Value& v);
std::string HexEncode(const std::vector<std::uint8_t>& bytes);
std::string FormatDateTime(const DateTime& t);

// One argument of a call. A literal carries its value; `$NAME` reads a variable; `>NAME` is an out
// parameter that starts empty and whose value after the call is stored in the variable.
struct Arg {
  enum class Kind { Literal, Variable, Out };
  Kind kind = Kind::Literal;
  Value value;
  std::string name;
};

// Parses one argument (syntax in docs/kkt-host.md). `s@FILE` is read at once: a relative FILE is
// looked up in the current directory first, then in `baseDir` (the scenario's folder). Throws
// UsageError with a message that names the argument.
Arg ParseArg(std::string_view text, const std::filesystem::path& baseDir = {});

// Paths given on the command line or in scenarios are UTF-8 on every platform.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace kkthost
