#include "base/clock.h"

#include <sys/time.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace larvek {
namespace {

class SystemClock : public Clock {
 public:
  LocalDateTime Now() const override {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    return LocalDateTime{local.tm_year + 1900,
                         local.tm_mon + 1,
                         local.tm_mday,
                         local.tm_hour,
                         local.tm_min,
                         local.tm_sec,
                         static_cast<int>(tv.tv_usec / 1000)};
  }
};

const SystemClock kSystemClock;
const Clock* g_clock = &kSystemClock;

// Days from 0001-01-01 to 1899-12-30 in the proleptic Gregorian calendar.
constexpr long kEpochOffset = 693593;

long DaysFromCivilStart(int year, int month, int day) {
  long y = year - 1;
  long days = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  return days + day - 1;
}

}  // namespace

LocalDateTime Now() {
  return g_clock->Now();
}

void SetClockForTesting(const Clock* clock) {
  g_clock = clock ? clock : &kSystemClock;
}

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

bool IsValidTime(int hour, int minute, int second, int millisecond) {
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
         millisecond >= 0 && millisecond < 1000;
}

double EncodeDate(int year, int month, int day) {
  return static_cast<double>(DaysFromCivilStart(year, month, day) - kEpochOffset);
}

double EncodeTime(int hour, int minute, int second, int millisecond) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

DateTime ToDateTime(const LocalDateTime& t) {
  double date = EncodeDate(t.year, t.month, t.day);
  double time = EncodeTime(t.hour, t.minute, t.second, t.millisecond);
  return date >= 0 ? date + time : date - time;
}

LocalDateTime FromDateTime(DateTime value) {
  LocalDateTime out;
  double whole = std::trunc(value);
  long ms_of_day = std::lround(std::fabs(value - whole) * 86400000.0);
  if (ms_of_day >= 86400000) {
    ms_of_day -= 86400000;
    whole += value < 0 ? -1 : 1;
  }
  long days = static_cast<long>(whole) + kEpochOffset;  // days since 0001-01-01
  int year = 1;
  // Whole 400-, 100-, 4- and 1-year cycles, then months.
  long n400 = days / 146097;
  days %= 146097;
  long n100 = std::min(days / 36524, 3L);
  days -= n100 * 36524;
  long n4 = days / 1461;
  days %= 1461;
  long n1 = std::min(days / 365, 3L);
  days -= n1 * 365;
  year += static_cast<int>(n400 * 400 + n100 * 100 + n4 * 4 + n1);
  int month = 1;
  while (days >= DaysInMonth(year, month)) days -= DaysInMonth(year, month++);
  out.year = year;
  out.month = month;
  out.day = static_cast<int>(days) + 1;
  out.hour = static_cast<int>(ms_of_day / 3600000);
  out.minute = static_cast<int>(ms_of_day / 60000 % 60);
  out.second = static_cast<int>(ms_of_day / 1000 % 60);
  out.millisecond = static_cast<int>(ms_of_day % 1000);
  return out;
}

std::string FormatClockTime(int hour, int minute, int second) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, minute, second);
  return buf;
}

}  // namespace larvek
