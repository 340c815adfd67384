#include <charconv>
#include <cmath>
#include <cstdio>

#include "device/automation.h"

namespace vantorel::automation {

namespace {
[[noreturn]] void Mismatch(const char* to) {
  throw AutomationError(std::string("Type mismatch: value cannot be converted to ") + to);
}

bool ParseDouble(const std::string& s, double& out) {
  const char* b = s.data();
  const char* e = b + s.size();
  while (b < e && (*b == ' ' || *b == '\t')) ++b;
  while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
  if (b == e) return false;
  auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e;
}

std::string Shortest(double v) {
  char buf[64];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// Exact decimal text of a currency value: no detour through floating point.
std::string CurrencyText(Currency c) {
  const bool neg = c.units < 0;
  const std::uint64_t u = neg ? 0 - static_cast<std::uint64_t>(c.units) : c.units;
  std::string s = std::to_string(u / 10000);
  std::uint64_t frac = u % 10000;
  if (frac != 0) {
    std::string f = std::to_string(frac);
    f.insert(0, 4 - f.size(), '0');
    while (f.back() == '0') f.pop_back();
    s += '.' + f;
  }
  return neg ? "-" + s : s;
}

// Currency keeps four decimals; round half to even like automation does.
std::int64_t RoundToUnits(double v) {
  const double scaled = v * 10000.0;
  if (!std::isfinite(scaled) || std::fabs(scaled) > 9.2e18) Mismatch("currency");
  return static_cast<std::int64_t>(std::nearbyint(scaled));
}
}  // namespace

std::int64_t Value::asInt() const {
  return std::visit(
      [](const auto& v) -> std::int64_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) return 0;
        else if constexpr (std::is_same_v<T, bool>) return v ? -1 : 0;  // automation's true
        else if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>) return v;
        else if constexpr (std::is_same_v<T, double>) {
          if (!std::isfinite(v) || std::fabs(v) > 9.2e18) Mismatch("integer");
          return static_cast<std::int64_t>(std::nearbyint(v));
        } else if constexpr (std::is_same_v<T, Currency>) {
          const double d = static_cast<double>(v.units) / 10000.0;
          return static_cast<std::int64_t>(std::nearbyint(d));
        } else if constexpr (std::is_same_v<T, Date>) return static_cast<std::int64_t>(v.days);
        else if constexpr (std::is_same_v<T, std::string>) {
          double d;
          if (!ParseDouble(v, d) || std::fabs(d) > 9.2e18) Mismatch("integer");
          return static_cast<std::int64_t>(std::nearbyint(d));
        } else Mismatch("integer");
      },
      v_);
}

double Value::asDouble() const {
  return std::visit(
      [](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) return 0;
        else if constexpr (std::is_same_v<T, bool>) return v ? -1 : 0;
        else if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>)
          return static_cast<double>(v);
        else if constexpr (std::is_same_v<T, double>) return v;
        else if constexpr (std::is_same_v<T, Currency>) return static_cast<double>(v.units) / 10000.0;
        else if constexpr (std::is_same_v<T, Date>) return v.days;
        else if constexpr (std::is_same_v<T, std::string>) {
          double d;
          if (!ParseDouble(v, d)) Mismatch("number");
          return d;
        } else Mismatch("number");
      },
      v_);
}

bool Value::asBool() const {
  if (is<bool>()) return get<bool>();
  if (is<std::string>()) {
    const auto& s = get<std::string>();
    if (s == "true" || s == "True" || s == "TRUE") return true;
    if (s == "false" || s == "False" || s == "FALSE") return false;
  }
  return asDouble() != 0;
}

std::string Value::asText() const {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) return {};
        else if constexpr (std::is_same_v<T, bool>) return v ? "True" : "False";
        else if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>)
          return std::to_string(v);
        else if constexpr (std::is_same_v<T, double>) return Shortest(v);
        else if constexpr (std::is_same_v<T, Currency>) return CurrencyText(v);
        else if constexpr (std::is_same_v<T, Date>) return Shortest(v.days); else if constexpr (std::is_same_v<T, std::string>) return v;
        else Mismatch("text");
      },
      v_);
}

Currency Value::asCurrency() const {
  if (is<Currency>()) return get<Currency>();
  if (is<std::int32_t>() || is<std::int64_t>()) {
    const std::int64_t i = asInt();
    if (i > 922337203685477 || i < -922337203685477) Mismatch("currency");
    return Currency{i * 10000};
  }
  return Currency{RoundToUnits(asDouble())};
}

Date Value::asDate() const {
  if (is<Date>()) return get<Date>();
  if (is<std::string>()) Mismatch("date");
  return Date{asDouble()};
}

Bytes Value::asBytes() const {
  if (is<Bytes>()) return get<Bytes>();
  if (empty()) return {};
  if (is<std::string>()) {
    const auto& s = get<std::string>();
    return Bytes(s.begin(), s.end());
  }
  Mismatch("byte array");
}

}  // namespace vantorel::automation
