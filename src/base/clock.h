// Local date and time: one clock for the whole program, replaceable by tests. A moment is a
// time point of the local wall clock (std::chrono::local_time) to the millisecond; dates are
// std::chrono calendar dates.
#pragma once

#include <chrono>
#include <string>

namespace larvek {

// A moment of the local wall clock, to the millisecond.
using LocalTime = std::chrono::local_time<std::chrono::milliseconds>;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

// The current local time from the clock in force (the system clock unless a test set one).
LocalTime Now();
// Tests install their own clock; nullptr restores the system clock. Not owned.
void SetClockForTesting(const Clock* clock);

// A fixed clock that tests move by hand.
class ManualClock : public Clock {
 public:
  explicit ManualClock(LocalTime now) : now_(now) {}
  LocalTime Now() const override { return now_; }
  void Set(LocalTime now) { now_ = now; }

 private:
  LocalTime now_;
};

// The calendar date of `t`.
std::chrono::year_month_day DateOf(LocalTime t);
// The time of `t` since its midnight.
std::chrono::hh_mm_ss<std::chrono::milliseconds> TimeOfDay(LocalTime t);

// A date of the years 1 to 9999 that exists in the (proleptic) Gregorian calendar.
bool IsValidDate(int year, int month, int day);
// A time of day from 00:00:00 to 23:59:59.
bool IsValidTime(int hour, int minute, int second);

// "hh:nn:ss", two digits each; parts of a second are dropped.
std::string FormatClockTime(const std::chrono::hh_mm_ss<std::chrono::milliseconds>& time);

}  // namespace larvek
