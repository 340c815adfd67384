#include <gtest/gtest.h>

#include "support/datetime.h"

namespace vantorel::datetime {
namespace {

TEST(DateTimes, AutomationDatesRoundTrip) {
  const DateTime cases[] = {{1899, 12, 30, 0, 0, 0}, {2024, 3, 5, 14, 7, 9}, {2000, 2, 29, 23, 59, 59},
                            {1899, 12, 29, 6, 0, 0}, {9999, 12, 31, 12, 0, 1}};
  for (const auto& c : cases) EXPECT_EQ(FromOleDate(ToOleDate(c)), c) << FormatIso(c);
  EXPECT_DOUBLE_EQ(ToOleDate({2024, 3, 5, 12, 0, 0}), 45356.5);
  EXPECT_EQ(FormatIso({2024, 3, 5, 9, 7, 9}), "2024-03-05T09:07:09");
}

TEST(DateTimes, Iso8601IsStrictAndConvertsZonesToUtc) {
  const struct {
    const char* text;
    std::optional<DateTime> expected;
  } cases[] = {
      {"2024-03-05T14:07:09", DateTime{2024, 3, 5, 14, 7, 9}},
      {"2024-03-05", DateTime{2024, 3, 5, 0, 0, 0}},
      {"2024-03-05T14:07", DateTime{2024, 3, 5, 14, 7, 0}},
      {"2024-03-05T14:07:09.123Z", DateTime{2024, 3, 5, 14, 7, 9}},
      {"2024-03-05T01:00:00+03:00", DateTime{2024, 3, 4, 22, 0, 0}},
      {"2024-12-31T23:30:00-01:00", DateTime{2025, 1, 1, 0, 30, 0}},
      {"2024-02-30T00:00:00", std::nullopt},
      {"2023-02-29", std::nullopt},
      {"2024-03-05T24:00:00", std::nullopt},
      {"05.03.2024", std::nullopt},
      {"2024-03-05T14:07:09 junk", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIso8601(c.text), c.expected) << c.text;
}

TEST(DateTimes, DottedDates) {
  EXPECT_EQ(ParseDotted("05.03.2024"), (DateTime{2024, 3, 5, 0, 0, 0}));
  EXPECT_EQ(ParseDotted("05.03.2024 14:07:09"), (DateTime{2024, 3, 5, 14, 7, 9}));
  EXPECT_EQ(ParseDotted("31.04.2024"), std::nullopt);
  EXPECT_EQ(ParseDotted("5.3.2024"), std::nullopt);
}

}  // namespace
}  // namespace vantorel::datetime
