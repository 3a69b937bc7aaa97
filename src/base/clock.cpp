#include "base/clock.h"

#include <cstdio>
#include <ctime>
#include <string>

namespace larvek {

using namespace std::chrono;

namespace {

// The local wall-clock time of `t` in the process's time zone. The one place that asks the C
// library (the standard library of GCC 12 has no time zones of its own).
// A busy server asks many times a second: the local time of the last whole second is kept (a
// change of the offset falls on a whole second, so the same second has the same local time).
LocalTime LocalTimeOf(system_clock::time_point t) {
  const auto ms = floor<milliseconds>(t);
  const auto whole = floor<seconds>(ms);
  const std::time_t since_epoch = system_clock::to_time_t(whole);
  thread_local std::time_t kept_second = 0;
  thread_local LocalTime kept_local{};
  thread_local bool kept = false;
  if (!kept || since_epoch != kept_second) {
    std::tm local{};
    localtime_r(&since_epoch, &local);
    const local_days date{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday};
    kept_local = date + hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec};
    kept_second = since_epoch;
    kept = true;
  }
  return kept_local + (ms - whole);
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

// Every log line starts with the time: formatted without the C library's format parser.
std::string FormatClockTime(const hh_mm_ss<milliseconds>& time) {
  const int parts[3] = {static_cast<int>(time.hours().count()),
                        static_cast<int>(time.minutes().count()),
                        static_cast<int>(time.seconds().count())};
  std::string out;
  for (int part : parts) {
    if (!out.empty()) out += ':';
    if (part >= 0 && part < 100) {
      out += static_cast<char>('0' + part / 10);
      out += static_cast<char>('0' + part % 10);
    } else {
      out += std::to_string(part);  // as "%02d" would write it
    }
  }
  return out;
}

}  // namespace larvek
