// Process signals as loop events: SIGTERM, SIGINT and SIGHUP (the controlling terminal or a
// supervisor going away) become calls of on_close_request; with an on_hang_up handler, SIGHUP
// calls that instead (a supervisor's request to read the configuration again). They are
// delivered by the event loop like any other event (through a signalfd), so the handler may do
// anything a handler may do. SIGPIPE is ignored for the whole process from construction on.
//
// The three signals are blocked in the constructing thread; create the watch before starting
// other threads so that they inherit the mask.
#pragma once

#include <signal.h>

#include <functional>

#include "platform/event_loop.h"

namespace larvek {

class SignalWatch {
 public:
  SignalWatch(EventLoop& loop, std::function<void()> on_close_request,
              std::function<void()> on_hang_up = nullptr);
  ~SignalWatch();  // discards signals still pending and restores the signal mask
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  EventLoop& loop_;
  std::function<void()> on_close_request_;
  std::function<void()> on_hang_up_;
  sigset_t old_mask_;
  int fd_ = -1;
};

}  // namespace larvek
