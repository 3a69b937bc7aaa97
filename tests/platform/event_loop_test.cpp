#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "manual_monotonic_clock.h"
#include "platform/timer.h"

namespace larvek {
namespace {

using namespace std::chrono_literals;
using testing::ManualMonotonicClock;

// A pipe whose read end the loop watches.
struct Pipe {
  int fds[2];
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  int ReadEnd() const { return fds[0]; }
  void Put(char c) { ASSERT_EQ(write(fds[1], &c, 1), 1); }
  char Take() {
    char c = 0;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    return c;
  }
};

bool PollFdReadable(const EventLoop& loop) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(loop.PollFd(), &set);
  timeval none{0, 0};
  return select(loop.PollFd() + 1, &set, nullptr, nullptr, &none) == 1;
}

TEST(EventLoopTest, PostedTasksRunInOrderAfterEventsAlreadyQueued) {
  EventLoop loop;
  Pipe a, b;
  std::vector<std::string> log;
  // a's handler posts; b was already ready when a ran, so b must come before the task,
  // and a task posted by a task waits for the next round.
  loop.Watch(a.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    a.Take();
    log.push_back("a");
    loop.Post([&] {
      log.push_back("task1");
      loop.Post([&] { log.push_back("task3"); });
    });
    loop.Post([&] { log.push_back("task2"); });
  });
  loop.Watch(b.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    b.Take();
    log.push_back("b");
  });
  a.Put('x');
  b.Put('y');
  loop.RunOnce(1000);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(PollFdReadable(loop)) << "queued tasks must keep PollFd readable";
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "task1", "task2"}));
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "task1", "task2", "task3"}));
  EXPECT_FALSE(PollFdReadable(loop));
}

TEST(EventLoopTest, TaskPostedBeforeReadinessRunsFirst) {
  EventLoop loop;
  Pipe p;
  std::vector<std::string> log;
  loop.Watch(p.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    p.Take();
    log.push_back("io");
  });
  loop.Post([&] { log.push_back("task"); });
  p.Put('x');
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<std::string>{"task", "io"}));
}

TEST(EventLoopTest, UnwatchDropsQueuedEventsAndIsSafeInsideTheHandler) {
  EventLoop loop;
  Pipe a, b;
  int a_calls = 0, b_calls = 0;
  // Whichever runs first unwatches both: the other's queued event must not arrive, and the
  // running handler (whose std::function is destroyed by Unwatch) must finish safely.
  auto handler = [&](int* calls, std::string* trace) {
    return [&, calls, trace](uint32_t) {
      ++*calls;
      loop.Unwatch(a.ReadEnd());
      loop.Unwatch(b.ReadEnd());
      *trace += "survived";  // touches captured state after the handler object was released
    };
  };
  std::string trace_a, trace_b;
  loop.Watch(a.ReadEnd(), EventLoop::kReadable, handler(&a_calls, &trace_a));
  loop.Watch(b.ReadEnd(), EventLoop::kReadable, handler(&b_calls, &trace_b));
  a.Put('x');
  b.Put('y');
  loop.RunOnce(1000);
  loop.RunOnce(0);
  EXPECT_EQ(a_calls + b_calls, 1);
  EXPECT_EQ(trace_a + trace_b, "survived");
}

TEST(EventLoopTest, ReadinessFlagsAndInterestChanges) {
  EventLoop loop;
  Pipe p;
  std::vector<uint32_t> seen;
  loop.Watch(p.fds[1], EventLoop::kReadable, [&](uint32_t ev) { seen.push_back(ev); });
  loop.RunOnce(0);
  EXPECT_TRUE(seen.empty()) << "write end is never readable";
  loop.SetInterest(p.fds[1], EventLoop::kWritable);
  loop.RunOnce(0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], uint32_t{EventLoop::kWritable});
  loop.Unwatch(p.fds[1]);

  seen.clear();
  loop.Watch(p.ReadEnd(), EventLoop::kReadable, [&](uint32_t ev) { seen.push_back(ev); });
  close(p.fds[1]);
  p.fds[1] = dup(p.fds[0]);  // keep the destructor's close harmless
  loop.RunOnce(1000);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0] & EventLoop::kHangup);
}

TEST(EventLoopTest, ErrorsGoToTheErrorHandlerAndTheLoopGoesOn) {
  EventLoop loop;
  std::vector<std::string> log;
  loop.SetErrorHandler([&](const Error& e) { log.push_back(e.ClassName() + ":" + e.Message()); });
  loop.Post([] { throw Error::Range(); });
  loop.Post([] { throw std::runtime_error("boom"); });
  loop.Post([&] { log.push_back("after"); });
  loop.RunOnce(0);
  EXPECT_EQ(log,
            (std::vector<std::string>{"ERangeError:Range check error", "Exception:boom", "after"}));
}

TEST(EventLoopTest, WithoutErrorHandlerTheErrorLeavesRunOnceAndTheRestStaysQueued) {
  EventLoop loop;
  bool after = false;
  loop.Post([] { throw Error::Range(); });
  loop.Post([&] { after = true; });
  EXPECT_THROW(loop.RunOnce(0), Error);
  EXPECT_FALSE(after);
  EXPECT_TRUE(PollFdReadable(loop));
  loop.RunOnce(0);
  EXPECT_TRUE(after);
}

TEST(EventLoopTest, NestedRunOnceDispatchesOthersButNotTheRunningDescriptor) {
  EventLoop loop;
  Pipe a, b;
  int a_calls = 0, b_calls = 0;
  loop.Watch(a.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    ++a_calls;
    // A modal dialog would spin the loop here; a stays readable (nothing read yet).
    b.Put('y');
    for (int i = 0; i < 3; ++i) loop.RunOnce(50);
    a.Take();
  });
  loop.Watch(b.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    ++b_calls;
    b.Take();
  });
  a.Put('x');
  loop.RunOnce(1000);
  EXPECT_EQ(a_calls, 1);
  EXPECT_EQ(b_calls, 1);
  a.Put('z');  // the watch of a was restored after its handler
  loop.RunOnce(1000);
  EXPECT_EQ(a_calls, 2);
}

// Run needs no readiness of PollFd for the tasks handlers post: its next round sees them and
// does not wait. The before-wait hook runs once per round, before the wait.
TEST(EventLoopTest, RunTakesPostedTasksWithoutWaitingAndCallsTheHookEachRound) {
  EventLoop loop;
  std::vector<std::string> log;
  loop.SetBeforeWait([&] { log.push_back("before"); });
  int left = 2;
  std::function<void()> again = [&] {
    log.push_back("task");
    EXPECT_FALSE(PollFdReadable(loop)) << "no wake-up signal is needed inside Run";
    if (--left == 0) {
      loop.Stop();
      return;
    }
    loop.Post(again);
  };
  loop.Post(again);  // from outside any round: PollFd turns readable for a GUI driving it
  EXPECT_TRUE(PollFdReadable(loop));
  loop.Run();
  EXPECT_EQ(log, (std::vector<std::string>{"before", "task", "before", "task"}));
  loop.SetBeforeWait(nullptr);
  loop.RunOnce(0);
  EXPECT_EQ(log.size(), 4u);
}

// Handlers of one round share its number, the next round has another, a nested round has
// its own and the outer handler is back in its round after it; outside a dispatch: nothing.
TEST(EventLoopTest, EachRoundHasItsNumberWhileItDispatches) {
  EventLoop loop;
  EXPECT_EQ(loop.CurrentRound(), std::nullopt);
  Pipe a, b, c;
  std::vector<std::optional<uint64_t>> seen;
  loop.Watch(a.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    a.Take();
    seen.push_back(loop.CurrentRound());
    c.Put('n');
    loop.RunOnce(1000);  // dispatches c in a round of its own
    seen.push_back(loop.CurrentRound());
  });
  loop.Watch(b.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    b.Take();
    seen.push_back(loop.CurrentRound());
  });
  loop.Watch(c.ReadEnd(), EventLoop::kReadable, [&](uint32_t) {
    c.Take();
    seen.push_back(loop.CurrentRound());
  });
  a.Put('x');
  loop.RunOnce(1000);
  ASSERT_EQ(seen.size(), 3u);  // a, c (nested), a again
  ASSERT_TRUE(seen[0].has_value());
  EXPECT_NE(seen[1], seen[0]);
  EXPECT_EQ(seen[2], seen[0]);
  EXPECT_EQ(loop.CurrentRound(), std::nullopt);
  b.Put('y');
  c.Put('z');
  loop.RunOnce(1000);
  ASSERT_EQ(seen.size(), 5u);  // b and c in one round
  EXPECT_EQ(seen[3], seen[4]);
  EXPECT_NE(seen[3], seen[0]);
  EXPECT_NE(seen[3], seen[1]);
}

TEST(EventLoopTest, StopEndsRun) {
  EventLoop loop;
  int rounds = 0;
  std::function<void()> again = [&] {
    if (++rounds == 3) loop.Stop();
    loop.Post(again);
  };
  loop.Post(again);
  loop.Run();
  EXPECT_TRUE(loop.Stopped());
  EXPECT_EQ(rounds, 3);
}

TEST(EventLoopClockTest, TimeToTheNextTimerIsMeasuredOnTheLoopsClock) {
  struct Case {
    std::chrono::microseconds elapsed;
    int expected_ms;
  };
  const Case cases[] = {
      {0us, 10},   {4ms, 6},     // whole milliseconds left
      {4500us, 6}, {9999us, 1},  // a part of a millisecond counts as a whole one
      {10ms, 0},   {25ms, 0},    // due or overdue
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.elapsed.count() << " us elapsed");
    ManualMonotonicClock clock;
    EventLoop loop(clock);
    Timer timer(loop);
    timer.SetInterval(10);
    timer.SetEnabled(true);
    clock.Advance(c.elapsed);
    EXPECT_EQ(loop.MillisecondsToNextTimer(), c.expected_ms);
  }
}

TEST(EventLoopClockTest, DueTimersQueueBehindWaitingEventsInTheOrderTheyBecameDue) {
  ManualMonotonicClock clock;
  EventLoop loop(clock);
  std::vector<std::string> log;
  Timer slow(loop), fast(loop);
  slow.SetInterval(7);
  fast.SetInterval(3);
  slow.SetHandlers({.on_timer = [&] { log.push_back("slow"); }});
  fast.SetHandlers({.on_timer = [&] { log.push_back("fast"); }});
  slow.SetEnabled(true);  // enabled first, due last
  fast.SetEnabled(true);
  loop.Post([&] { log.push_back("task"); });
  clock.Advance(2ms);
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<std::string>{"task"})) << "nothing is due yet";
  clock.Advance(8ms);
  loop.Post([&] { log.push_back("late task"); });
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<std::string>{"task", "late task", "fast", "slow"}));
}

TEST(EventLoopClockTest, AnOverdueTimerEndsTheWaitAtOnce) {
  ManualMonotonicClock clock;
  EventLoop loop(clock);
  Timer timer(loop);
  int fired = 0;
  timer.SetHandlers({.on_timer = [&] { ++fired; }});
  timer.SetInterval(1000);
  timer.SetEnabled(true);
  clock.Advance(1000ms);
  // Only the loop's clock says the timer is due; a wait measured on any other clock would
  // block for the whole five seconds.
  auto start = std::chrono::steady_clock::now();
  loop.RunOnce(5000);
  EXPECT_EQ(fired, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace larvek
