#include "platform/timer.h"

namespace larvek {

Timer::Timer(EventLoop& loop) : loop_(loop) {}

Timer::~Timer() {
  if (entry_) loop_.RemoveTimer(entry_);
}

void Timer::SetInterval(int ms) {
  if (ms < 0) throw Error::Range();
  if (ms == interval_) return;
  interval_ = ms;
  Restart();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Restart();
}

// A timer enabled for each database operation keeps its loop entry between its periods.
void Timer::Restart() {
  if (entry_) loop_.RemoveTimer(entry_);
  if (!enabled_ || interval_ == 0) return;
  if (entry_ && loop_.ReviveTimer(entry_, interval_)) return;
  entry_ = loop_.AddTimer(interval_, [this] {
    // A copy: it survives the handler destroying the timer or replacing its handlers.
    auto on_timer = handlers_.on_timer;
    if (on_timer) on_timer();
  });
}

}  // namespace larvek
