// Calendar dates and times as the driver exchanges them: automation dates with DTO10,
// ISO 8601 and dd.mm.yyyy texts with the host.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantorel::datetime {

struct DateTime {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
  friend bool operator==(const DateTime&, const DateTime&) = default;
};

bool IsValid(const DateTime& dt);
int DaysInMonth(int year, int month);

// Automation date: days since 1899-12-30 with the time as the fraction (rounded to a second).
double ToOleDate(const DateTime& dt);
DateTime FromOleDate(double oleDate);

// yyyy-mm-ddThh:nn:ss
std::string FormatIso(const DateTime& dt);

// ISO 8601 date ("2024-03-05") or date and time ("2024-03-05T14:07", "2024-03-05T14:07:09",
// fractions of a second, "Z" or a zone offset "+03:00"/"+0300"/"+03"). A value with a zone is
// converted to UTC; one without is taken as written. Dates that do not exist are refused.
std::optional<DateTime> ParseIso8601(std::string_view text);
// dd.mm.yyyy, optionally followed by a blank and hh:nn[:ss]. Strict about dates that do not exist.
std::optional<DateTime> ParseDotted(std::string_view text);

}  // namespace vantorel::datetime
