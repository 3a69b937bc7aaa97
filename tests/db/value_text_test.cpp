#include "db/value_text.h"

#include <gtest/gtest.h>

#include <chrono>

#include "base/error.h"
#include "db/db_field.h"

namespace larvek {
namespace {

TEST(FormatGeneralFloat, UsesFifteenDigitsAndSwitchesToExponentOutsideMinus3To15) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0, "0"},
      {12.5, "12,5"},
      {-12.5, "-12,5"},
      {42, "42"},
      {0.0001, "0,0001"},
      {0.00001, "1E-5"},
      {0.000123, "0,000123"},
      {1e20, "1E20"},
      {-1.5e20, "-1,5E20"},
      {123456789012345.0, "123456789012345"},
      {999999999999999.0, "999999999999999"},
      {1e15, "1E15"},
      {1234567890123456.0, "1,23456789012346E15"},
      {18446744073709551615.0, "1,84467440737096E19"},
      {0.1 + 0.2, "0,3"},
      {1.0 / 3, "0,333333333333333"},
      {2.5e-300, "2,5E-300"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatGeneralFloat(c.value, ","), c.text) << c.value;
  EXPECT_EQ(FormatGeneralFloat(12.5, "."), "12.5");
}

TEST(ReadIntegerText, AcceptsSignsBlanksAndHexButNothingAfter) {
  struct Case {
    const char* text;
    int bits;
    std::optional<int64_t> value;
  } cases[] = {
      {"42", 32, 42},
      {" 3", 32, 3},
      {"+7", 32, 7},
      {"-5", 32, -5},
      {"$1F", 32, 31},
      {"0x1f", 32, 31},
      {"X10", 32, 16},
      {"-$10", 32, -16},
      {"$FFFFFFFF", 32, -1},
      {"2147483647", 32, 2147483647},
      {"-2147483648", 32, INT32_MIN},
      {"2147483648", 32, std::nullopt},
      {"32767", 16, 32767},
      {"32768", 16, std::nullopt},
      {"9223372036854775807", 64, INT64_MAX},
      {"-9223372036854775808", 64, INT64_MIN},
      {"3 ", 32, std::nullopt},
      {"", 32, std::nullopt},
      {" ", 32, std::nullopt},
      {"-", 32, std::nullopt},
      {"1.5", 32, std::nullopt},
      {"$", 32, std::nullopt},
      {"\t3", 32, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadIntegerText(c.text, c.bits), c.value) << c.text;
}

TEST(ReadFloatText, ReadsDotDecimalsAndGivesZeroForGarbage) {
  EXPECT_EQ(ReadFloatText("12.50"), 12.5);
  EXPECT_EQ(ReadFloatText("$-1.5e3"), -1500);
  EXPECT_EQ(ReadFloatText("+2"), 2);
  EXPECT_EQ(ReadFloatText("1,5"), 0);
  EXPECT_EQ(ReadFloatText("abc"), 0);
  EXPECT_EQ(ReadFloatText(""), 0);
}

TEST(ReadDateTimeText, ReadsServerAndCompactLayouts) {
  using namespace std::chrono;
  const local_seconds jan5 = local_days{2024y / 1 / 5};
  const seconds t = 10h + 20min + 30s;
  const local_seconds year24 = local_days{year{24} / 1 / 5};
  struct Case {
    const char* text;
    bool compact;
    local_seconds value;
  } cases[] = {
      {"2024-01-05", true, jan5},
      {"2024-01-05 10:20:30", true, jan5 + t},
      {"2024-01-05 10:20:30.123456", true, jan5 + t},
      {"10:20:30", false, kDayZero + t},
      {"25:00:00", false, kDayZero},
      {"0000-00-00 10:20:30", true, kDayZero + t},  // an invalid date is day zero
      {"2024-02-30 10:20:30", true, kDayZero + t},  // likewise
      {"2024-01-05 24:00:00", true, jan5},          // invalid time adds nothing
      {"1899-12-29 12:00:00", true, local_days{1899y / 12 / 29} + 12h},  // before day zero
      {"20240105", true, jan5},                                          // compact, four-digit year
      {"20240105102030", true, jan5 + t},
      {"240105", true, year24},  // two-digit year as it stands
      {"240105102030", true, year24 + t},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadDateTimeText(c.text, c.compact), c.value) << c.text;
}

TEST(FieldKindFor, FollowsTypeFlagsLengthAndDecimals) {
  constexpr unsigned kUnsigned = 32, kBinary = 128;
  struct Case {
    int type;
    unsigned flags;
    unsigned long length;
    unsigned decimals;
    FieldKind kind;
  } cases[] = {
      {1, kUnsigned, 3, 0, FieldKind::kInt16},   {2, 0, 6, 0, FieldKind::kInt16},
      {2, kUnsigned, 5, 0, FieldKind::kInt32},   {13, kUnsigned, 4, 0, FieldKind::kInt32},
      {3, 0, 11, 0, FieldKind::kInt32},          {9, kUnsigned, 8, 0, FieldKind::kInt64},
      {3, kUnsigned, 10, 0, FieldKind::kInt64},  {8, 0, 20, 0, FieldKind::kInt64},
      {8, kUnsigned, 20, 0, FieldKind::kFloat},  {246, 0, 10, 0, FieldKind::kInt32},
      {0, 0, 11, 0, FieldKind::kInt64},          {246, 0, 6, 2, FieldKind::kFloat},
      {4, 0, 12, 31, FieldKind::kFloat},         {5, 0, 22, 31, FieldKind::kFloat},
      {10, 0, 10, 0, FieldKind::kDate},          {14, 0, 10, 0, FieldKind::kDate},
      {11, 0, 10, 0, FieldKind::kTime},          {12, 0, 19, 0, FieldKind::kDateTime},
      {7, 0, 19, 0, FieldKind::kDateTime},       {252, 16, 65535, 0, FieldKind::kLongText},
      {249, kBinary, 255, 0, FieldKind::kBytes}, {251, kBinary, 1, 0, FieldKind::kBytes},
      {16, 0, 3, 0, FieldKind::kBytes},          {255, kBinary, 1, 0, FieldKind::kBytes},
      {253, 0, 8192, 0, FieldKind::kText},       {253, 0, 8193, 0, FieldKind::kLongText},
      {254, 0, 3, 0, FieldKind::kText},          {6, 0, 0, 0, FieldKind::kText},
      {15, 0, 10, 0, FieldKind::kText},          {247, 0, 1, 0, FieldKind::kText},
      {248, 0, 9000, 0, FieldKind::kLongText},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FieldKindFor(c.type, c.flags, c.length, c.decimals), c.kind) << c.type;
  for (int type : {17, 18, 19, 20, 100, 245}) {
    try {
      FieldKindFor(type, 0, 10, 0);
      ADD_FAILURE() << type;
    } catch (const Error& e) {
      EXPECT_EQ(e.Message(), "Unknown MySQL data type!");
    }
  }
}

}  // namespace
}  // namespace larvek
