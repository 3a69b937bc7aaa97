// A clock for the event loop that stands still until the test moves it, so timer tests say
// how much time passes instead of sleeping. Give it to the loop at construction and keep it
// alive longer than the loop:
//
//   ManualMonotonicClock clock;
//   EventLoop loop(clock);
//   ...
//   clock.Advance(5ms);
//   loop.RunOnce(0);  // runs the timers due at the new time, without waiting
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "platform/monotonic_clock.h"

namespace larvek::testing {

class ManualMonotonicClock : public MonotonicClock {
 public:
  TimePoint Now() const override { return now_; }
  // Moves the clock forward. A step back would break the promise of a monotonic clock, so it
  // fails the test and leaves the clock where it is.
  void Advance(std::chrono::steady_clock::duration step) {
    if (step < step.zero()) {
      ADD_FAILURE() << "a monotonic clock cannot go back";
      return;
    }
    now_ += step;
  }

 private:
  TimePoint now_{};
};

}  // namespace larvek::testing
