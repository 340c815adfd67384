#include "value.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <system_error>

namespace kkthost {

Value Value::Empty() { return {}; }

Value Value::Null() {
  Value v;
  v.vt = abi::VTYPE_NULL;
  return v;
}

Value Value::Text(std::string utf8) {
  Value v;
  v.vt = abi::VTYPE_PWSTR;
  v.text = std::move(utf8);
  return v;
}

Value Value::Utf16(std::u16string units) {
  Value v;
  v.vt = abi::VTYPE_PWSTR;
  v.rawUnits = true;
  v.units = std::move(units);
  return v;
}

Value Value::I4(std::int32_t i) {
  Value v;
  v.vt = abi::VTYPE_I4;
  v.integer = i;
  return v;
}

Value Value::I8(std::int64_t i) {
  Value v;
  v.vt = abi::VTYPE_I8;
  v.integer = i;
  return v;
}

Value Value::R8(double d) {
  Value v;
  v.vt = abi::VTYPE_R8;
  v.real = d;
  return v;
}

Value Value::Bool(bool b) {
  Value v;
  v.vt = abi::VTYPE_BOOL;
  v.boolean = b;
  return v;
}

Value Value::Tm(DateTime t) {
  Value v;
  v.vt = abi::VTYPE_TM;
  v.dateTime = t;
  return v;
}

Value Value::Blob(std::vector<std::uint8_t> b) {
  Value v;
  v.vt = abi::VTYPE_BLOB;
  v.bytes = std::move(b);
  return v;
}

std::string TypeName(std::uint16_t vt) {
  static const char* const kNames[] = {
      "VTYPE_EMPTY", "VTYPE_NULL",    "VTYPE_I2",      "VTYPE_I4",   "VTYPE_R4",
      "VTYPE_R8",    "VTYPE_DATE",    "VTYPE_TM",      "VTYPE_PSTR", "VTYPE_INTERFACE",
      "VTYPE_ERROR", "VTYPE_BOOL",    "VTYPE_VARIANT", "VTYPE_I1",   "VTYPE_UI1",
      "VTYPE_UI2",   "VTYPE_UI4",     "VTYPE_I8",      "VTYPE_UI8",  "VTYPE_INT",
      "VTYPE_UINT",  "VTYPE_HRESULT", "VTYPE_PWSTR",   "VTYPE_BLOB", "VTYPE_CLSID"};
  const std::uint16_t code = vt & abi::VTYPE_CODE_MASK;
  std::string name;
  if (code < std::size(kNames)) {
    name = kNames[code];
  } else if (code == abi::VTYPE_STR_BLOB) {
    name = "VTYPE_STR_BLOB";
  } else {
    return "unknown type";
  }
  if (vt & abi::VTYPE_BYREF) {
    name += " by ref";
  } else if (vt & abi::VTYPE_ARRAY) {
    name += " array";
  } else if (vt & abi::VTYPE_VECTOR) {
    name += " vector";
  }
  return name;
}

std::string HexEncode(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string FormatDateTime(const DateTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

namespace {

std::string FormatReal(double d) {
  // Shortest text that reads back as the same number.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return "?";
  return std::string(buf, end);
}

template <typename T>
bool ParseNumber(std::string_view s, T& out) {
  if (s.empty()) return false;
  const char* first = s.data();
  if (*first == '+' && s.size() > 1) ++first;  // from_chars does not take a plus sign
  auto [end, ec] = std::from_chars(first, s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool ParseDateTime(std::string_view s, DateTime& t) {
  // YYYY-MM-DDTHH:MM:SS, every field with its full width.
  if (s.size() != 19 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
      s[16] != ':') {
    return false;
  }
  auto field = [&](std::size_t pos, std::size_t len, int& out) {
    for (std::size_t i = pos; i < pos + len; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
    }
    return ParseNumber(s.substr(pos, len), out);
  };
  if (!field(0, 4, t.year) || !field(5, 2, t.month) || !field(8, 2, t.day) ||
      !field(11, 2, t.hour) || !field(14, 2, t.minute) || !field(17, 2, t.second)) {
    return false;
  }
  return t.year >= 1 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= DaysInMonth(t.year, t.month) && t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot open file " + PathToUtf8(path));
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw UsageError("cannot read file " + PathToUtf8(path));
  return data;
}

bool ValidVariableName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string Render(const Value& v) {
  switch (v.code()) {
    case abi::VTYPE_EMPTY:
      return "";
    case abi::VTYPE_NULL:
      return "null";
    case abi::VTYPE_PWSTR:
    case abi::VTYPE_PSTR:
      return v.text;
    case abi::VTYPE_BLOB:
      return HexEncode(v.bytes);
    case abi::VTYPE_BOOL:
      return v.boolean ? "true" : "false";
    case abi::VTYPE_R4:
    case abi::VTYPE_R8:
    case abi::VTYPE_DATE:
      return FormatReal(v.real);
    case abi::VTYPE_TM:
      return FormatDateTime(v.dateTime);
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
      return std::to_string(v.integer);
    default:
      return "";
  }
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

Arg ParseArg(std::string_view text, const std::filesystem::path& baseDir) {
  const std::string shown(text);
  auto fail = [&](const std::string& why) -> UsageError {
    return UsageError("bad argument '" + shown + "': " + why);
  };
  Arg arg;
  if (text.empty()) throw fail("empty");
  if (text[0] == '$' || text[0] == '>') {
    const std::string_view name = text.substr(1);
    if (!ValidVariableName(name)) throw fail("a variable name is letters, digits, _ - .");
    arg.kind = text[0] == '$' ? Arg::Kind::Variable : Arg::Kind::Out;
    arg.name = std::string(name);
    return arg;
  }
  if (text == "e") return arg;
  if (text == "n") {
    arg.value = Value::Null();
    return arg;
  }
  if (text.size() < 2 || (text[1] != ':' && !(text[0] == 's' && text[1] == '@'))) {
    throw fail("expected TYPE:VALUE (s: s@ i: l: d: b: t: x:), e, n, $NAME or >NAME");
  }
  const std::string_view body = text.substr(2);
  switch (text[0]) {
    case 's': {
      if (text[1] == ':') {
        arg.value = Value::Text(std::string(body));
        return arg;
      }
      std::filesystem::path file = PathFromUtf8(body);
      if (body.empty()) throw fail("no file name");
      if (file.is_relative() && !baseDir.empty() && !std::filesystem::exists(file) &&
          std::filesystem::exists(baseDir / file)) {
        file = baseDir / file;
      }
      std::string data = ReadFile(file);
      if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) data.erase(0, 3);
      arg.value = Value::Text(std::move(data));
      return arg;
    }
    case 'i': {
      std::int32_t v = 0;
      if (!ParseNumber(body, v)) throw fail("not a 32-bit integer");
      arg.value = Value::I4(v);
      return arg;
    }
    case 'l': {
      std::int64_t v = 0;
      if (!ParseNumber(body, v)) throw fail("not a 64-bit integer");
      arg.value = Value::I8(v);
      return arg;
    }
    case 'd': {
      double v = 0;
      if (!ParseNumber(body, v)) throw fail("not a number (use a point as decimal separator)");
      arg.value = Value::R8(v);
      return arg;
    }
    case 'b':
      if (body == "true" || body == "false") {
        arg.value = Value::Bool(body == "true");
        return arg;
      }
      throw fail("expected b:true or b:false");
    case 't': {
      DateTime t;
      if (!ParseDateTime(body, t)) throw fail("expected a valid date YYYY-MM-DDTHH:MM:SS");
      arg.value = Value::Tm(t);
      return arg;
    }
    case 'x': {
      if (body.size() % 2 != 0) throw fail("odd number of hex digits");
      std::vector<std::uint8_t> bytes;
      for (std::size_t i = 0; i < body.size(); i += 2) {
        const int hi = HexDigit(body[i]);
        const int lo = HexDigit(body[i + 1]);
        if (hi < 0 || lo < 0) throw fail("not a hex digit");
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
      }
      arg.value = Value::Blob(std::move(bytes));
      return arg;
    }
    default:
      throw fail("unknown type letter '" + std::string(1, text[0]) + "'");
  }
}

}  // namespace kkthost
