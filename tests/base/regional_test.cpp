#include "base/regional.h"

#include <gtest/gtest.h>

namespace larvek {
namespace {

struct PatternCase {
  const char* pattern;
  const char* expected;
};

TEST(RegionalTest, FormatsEveryPatternToken) {
  const LocalDateTime t{2024, 3, 7, 8, 5, 9, 0};
  const PatternCase cases[] = {
      {"d.m.yyyy", "7.3.2024"}, {"dd.mm.yy", "07.03.24"}, {"yyyy-mm-dd", "2024-03-07"},
      {"h:nn:ss", "8:05:09"},   {"hh:n:s", "08:5:9"},     {"yyy", "24y"},
      {"d/m ddd", "7/3 077"},   {"[x] @", "[x] @"},       {"", ""},
  };
  for (const PatternCase& c : cases)
    EXPECT_EQ(FormatByPattern(c.pattern, t), c.expected) << c.pattern;
}

TEST(RegionalTest, ShortDateAndLongTimeFollowTheSettings) {
  const LocalDateTime t{1999, 12, 31, 23, 59, 58, 0};
  const RegionalSettings czech;
  EXPECT_EQ(FormatShortDate(czech, t), "31.12.1999");
  EXPECT_EQ(FormatLongTime(czech, t), "23:59:58");
  RegionalSettings us;
  us.short_date_format = "mm/dd/yyyy";
  us.long_time_format = "hh:nn";
  EXPECT_EQ(FormatShortDate(us, t), "12/31/1999");
  EXPECT_EQ(FormatLongTime(us, t), "23:59");
}

}  // namespace
}  // namespace larvek
