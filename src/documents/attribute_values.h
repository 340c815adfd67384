// Texts of fiscal attributes as the check package gives them: dates, integers, phone lists.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/datetime.h"
#include "support/text.h"

namespace vantorel::attributes {

// A calendar date written day.month.year: one or two digits for the day and the month, four for
// the year, blanks around it ignored. A two-digit year is refused rather than guessed, and so is
// anything after the year. Dates that do not exist are refused.
inline std::optional<datetime::DateTime> ParseDayMonthYear(std::string_view text) {
  const std::string s = text::Trim(text);
  std::size_t i = 0;
  auto number = [&](int minDigits, int maxDigits, int& out) {
    int digits = 0;
    out = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < maxDigits) {
      out = out * 10 + (s[i++] - '0');
      ++digits;
    }
    return digits >= minDigits && (i == s.size() || s[i] < '0' || s[i] > '9');
  };
  auto dot = [&] { return i < s.size() && s[i++] == '.'; };
  datetime::DateTime dt;
  dt.hour = dt.minute = dt.second = 0;
  if (!number(1, 2, dt.day) || !dot() || !number(1, 2, dt.month) || !dot() ||
      !number(4, 4, dt.year) || i != s.size() || !datetime::IsValid(dt))
    return std::nullopt;
  return dt;
}

// dd.mm.yyyy
inline std::string FormatDayMonthYear(const datetime::DateTime& dt) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", dt.day % 100, dt.month % 100, dt.year % 10000);
  return buf;
}

// A 32-bit decimal integer with an optional sign, nothing else; the error names the text.
inline std::int32_t StrToInt(const std::string& s) {
  std::size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  bool ok = i < s.size() && s.size() - i <= 10;
  for (std::size_t j = i; ok && j < s.size(); ++j) ok = s[j] >= '0' && s[j] <= '9';
  const long long v = ok ? std::stoll(s) : 0;
  if (!ok || v < INT32_MIN || v > INT32_MAX)
    throw std::runtime_error("'" + s + "' is not a valid integer value");
  return static_cast<std::int32_t>(v);
}

// Agent sign 0 to 6 (tags 1057 and 1222) -> the DTO10 agent type's name; nullptr for others.
inline const char* AgentTypeName(std::int32_t sign) {
  static const char* const kNames[] = {"LIBFPTR_AT_BANK_PAYING_AGENT",
                                       "LIBFPTR_AT_BANK_PAYING_SUBAGENT",
                                       "LIBFPTR_AT_PAYING_AGENT",
                                       "LIBFPTR_AT_PAYING_SUBAGENT",
                                       "LIBFPTR_AT_ATTORNEY",
                                       "LIBFPTR_AT_COMMISSION_AGENT",
                                       "LIBFPTR_AT_ANOTHER"};
  return sign >= 0 && sign <= 6 ? kNames[sign] : nullptr;
}

// A phone list: pieces between ";" and "," (empty ones kept), each reduced to "+" and digits,
// joined with ";".
inline std::string NormalizePhones(std::string_view phones) {
  std::string out;
  for (char c : phones) {
    if (c == ';' || c == ',')
      out += ';';
    else if (c == '+' || (c >= '0' && c <= '9'))
      out += c;
  }
  return out;
}

}  // namespace vantorel::attributes
