#include "frontends/desktop/loop_driver.h"

#include <cstdio>
#include <exception>

#include "base/codepage.h"
#include "platform/event_loop.h"

namespace larvek {

QtLoopDriver::QtLoopDriver(EventLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), notifier_(loop.PollFd(), QSocketNotifier::Read) {
  notifier_.setEnabled(false);
  deadline_.setSingleShot(true);
  deadline_.setTimerType(Qt::PreciseTimer);
  connect(&notifier_, &QSocketNotifier::activated, this, &QtLoopDriver::Pass);
  connect(&deadline_, &QTimer::timeout, this, &QtLoopDriver::Pass);
}

void QtLoopDriver::Start() {
  running_ = true;
  notifier_.setEnabled(true);
  // Work queued before the start (a task posted by Server::Start) wakes the notifier; timers
  // enabled before the start need the deadline armed.
  Rearm();
}

void QtLoopDriver::Stop() {
  running_ = false;
  notifier_.setEnabled(false);
  deadline_.stop();
}

void QtLoopDriver::Rearm() {
  if (!running_) return;
  const int ms = loop_.MillisecondsToNextTimer();
  if (ms < 0)
    deadline_.stop();
  else
    deadline_.start(ms);
}

void QtLoopDriver::Pass() {
  if (!running_) return;
  if (in_pass_) {
    // Qt events were processed from inside a handler; RunOnce must not be entered again.
    pass_wanted_ = true;
    return;
  }
  in_pass_ = true;
  try {
    loop_.RunOnce(0);
  } catch (const std::exception& e) {
    // The loop reports handler errors through its error handler; this is the last resort so
    // that nothing is thrown through Qt.
    std::fprintf(stderr, "srvlarvek: %s\n", Cp1250ToUtf8(e.what()).c_str());
  }
  in_pass_ = false;
  Rearm();
  if (pass_wanted_) {
    pass_wanted_ = false;
    QTimer::singleShot(0, this, &QtLoopDriver::Pass);
  }
}

}  // namespace larvek
