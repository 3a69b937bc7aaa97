// Local date and time: one clock for the whole program, replaceable by tests, and the
// day-number form of a date-time (days since 1899-12-30, time of day as the fraction)
// that connection times and database date values use.
#pragma once

#include <string>

namespace larvek {

struct LocalDateTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalDateTime Now() const = 0;
};

// The current local time from the clock in force (the system clock unless a test set one).
LocalDateTime Now();
// Tests install their own clock; nullptr restores the system clock. Not owned.
void SetClockForTesting(const Clock* clock);

// A fixed clock that tests move by hand.
class ManualClock : public Clock {
 public:
  explicit ManualClock(LocalDateTime now) : now_(now) {}
  LocalDateTime Now() const override { return now_; }
  void Set(LocalDateTime now) { now_ = now; }

 private:
  LocalDateTime now_;
};

using DateTime = double;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int millisecond = 0);
// Whole days since 1899-12-30 (negative before it). The date must be valid.
double EncodeDate(int year, int month, int day);
// Fraction of a day. The time must be valid.
double EncodeTime(int hour, int minute, int second, int millisecond = 0);
// A date-time whose whole part is the day and whose fraction is the time of day; for days
// before 1899-12-30 the fraction is subtracted, as the day-number form counts there.
DateTime ToDateTime(const LocalDateTime& t);
LocalDateTime FromDateTime(DateTime value);

// "hh:nn:ss", two digits each.
std::string FormatClockTime(int hour, int minute, int second);

}  // namespace larvek
