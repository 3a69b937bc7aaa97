// Regional settings used when database values become text: the short date format, the long
// time format and the decimal separator. They come from section [Regional] of the own
// configuration file (read at start-up) and go as a value to where values become text; the
// defaults are the Czech ones.
//
// Pattern tokens: d, dd (day), m, mm (month), yy, yyyy (year), h, hh (hour), n, nn (minute),
// s, ss (second); the doubled forms pad to two digits (four for yyyy). Any other character is
// copied as it stands.
#pragma once

#include <string>

#include "base/clock.h"

namespace larvek {

struct RegionalSettings {
  std::string short_date_format = "d.m.yyyy";
  std::string long_time_format = "h:nn:ss";
  std::string decimal_separator = ",";
};

// Formats the date and time fields of `t` by `pattern`.
std::string FormatByPattern(const std::string& pattern, LocalTime t);
// The date of `t` in the short date format / the time of `t` in the long time format of
// `formats`.
std::string FormatShortDate(const RegionalSettings& formats, LocalTime t);
std::string FormatLongTime(const RegionalSettings& formats, LocalTime t);

}  // namespace larvek
