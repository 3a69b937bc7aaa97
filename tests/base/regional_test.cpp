#include "base/regional.h"

#include <gtest/gtest.h>

#include <chrono>

namespace larvek {
namespace {

using namespace std::chrono_literals;
using std::chrono::local_days;

struct PatternCase {
  const char* pattern;
  const char* expected;
};

TEST(RegionalTest, FormatsEveryPatternToken) {
  const LocalTime t = local_days{2024y / 3 / 7} + 8h + 5min + 9s;
  const PatternCase cases[] = {
      {"d.m.yyyy", "7.3.2024"}, {"dd.mm.yy", "07.03.24"}, {"yyyy-mm-dd", "2024-03-07"},
      {"h:nn:ss", "8:05:09"},   {"hh:n:s", "08:5:9"},     {"yyy", "24y"},
      {"d/m ddd", "7/3 077"},   {"[x] @", "[x] @"},       {"", ""},
  };
  for (const PatternCase& c : cases)
    EXPECT_EQ(FormatByPattern(c.pattern, t), c.expected) << c.pattern;
}

TEST(RegionalTest, ShortDateAndLongTimeFollowTheSettings) {
  const LocalTime t = local_days{1999y / 12 / 31} + 23h + 59min + 58s + 999ms;
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
