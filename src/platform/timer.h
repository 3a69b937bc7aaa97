// A window-style timer on the event loop: while enabled it fires every Interval milliseconds,
// counted from when it was enabled and then from each firing. The expiry is an event like any
// other, so it never interrupts a handler; an interval of 0 never fires.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/event_loop.h"

namespace larvek {

class Timer {
 public:
  explicit Timer(EventLoop& loop);
  ~Timer();  // must die before its loop
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // A new interval restarts the period of an enabled timer; the same interval changes nothing.
  // Negative: "Range check error".
  void SetInterval(int ms);
  int Interval() const { return interval_; }
  // Enabling an enabled timer does not restart its period; disabling cancels an expiry that
  // is due but not yet handled.
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }

  struct Handlers {
    std::function<void()> on_timer;  // each expiry
  };
  // Replaces the handlers; a firing that is running keeps the ones it started with.
  void SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

 private:
  void Restart();

  EventLoop& loop_;
  int interval_ = 1000;
  bool enabled_ = false;
  Handlers handlers_;
  std::shared_ptr<EventLoop::TimerEntry> entry_;  // in the loop while enabled with an interval
};

}  // namespace larvek
