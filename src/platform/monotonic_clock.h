// The time the event loop's timers are measured in: a clock that never goes back. The loop
// reads it when a timer starts a period, when it looks for expired timers and when it says
// how long to wait for the next one.
//
// Programs use the steady clock of the process. A test hands the loop a clock of its own
// and moves it by hand, so that a timer becomes due when the test says so and not after a
// real wait.
#pragma once

#include <chrono>

namespace larvek {

class MonotonicClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~MonotonicClock() = default;
  // Never earlier than a time this clock returned before.
  virtual TimePoint Now() const = 0;
};

// std::chrono::steady_clock, shared by every loop that is not given another clock. Lives as
// long as the process.
const MonotonicClock& SteadyMonotonicClock();

}  // namespace larvek
