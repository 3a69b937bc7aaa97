// A check that the database answers, for a readiness page: a link of its own connects and runs
// "select 1" without blocking the loop, and the check fails when that has not ended within the
// time given. One check at a time; destroying the probe drops a check under way unheard.
#pragma once

#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>

#include "base/task.h"
#include "commands/loop_link.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace larvek {

class DatabaseProbe {
 public:
  using DoneFn = std::function<void(bool answered)>;

  DatabaseProbe(EventLoop& loop, LinkSettings settings, std::chrono::milliseconds limit);
  ~DatabaseProbe();
  DatabaseProbe(const DatabaseProbe&) = delete;
  DatabaseProbe& operator=(const DatabaseProbe&) = delete;

  // Starts a check; `done` hears its result, from the loop (never inside this call). Ignored
  // while one runs.
  void Check(DoneFn done);
  bool Checking() const { return checking_; }

 private:
  Detached Run();
  void End(bool answered);

  EventLoop& loop_;
  LinkSettings settings_;
  Timer limit_;
  std::unique_ptr<LoopLink> link_;     // the check's link
  std::unique_ptr<LoopLink> closing_;  // the last check's link while it closes
  DoneFn done_;
  bool checking_ = false;
  std::coroutine_handle<> run_;  // the check while it waits in the loop
};

}  // namespace larvek
