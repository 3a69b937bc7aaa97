#include "base/regional.h"

#include <cstdio>

namespace larvek {
namespace {

// Number of times `c` repeats at `pattern[i]`, at most `limit`.
size_t RunLength(const std::string& pattern, size_t i, char c, size_t limit) {
  size_t n = 0;
  while (i + n < pattern.size() && n < limit && pattern[i + n] == c) ++n;
  return n;
}

void AppendNumber(std::string& out, int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  out += buf;
}

}  // namespace

std::string FormatByPattern(const std::string& pattern, LocalTime t) {
  const std::chrono::year_month_day date = DateOf(t);
  const std::chrono::hh_mm_ss<std::chrono::milliseconds> time = TimeOfDay(t);
  const int year = static_cast<int>(date.year());
  std::string out;
  size_t i = 0;
  while (i < pattern.size()) {
    char c = pattern[i];
    if (c == 'y') {
      if (RunLength(pattern, i, 'y', 4) == 4) {
        AppendNumber(out, year, 4);
        i += 4;
      } else if (RunLength(pattern, i, 'y', 2) == 2) {
        AppendNumber(out, year % 100, 2);
        i += 2;
      } else {
        out += c;
        ++i;
      }
      continue;
    }
    int value;
    switch (c) {
      case 'd':
        value = static_cast<int>(static_cast<unsigned>(date.day()));
        break;
      case 'm':
        value = static_cast<int>(static_cast<unsigned>(date.month()));
        break;
      case 'h':
        value = static_cast<int>(time.hours().count());
        break;
      case 'n':
        value = static_cast<int>(time.minutes().count());
        break;
      case 's':
        value = static_cast<int>(time.seconds().count());
        break;
      default:
        out += c;
        ++i;
        continue;
    }
    size_t run = RunLength(pattern, i, c, 2);
    AppendNumber(out, value, static_cast<int>(run));
    i += run;
  }
  return out;
}

std::string FormatShortDate(const RegionalSettings& formats, LocalTime t) {
  return FormatByPattern(formats.short_date_format, t);
}

std::string FormatLongTime(const RegionalSettings& formats, LocalTime t) {
  return FormatByPattern(formats.long_time_format, t);
}

}  // namespace larvek
