#include "support/datetime.h"

#include <cmath>
#include <cstdio>

namespace vantorel::datetime {

namespace {
bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days from 0001-01-01 (proleptic Gregorian).
long long DayNumber(int y, int m, int d) {
  static const int kCum[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const long long yy = y - 1;
  long long n = yy * 365 + yy / 4 - yy / 100 + yy / 400 + kCum[m - 1] + d - 1;
  if (m > 2 && Leap(y)) ++n;
  return n;
}

void FromDayNumber(long long n, int& y, int& m, int& d) {
  // Walk years from an estimate; exact for the range automation dates use.
  y = static_cast<int>(n / 365.2425) + 1;
  while (DayNumber(y, 1, 1) > n) --y;
  while (DayNumber(y + 1, 1, 1) <= n) ++y;
  m = 1;
  while (m < 12 && DayNumber(y, m + 1, 1) <= n) ++m;
  d = static_cast<int>(n - DayNumber(y, m, 1)) + 1;
}

const long long kOleEpoch = DayNumber(1899, 12, 30);

bool Digits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
  if (pos + count > s.size()) return false;
  out = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

void AddMinutes(DateTime& dt, int minutes) {
  long long total = (DayNumber(dt.year, dt.month, dt.day) * 24 + dt.hour) * 60 + dt.minute + minutes;
  dt.minute = static_cast<int>(((total % 60) + 60) % 60);
  total = (total - dt.minute) / 60;
  dt.hour = static_cast<int>(((total % 24) + 24) % 24);
  total = (total - dt.hour) / 24;
  FromDayNumber(total, dt.year, dt.month, dt.day);
}
}  // namespace

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && Leap(year) ? 1 : 0);
}

bool IsValid(const DateTime& dt) {
  return dt.year >= 1 && dt.year <= 9999 && dt.month >= 1 && dt.month <= 12 && dt.day >= 1 &&
         dt.day <= DaysInMonth(dt.year, dt.month) && dt.hour >= 0 && dt.hour < 24 &&
         dt.minute >= 0 && dt.minute < 60 && dt.second >= 0 && dt.second < 60;
}

double ToOleDate(const DateTime& dt) {
  const double days = static_cast<double>(DayNumber(dt.year, dt.month, dt.day) - kOleEpoch);
  const double frac = (dt.hour * 3600 + dt.minute * 60 + dt.second) / 86400.0;
  // Before the epoch the fraction still counts forward from midnight.
  return days >= 0 ? days + frac : days - frac;
}

DateTime FromOleDate(double ole) {
  if (!std::isfinite(ole) || ole < -657434 || ole >= 2958466) return DateTime{};
  double whole = std::trunc(ole);
  double frac = std::fabs(ole - whole);
  long long seconds = std::llround(frac * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    whole += ole >= 0 ? 1 : -1;
  }
  DateTime dt;
  FromDayNumber(kOleEpoch + static_cast<long long>(whole), dt.year, dt.month, dt.day);
  dt.hour = static_cast<int>(seconds / 3600);
  dt.minute = static_cast<int>(seconds / 60 % 60);
  dt.second = static_cast<int>(seconds % 60);
  return dt;
}

std::string FormatIso(const DateTime& dt) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", dt.year, dt.month, dt.day,
                dt.hour, dt.minute, dt.second);
  return buf;
}

std::optional<DateTime> ParseIso8601(std::string_view s) {
  DateTime dt;
  if (!Digits(s, 0, 4, dt.year) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, dt.month) ||
      s[7] != '-' || !Digits(s, 8, 2, dt.day))
    return std::nullopt;
  dt.hour = dt.minute = dt.second = 0;
  std::size_t i = 10;
  if (i < s.size()) {
    if (s[i] != 'T' && s[i] != 't' && s[i] != ' ') return std::nullopt;
    ++i;
    if (!Digits(s, i, 2, dt.hour) || i + 2 >= s.size() || s[i + 2] != ':' ||
        !Digits(s, i + 3, 2, dt.minute))
      return std::nullopt;
    i += 5;
    if (i < s.size() && s[i] == ':') {
      if (!Digits(s, i + 1, 2, dt.second)) return std::nullopt;
      i += 3;
      if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        std::size_t j = i + 1;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
        if (j == i + 1) return std::nullopt;
        i = j;  // fractions of a second are dropped
      }
    }
    if (i < s.size()) {
      int offset = 0;
      if (s[i] == 'Z' || s[i] == 'z') {
        ++i;
      } else if (s[i] == '+' || s[i] == '-') {
        const int sign = s[i] == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!Digits(s, i + 1, 2, oh)) return std::nullopt;
        i += 3;
        if (i < s.size() && s[i] == ':') ++i;
        if (i < s.size()) {
          if (!Digits(s, i, 2, om)) return std::nullopt;
          i += 2;
        }
        if (oh > 23 || om > 59) return std::nullopt;
        offset = sign * (oh * 60 + om);
      } else {
        return std::nullopt;
      }
      if (i != s.size() || !IsValid(dt)) return std::nullopt;
      AddMinutes(dt, -offset);
      return dt;
    }
  }
  if (i != s.size() || !IsValid(dt)) return std::nullopt;
  return dt;
}

std::optional<DateTime> ParseDotted(std::string_view s) {
  DateTime dt;
  if (s.size() < 10 || !Digits(s, 0, 2, dt.day) || s[2] != '.' || !Digits(s, 3, 2, dt.month) ||
      s[5] != '.' || !Digits(s, 6, 4, dt.year))
    return std::nullopt;
  dt.hour = dt.minute = dt.second = 0;
  std::size_t i = 10;
  if (i < s.size()) {
    if (s[i] != ' ' || !Digits(s, i + 1, 2, dt.hour) || i + 3 >= s.size() || s[i + 3] != ':' ||
        !Digits(s, i + 4, 2, dt.minute))
      return std::nullopt;
    i += 6;
    if (i < s.size()) {
      if (s[i] != ':' || !Digits(s, i + 1, 2, dt.second)) return std::nullopt;
      i += 3;
    }
  }
  if (i != s.size() || !IsValid(dt)) return std::nullopt;
  return dt;
}

}  // namespace vantorel::datetime
