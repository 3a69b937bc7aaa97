// Checks the readers of the server's value texts and the formats values leave in: any bytes
// read without undefined behaviour into values in range; integers, floating-point numbers and
// date-times written out read back as themselves; the general float format reads back to the
// value within its 15 digits and keeps its layout; fields of every kind load any bytes.
//
// Input: bytes 0-7 a 64-bit pattern (an integer and a double), bytes 8-14 a date-time (year
// in two bytes, then month, day, hour, minute, second, taken modulo a little past their
// ranges), byte 15 the decimal separator (bit 0-1: "," "." "::" ""); the rest is a value text.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/error.h"
#include "base/regional.h"
#include "db/db_field.h"
#include "db/value_text.h"
#include "fuzz_support.h"

namespace larvek::fuzz {
namespace {

int64_t SignedMin(int bits) {
  return bits == 64 ? INT64_MIN : -(int64_t{1} << (bits - 1));
}
int64_t SignedMax(int bits) {
  return bits == 64 ? INT64_MAX : (int64_t{1} << (bits - 1)) - 1;
}

// Whether the text is in the decimal form: blanks, a sign, then not a hexadecimal prefix.
bool IsDecimalForm(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && t[i] == ' ') ++i;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  t.remove_prefix(i);
  return !(t.starts_with("0x") || t.starts_with("0X") || t.starts_with("$") || t.starts_with("x") ||
           t.starts_with("X"));
}

void CheckIntegerText(const std::string& text) {
  const std::string what = " for " + Printable(text);
  std::optional<int64_t> read[3];
  const int widths[3] = {16, 32, 64};
  for (int w = 0; w < 3; ++w) {
    const int bits = widths[w];
    read[w] = ReadIntegerText(text, bits);
    if (read[w])
      FUZZ_REQUIRE(*read[w] >= SignedMin(bits) && *read[w] <= SignedMax(bits),
                   std::to_string(bits) + "-bit read out of range" + what);
    FUZZ_REQUIRE(ReadIntegerText(" " + text, bits) == read[w],
                 "a leading blank changes the value" + what);
    FUZZ_REQUIRE(!ReadIntegerText(text + "g", bits), "trailing text accepted" + what);
  }
  // A decimal number that fits a width fits every wider one as the same value.
  if (IsDecimalForm(text)) {
    if (read[0]) FUZZ_REQUIRE(read[1] == read[0], "16 and 32 bits disagree" + what);
    if (read[1]) FUZZ_REQUIRE(read[2] == read[1], "32 and 64 bits disagree" + what);
  }
}

void CheckIntegerRoundTrip(int64_t x) {
  const std::string decimal = std::to_string(x);
  for (int bits : {16, 32, 64}) {
    const bool fits = x >= SignedMin(bits) && x <= SignedMax(bits);
    const std::optional<int64_t> got = ReadIntegerText(decimal, bits);
    FUZZ_REQUIRE(fits ? got == x : !got, std::to_string(bits) + "-bit decimal " + decimal);
    // Hexadecimal: the unsigned pattern of the width reads as the signed number of that width.
    const uint64_t mask = bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    const uint64_t pattern = static_cast<uint64_t>(x) & mask;
    int64_t as_signed = static_cast<int64_t>(pattern);
    if (bits < 64 && (pattern >> (bits - 1)) != 0) as_signed -= static_cast<int64_t>(mask) + 1;
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llX", static_cast<unsigned long long>(pattern));
    for (const char* prefix : {"$", "0x", "0X", "x", "X"})
      FUZZ_REQUIRE(ReadIntegerText(prefix + std::string(hex), bits) == as_signed,
                   std::to_string(bits) + "-bit hexadecimal " + prefix + hex);
  }
}

// Reads FormatGeneralFloat's output back, in a wider type: rounded to 15 digits, a value near
// the largest double can lie beyond it.
long double ParseGeneral(std::string text, const std::string& separator) {
  if (!separator.empty()) {
    size_t at = text.find(separator);
    if (at != std::string::npos) text.replace(at, separator.size(), ".");
  }
  for (char& c : text)
    if (c == 'E') c = 'e';
  char* end = nullptr;
  long double v = std::strtold(text.c_str(), &end);
  FUZZ_REQUIRE(end == text.c_str() + text.size(),
               "general format not a number: " + Printable(text));
  return v;
}

void CheckFloat(double x, const std::string& separator) {
  if (!std::isfinite(x)) {
    FUZZ_REQUIRE(FormatGeneralFloat(x, separator) == "0", "non-finite value not written as 0");
    return;
  }
  char exact[40];
  std::snprintf(exact, sizeof exact, "%.17g", x);
  FUZZ_REQUIRE(ReadFloatText(exact) == x || (x == 0 && ReadFloatText(exact) == 0),
               std::string("ReadFloatText does not read back ") + exact);

  const std::string out = FormatGeneralFloat(x, separator);
  const std::string what = " for " + std::string(exact) + " written " + Printable(out);
  if (x == 0) {
    FUZZ_REQUIRE(out == "0", "zero not written as 0" + what);
    return;
  }
  const long double back = ParseGeneral(out, separator);
  FUZZ_REQUIRE(std::fabs(back - x) <= std::fabs(x) * 1e-14L || back == x, "value changes" + what);
  FUZZ_REQUIRE((out[0] == '-') == (x < 0), "sign changes" + what);
  // At most 15 significant digits, no zero ending a fraction.
  const size_t e = out.find('E');
  std::string mantissa = out.substr(0, e);
  int digits = 0;
  bool leading = true;
  for (char c : mantissa) {
    if (c < '0' || c > '9') continue;
    leading = leading && c == '0';
    if (!leading) ++digits;
  }
  FUZZ_REQUIRE(digits <= 15, "more than 15 digits" + what);
  if (!separator.empty() && mantissa.find(separator) != std::string::npos)
    FUZZ_REQUIRE(mantissa.back() != '0', "fraction ends with zero" + what);
  // Fixed notation exactly for 0.0001 <= |value| < 1E15, as written.
  const bool fixed = std::fabs(back) >= 1e-4L && std::fabs(back) < 1e15L;
  FUZZ_REQUIRE((e == std::string::npos) == fixed, "wrong notation" + what);
}

void CheckDateTime(int year, int month, int day, int hour, int minute, int second) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
                second);
  const std::string what = std::string(" for ") + text;
  const bool date_ok = year > 0 && IsValidDate(year, month, day);
  const bool time_ok = IsValidTime(hour, minute, second);
  const std::chrono::local_seconds v = ReadDateTimeText(text, false);
  FUZZ_REQUIRE(ReadDateTimeText(text, true) == v, "compact reading changes a dashed text" + what);
  FUZZ_REQUIRE(ReadDateTimeText(std::string(text) + ".123456", false) == v,
               "a fraction of a second counts" + what);
  char compact[64];
  std::snprintf(compact, sizeof compact, "%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute,
                second);
  FUZZ_REQUIRE(ReadDateTimeText(compact, true) == v,
               std::string("compact form differs: ") + compact + what);
  const std::chrono::hh_mm_ss<std::chrono::milliseconds> time = TimeOfDay(v);
  const bool time_read = time.hours().count() == hour && time.minutes().count() == minute &&
                         time.seconds().count() == second;
  const bool midnight = time.to_duration().count() == 0;
  FUZZ_REQUIRE(time_ok ? time_read : midnight,
               "the time does not read back or adds something" + what);
  if (!date_ok) {
    FUZZ_REQUIRE(std::chrono::floor<std::chrono::days>(v) == kDayZero,
                 "invalid date adds something" + what);
    return;
  }
  const std::chrono::year_month_day date = DateOf(v);
  FUZZ_REQUIRE(static_cast<int>(date.year()) == year &&
                   static_cast<unsigned>(date.month()) == static_cast<unsigned>(month) &&
                   static_cast<unsigned>(date.day()) == static_cast<unsigned>(day),
               "date does not read back" + what);

  // The regional default formats write the fields out as numbers.
  char expected[64];
  std::snprintf(expected, sizeof expected, "%d.%d.%04d", day, month, year);
  const std::string shown = FormatShortDate(RegionalSettings{}, v);
  FUZZ_REQUIRE(shown == expected, "short date " + shown + what);
}

void CheckValueText(const std::string& text, const std::string& separator) {
  const std::string what = " for " + Printable(text);
  CheckIntegerText(text);
  const double number = ReadFloatText(text);
  FUZZ_REQUIRE(std::isfinite(number), "ReadFloatText not finite" + what);
  if (text.empty() || text[0] != '$')
    FUZZ_REQUIRE(ReadFloatText("$" + text) == number, "a leading $ changes the number" + what);
  for (bool compact : {false, true}) {
    const std::chrono::local_seconds v = ReadDateTimeText(text, compact);
    const std::chrono::year_month_day date = DateOf(v);
    FUZZ_REQUIRE(
        date.ok() && date.year() >= std::chrono::year{1} && date.year() <= std::chrono::year{9999},
        "date-time out of range" + what);
  }

  // Every kind of field loads any text; text kinds keep every byte.
  RegionalSettings regional;
  regional.decimal_separator = separator;
  const FieldKind kinds[] = {FieldKind::kText,    FieldKind::kLongText, FieldKind::kBytes,
                             FieldKind::kInt16,   FieldKind::kInt32,    FieldKind::kInt64,
                             FieldKind::kFloat,   FieldKind::kDate,     FieldKind::kTime,
                             FieldKind::kDateTime};
  for (FieldKind kind : kinds) {
    DbField field("f", kind);
    field.Load(text.data(), text.size());
    const std::string shown = field.AsString(regional);
    try {
      field.AsInteger();
    } catch (const Error&) {
    }
    if (kind == FieldKind::kText || kind == FieldKind::kLongText || kind == FieldKind::kBytes)
      FUZZ_REQUIRE(shown == text, "text field changes its bytes" + what);
    if (kind == FieldKind::kFloat && !field.IsNull())
      FUZZ_REQUIRE(std::fabs(ParseGeneral(shown, separator) - number) <= std::fabs(number) * 1e-14L,
                   "float field shows " + shown + what);
  }

  // A pattern: every letter run gives at least as many digits; other bytes stay.
  const std::string formatted = FormatByPattern(text, ReadDateTimeText(text, true));
  FUZZ_REQUIRE(formatted.size() >= text.size(), "pattern output too short" + what);
  if (text.find_first_of("dmyhns") == std::string::npos)
    FUZZ_REQUIRE(formatted == text, "a pattern without fields changes" + what);
}

}  // namespace
}  // namespace larvek::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larvek;
  using namespace larvek::fuzz;
  if (size < 16 || size > 1024) return 0;
  uint64_t bits;
  std::memcpy(&bits, data, 8);
  double x;
  std::memcpy(&x, data, 8);
  static const char* const kSeparators[] = {",", ".", "::", ""};
  const std::string separator = kSeparators[data[15] & 3];

  CheckIntegerRoundTrip(static_cast<int64_t>(bits));
  if (!separator.empty()) CheckFloat(x, separator);
  const int year = (data[8] | (data[9] << 8)) % 10000;
  CheckDateTime(year, data[10] % 14, data[11] % 33, data[12] % 26, data[13] % 62, data[14] % 62);
  CheckValueText(std::string(reinterpret_cast<const char*>(data) + 16, size - 16),
                 separator.empty() ? "," : separator);
  return 0;
}
