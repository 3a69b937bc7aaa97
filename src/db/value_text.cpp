#include "db/value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/clock.h"
#include "base/text.h"

namespace larvek {

using namespace std::chrono;

namespace {

// The low `bits` bits of `v` as a signed number.
int64_t WrapToWidth(uint64_t v, int bits) {
  if (bits == 64) return static_cast<int64_t>(v);
  uint64_t sign = uint64_t{1} << (bits - 1);
  v &= (sign << 1) - 1;
  return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
}

// The decimal number in text[from, from + len), or 0 when it cannot be read.
int ReadPart(std::string_view text, size_t from, size_t len) {
  if (from >= text.size()) return 0;
  text = text.substr(from, len);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

// The date, or kDayZero when it is no valid date.
local_days DateValue(int y, int m, int d) {
  if (!IsValidDate(y, m, d)) return kDayZero;
  return local_days{year{y} / m / d};
}

// `date` at the time of day, or at its midnight when it is no valid time.
local_seconds AtTime(local_days date, int hour, int minute, int second) {
  if (!IsValidTime(hour, minute, second)) return date;
  return date + hours{hour} + minutes{minute} + seconds{second};
}

// yyyymmdd[hhnnss] for 8 or 14 characters, otherwise yymmdd[hhnnss], as far as the text reaches.
local_seconds ReadCompact(std::string_view text) {
  size_t year_len = text.size() == 8 || text.size() == 14 ? 4 : 2;
  int parts[6] = {ReadPart(text, 0, year_len)};
  for (int k = 1; k < 6; ++k) parts[k] = ReadPart(text, year_len + 2 * (k - 1), 2);
  return AtTime(DateValue(parts[0], parts[1], parts[2]), parts[3], parts[4], parts[5]);
}

}  // namespace

std::optional<int64_t> ReadIntegerText(std::string_view text, int bits) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string_view rest = text.substr(i);
  int base = 10;
  if (rest.starts_with("0x") || rest.starts_with("0X")) {
    base = 16;
    rest.remove_prefix(2);
  } else if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
    base = 16;
    rest.remove_prefix(1);
  }
  if (rest.empty()) return std::nullopt;
  // Decimal values must fit the signed width, hexadecimal ones the unsigned width.
  const uint64_t unsigned_max = bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
  const uint64_t limit = base == 16 ? unsigned_max : (unsigned_max >> 1) + (negative ? 1 : 0);
  uint64_t value = 0;
  for (char c : rest) {
    int digit = base == 16 ? HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0 || value > (limit - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return WrapToWidth(negative ? ~value + 1 : value, bits);
}

double ReadFloatText(std::string_view text) {
  if (!text.empty() && text[0] == '$') text.remove_prefix(1);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  double value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return 0;
  return value;
}

local_seconds ReadDateTimeText(std::string_view text, bool allow_compact) {
  if (allow_compact && !(text.size() > 7 && text[4] == '-' && text[7] == '-'))
    return ReadCompact(text);
  local_days date = kDayZero;
  if (text.size() > 9) {
    date = DateValue(ReadPart(text, 0, 4), ReadPart(text, 5, 2), ReadPart(text, 8, 2));
    text = text.size() > 11 ? text.substr(11, 8) : std::string_view();
  }
  if (text.size() > 7)
    return AtTime(date, ReadPart(text, 0, 2), ReadPart(text, 3, 2), ReadPart(text, 6, 2));
  return date;
}

std::string FormatGeneralFloat(double value, const std::string& separator) {
  if (value == 0 || !std::isfinite(value)) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14e", value);  // "-d.dddddddddddddde+xx"
  std::string_view s = buf;
  bool negative = s[0] == '-';
  if (negative) s.remove_prefix(1);
  size_t e_pos = s.find('e');
  std::string digits = std::string(s.substr(0, 1)) + std::string(s.substr(2, e_pos - 2));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exponent = std::atoi(buf + (negative ? 1 : 0) + e_pos + 1) + 1;  // value = 0.d1d2... * 10^e

  std::string out = negative ? "-" : "";
  if (exponent >= -3 && exponent <= 15) {
    if (exponent <= 0) {
      out += "0" + separator + std::string(-exponent, '0') + digits;
    } else {
      std::string integer = digits.substr(0, std::min<size_t>(exponent, digits.size()));
      integer.resize(exponent, '0');
      out += integer;
      if (digits.size() > static_cast<size_t>(exponent)) out += separator + digits.substr(exponent);
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += separator + digits.substr(1);
  return out + "E" + std::to_string(exponent - 1);
}

}  // namespace larvek
