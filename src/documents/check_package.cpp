#include "documents/check_package.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "support/text.h"

namespace vantorel::package {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number as written: sign, digits with at most one point, an optional exponent.
struct Decimal {
  bool negative = false;
  std::string digits;    // integer and fraction digits together, leading zeros kept
  std::int64_t exp = 0;  // value = digits * 10^exp
};

// Reads the grammar both number conversions accept, after the decimal comma became a point.
std::optional<Decimal> ParseDecimal(std::string_view s) {
  Decimal d;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) d.negative = s[i++] == '-';
  std::size_t fraction = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (IsDigit(s[i])) {
      d.digits += s[i];
      if (point) ++fraction;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (d.digits.empty()) return std::nullopt;
  std::int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negativeExp = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negativeExp = s[i++] == '-';
    if (i >= s.size() || !IsDigit(s[i])) return std::nullopt;
    for (; i < s.size() && IsDigit(s[i]); ++i)
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
    if (negativeExp) exponent = -exponent;
  }
  if (i != s.size()) return std::nullopt;
  d.exp = exponent - static_cast<std::int64_t>(fraction);
  return d;
}

std::string Normalize(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c == ',') c = '.';
  return text::Trim(s);
}

// The number grammar both readings share, read as a finite double.
std::optional<double> ReadNumber(std::string_view text) {
  const std::string s = Normalize(text);
  if (s.empty() || !ParseDecimal(s)) return std::nullopt;
  // The grammar is checked; from_chars reads it without the locale and without a leading '+'.
  const std::size_t from = s[0] == '+' ? 1 : 0;
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data() + from, s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

[[noreturn]] void BadMoney(const char* name, std::string_view text) {
  std::string detail = "Некорректная сумма";
  if (name && *name) detail += std::string(" в атрибуте ") + name;
  // A long text is cut, at a character boundary, so the message stays readable.
  std::size_t n = std::min<std::size_t>(text.size(), 64);
  while (n < text.size() && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  const std::string shown = std::string(text.substr(0, n)) + (n < text.size() ? "..." : "");
  throw errors::InputError(detail + ": \"" + shown + "\"");
}

[[noreturn]] void BadBase64(const char* name) {
  throw errors::InputError(std::string("Некорректные данные Base64 в атрибуте ") + name);
}

}  // namespace

std::int32_t VarToIntDef(std::string_view text, std::int32_t def) {
  const std::string s = text::Trim(text);
  if (s.empty()) return def;
  std::size_t i = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return def;
  std::int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (!IsDigit(s[i])) return def;
    v = v * 10 + (s[i] - '0');
    if (v > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return def;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<std::int32_t>::max()) return def;
  return static_cast<std::int32_t>(v);
}

double VarToFloatDef(std::string_view text, double def) { return ReadNumber(text).value_or(def); }

std::optional<std::int64_t> ReadCurrency(std::string_view text) {
  const std::string s = Normalize(text);
  const auto d = ParseDecimal(s);
  if (!d) return std::nullopt;
  std::string digits = d->digits;
  const std::size_t firstNonZero = digits.find_first_not_of('0');
  if (firstNonZero == std::string::npos) return 0;
  digits.erase(0, firstNonZero);
  // Units are ten-thousandths: shift the decimal point four places.
  const std::int64_t shift = d->exp + 4;
  std::string kept;
  bool roundUp = false;
  if (shift >= 0) {
    if (static_cast<std::int64_t>(digits.size()) + shift > 19) return std::nullopt;
    kept = digits + std::string(static_cast<std::size_t>(shift), '0');
  } else {
    const std::int64_t drop = -shift;
    if (drop > static_cast<std::int64_t>(digits.size())) return 0;  // below half a unit
    kept = digits.substr(0, digits.size() - static_cast<std::size_t>(drop));
    const std::string dropped = digits.substr(kept.size());
    const char first = dropped[0];
    const bool restZero = dropped.find_first_not_of('0', 1) == std::string::npos;
    const bool keptOdd = !kept.empty() && ((kept.back() - '0') % 2 == 1);
    roundUp = first > '5' || (first == '5' && (!restZero || keptOdd));
    if (kept.size() > 19) return std::nullopt;
  }
  // At most 19 digits: fits in unsigned 64 bits; the currency range is that of int64.
  std::uint64_t units = 0;
  for (char c : kept) units = units * 10 + static_cast<std::uint64_t>(c - '0');
  if (roundUp) ++units;
  if (units > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return std::nullopt;
  const auto v = static_cast<std::int64_t>(units);
  return d->negative ? -v : v;
}

std::int64_t VarToCurrDef(std::string_view text, std::int64_t def) {
  if (Normalize(text).empty()) return def;
  return ReadCurrency(text).value_or(0);
}

std::int64_t PositionMoney(std::string_view text, const char* name) {
  if (text::Trim(text).empty()) return 0;
  const auto v = ReadNumber(text);
  const double scaled = v.value_or(0) * 10000.0;
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (!v || !std::isfinite(scaled) || std::fabs(scaled) >= 9223372036854775808.0)
    BadMoney(name, text);
  return static_cast<std::int64_t>(std::nearbyint(scaled));  // the default rounding: ties to even
}

std::int64_t ExactMoney(std::string_view text, const char* name) {
  if (text::Trim(text).empty()) return 0;
  const auto v = ReadCurrency(text);
  if (!v) BadMoney(name, text);
  return *v;
}

std::string Trimmed(pugi::xml_node node, const char* name) { return text::Trim(Text(node, name)); }

std::optional<automation::Bytes> Base64Bytes(pugi::xml_node node, const char* name) {
  const std::string s = Trimmed(node, name);
  if (s.empty()) return std::nullopt;
  auto bytes = encoding::Base64Decode(s);
  if (!bytes) BadBase64(name);
  return std::move(*bytes);
}

std::string Base64Text(pugi::xml_node node, const char* name) {
  const std::string_view s = Text(node, name);
  if (s.empty()) return {};
  const auto bytes = encoding::Base64Decode(s);
  if (!bytes) BadBase64(name);
  return encoding::Cp1251ToUtf8(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

bool IsElement(pugi::xml_node node, const char* name) {
  return node.type() == pugi::node_element && text::EqualsIgnoreCase(node.name(), name);
}

}  // namespace vantorel::package
