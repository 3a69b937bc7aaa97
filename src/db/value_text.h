// Conversions between the texts that the server sends for column values and the values that
// fields hold, and the general number format in which floating-point values become text.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larvek {

// An integer in the form "[blanks][+|-]digits" or with hexadecimal digits after "$", "x", "X",
// "0x" or "0X", nothing after it; `bits` (16, 32 or 64) is the width it must fit. Hexadecimal
// values may use the full unsigned width and then read as the signed number of the same bits.
std::optional<int64_t> ReadIntegerText(std::string_view text, int bits);

// A number with "." as decimal separator, optional sign and exponent, after a leading "$" is
// dropped. 0 when the text is not such a number.
double ReadFloatText(std::string_view text);

// The day the date values count from, 1899-12-30: a text without a valid date reads as a time
// on this day, and a date or date-time value at its midnight stands for no value (NULL).
inline constexpr std::chrono::local_days kDayZero{std::chrono::year{1899} / 12 / 30};

// A date and time from the server's layout "yyyy-mm-dd[ hh:nn:ss]"; a text of at most 9
// characters is a time "hh:nn:ss" alone. An invalid date counts as kDayZero, an invalid time
// as midnight; fractions of a second are ignored. With `allow_compact` (date and date-time
// columns), a text without "-" at positions 5 and 8 is read as digits: yyyymmdd[hhnnss] when 8
// or 14 characters long, otherwise yymmdd[hhnnss], the two-digit year used as it stands.
std::chrono::local_seconds ReadDateTimeText(std::string_view text, bool allow_compact);

// The general format with at most 15 significant digits: fixed notation for decimal exponents
// from -3 to 15 ("0,0001", "12,5"), otherwise "1,5E20" / "1E-5"; `separator` is the decimal one.
std::string FormatGeneralFloat(double value, const std::string& separator);

}  // namespace larvek
