// The waiting line of parallel mode: arrival order, wake-ups as posted events, and waiters
// whose coroutine was destroyed (their request was cut) skipped.
#include "commands/waiting_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace larvek {
namespace {

Detached WaitThenNote(WaitingLine& line, std::vector<std::string>& woken, std::string name,
                      std::coroutine_handle<>& self) {
  struct Self {
    std::coroutine_handle<>* out;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> h) noexcept {
      *out = h;
      return false;
    }
    void await_resume() const noexcept {}
  };
  Self capture{&self};
  co_await capture;
  co_await line.Wait();
  woken.push_back(name);
  self = {};
}

TEST(WaitingLineTest, WakesInArrivalOrderFromTheLoopAndSkipsTheDestroyed) {
  EventLoop loop;
  WaitingLine line(loop);
  std::vector<std::string> woken;
  std::coroutine_handle<> a, b, c, d;
  WaitThenNote(line, woken, "a", a);
  WaitThenNote(line, woken, "b", b);
  WaitThenNote(line, woken, "c", c);
  WaitThenNote(line, woken, "d", d);
  EXPECT_EQ(line.Waiting(), 4u);

  // The wake-up runs from the loop, never inside the waker's call.
  line.WakeOne();
  EXPECT_TRUE(woken.empty());
  EXPECT_EQ(line.Woken(), 1u);
  loop.RunOnce(0);
  EXPECT_EQ(woken, (std::vector<std::string>{"a"}));

  // b is cut while it waits; the turn passes to c. And one cut after it was picked passes its
  // turn on when the wake-up finds it gone.
  b.destroy();
  line.WakeOne();
  loop.RunOnce(0);
  EXPECT_EQ(woken, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(line.Waiting(), 1u);

  WaitThenNote(line, woken, "e", b);
  line.WakeOne();  // picks d
  d.destroy();
  loop.RunOnce(0);  // d is gone: e gets the turn
  loop.RunOnce(0);
  EXPECT_EQ(woken, (std::vector<std::string>{"a", "c", "e"}));
  EXPECT_EQ(line.Waiting(), 0u);
  EXPECT_EQ(line.Woken(), 0u);
}

}  // namespace
}  // namespace larvek
