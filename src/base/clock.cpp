#include "base/clock.h"

#include <cstdio>
#include <ctime>

namespace larvek {

using namespace std::chrono;

namespace {

// The local wall-clock time of `t` in the process's time zone. The one place that asks the C
// library (the standard library of GCC 12 has no time zones of its own).
LocalTime LocalTimeOf(system_clock::time_point t) {
  const auto ms = floor<milliseconds>(t);
  const auto whole = floor<seconds>(ms);
  const std::time_t since_epoch = system_clock::to_time_t(whole);
  std::tm local{};
  localtime_r(&since_epoch, &local);
  const local_days date{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday};
  return date + hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec} + (ms - whole);
}

class SystemClock : public Clock {
 public:
  LocalTime Now() const override { return LocalTimeOf(system_clock::now()); }
};

const SystemClock kSystemClock;
const Clock* g_clock = &kSystemClock;

}  // namespace

LocalTime Now() {
  return g_clock->Now();
}

void SetClockForTesting(const Clock* clock) {
  g_clock = clock ? clock : &kSystemClock;
}

year_month_day DateOf(LocalTime t) {
  return year_month_day{floor<days>(t)};
}

hh_mm_ss<milliseconds> TimeOfDay(LocalTime t) {
  return hh_mm_ss<milliseconds>{t - floor<days>(t)};
}

bool IsValidDate(int y, int m, int d) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  return year_month_day{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}}
      .ok();
}

bool IsValidTime(int hour, int minute, int second) {
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
}

std::string FormatClockTime(const hh_mm_ss<milliseconds>& time) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return buf;
}

}  // namespace larvek
