// Coroutines waiting for their turn, in arrival order, on the loop thread: requests waiting for
// a database link, or for the probe another request runs. A waiting coroutine may be destroyed
// while it waits (its request was cut); the line then skips it.
//
// A wake-up is an event posted to the loop: the woken coroutine runs after the waker's handler
// has returned, never inside it. The line may go before the events it posted; they then wake
// nothing.
#pragma once

#include <coroutine>
#include <cstddef>
#include <deque>
#include <memory>

#include "base/task.h"
#include "platform/event_loop.h"

namespace larvek {

class WaitingLine {
 public:
  explicit WaitingLine(EventLoop& loop);
  WaitingLine(const WaitingLine&) = delete;
  WaitingLine& operator=(const WaitingLine&) = delete;

  // Suspends the awaiting coroutine until a wake-up picks it.
  Task<void> Wait();
  // Picks the one that has waited longest (skipping destroyed ones); nothing when none waits.
  void WakeOne();
  // Picks every one waiting now.
  void WakeAll();
  // True when a coroutine waits (destroyed ones at the front are dropped on the way): the cheap
  // test for a newcomer.
  bool AnyWaiting();
  // Coroutines waiting, and those picked whose wake-up has not run yet.
  size_t Waiting() const;
  size_t Woken() const;

 private:
  struct Ticket {
    std::coroutine_handle<> waiting;
  };
  struct State {
    std::deque<std::weak_ptr<Ticket>> line;
    size_t woken = 0;
  };
  struct Suspend;
  static void Wake(EventLoop& loop, const std::shared_ptr<State>& state);

  EventLoop& loop_;
  // Shared with the posted wake-ups, which may outlive the line.
  std::shared_ptr<State> state_;
};

}  // namespace larvek
