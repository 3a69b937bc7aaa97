#include "platform/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "manual_monotonic_clock.h"
#include "platform/signals.h"

namespace larvek {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using testing::ManualMonotonicClock;

// Runs the loop until `done` or roughly `limit_ms` of real time passed; for events that
// arrive through a descriptor.
template <typename Done>
void RunUntil(EventLoop& loop, Done done, int limit_ms = 2000) {
  auto end = std::chrono::steady_clock::now() + milliseconds(limit_ms);
  while (!done() && std::chrono::steady_clock::now() < end) loop.RunOnce(20);
}

// Timers on a loop whose clock moves only when the test says so.
class TimerTest : public ::testing::Test {
 protected:
  // Lets `step` pass and runs whatever is due then, without waiting.
  void Pass(milliseconds step) {
    clock.Advance(step);
    loop.RunOnce(0);
  }

  ManualMonotonicClock clock;
  EventLoop loop{clock};
};

TEST_F(TimerTest, FiresRepeatedlyWhileEnabled) {
  Timer timer(loop);
  EXPECT_EQ(timer.Interval(), 1000);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  int fired = 0;
  timer.SetHandlers({.on_timer = [&] { ++fired; }});
  timer.SetInterval(5);
  timer.SetEnabled(true);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), 5);
  Pass(4ms);
  EXPECT_EQ(fired, 0) << "not due before a whole interval passed";
  EXPECT_EQ(loop.MillisecondsToNextTimer(), 1);
  Pass(1ms);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), 5) << "the next period counts from the firing";
  Pass(5ms);
  Pass(5ms);
  EXPECT_GE(fired, 3);
  EXPECT_EQ(fired, 3);
  // A loop that comes late fires the timer once, not once for every period it missed.
  Pass(50ms);
  EXPECT_EQ(fired, 4);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), 5);
}

TEST_F(TimerTest, IntervalZeroNeverFires) {
  Timer timer(loop);
  int fired = 0;
  timer.SetHandlers({.on_timer = [&] { ++fired; }});
  timer.SetInterval(0);
  timer.SetEnabled(true);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  Pass(30ms);
  EXPECT_EQ(fired, 0);
  EXPECT_THROW(timer.SetInterval(-1), Error);
}

TEST_F(TimerTest, EnablingAnEnabledTimerKeepsItsPeriodButReenablingRestartsIt) {
  Timer timer(loop);
  timer.SetEnabled(true);  // 1000 ms
  clock.Advance(60ms);
  timer.SetEnabled(true);
  EXPECT_LE(loop.MillisecondsToNextTimer(), 950);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), 940);
  timer.SetInterval(1000);  // same interval: no restart either
  EXPECT_LE(loop.MillisecondsToNextTimer(), 950);
  timer.SetEnabled(false);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  timer.SetEnabled(true);
  EXPECT_GT(loop.MillisecondsToNextTimer(), 950);
  clock.Advance(60ms);
  timer.SetInterval(2000);  // a new interval restarts the period
  EXPECT_GT(loop.MillisecondsToNextTimer(), 1950);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), 2000);
}

TEST_F(TimerTest, DisablingCancelsAnExpiryThatIsAlreadyDue) {
  Timer first(loop), second(loop);
  std::vector<std::string> log;
  first.SetInterval(1);
  second.SetInterval(1);
  // Both are due in the same round; the first disables the second before it runs.
  first.SetHandlers({.on_timer = [&] {
    log.push_back("first");
    first.SetEnabled(false);
    second.SetEnabled(false);
  }});
  second.SetHandlers({.on_timer = [&] { log.push_back("second"); }});
  first.SetEnabled(true);
  second.SetEnabled(true);
  Pass(10ms);
  Pass(20ms);
  EXPECT_EQ(log, (std::vector<std::string>{"first"}));

  Timer third(loop);
  int fired = 0;
  third.SetHandlers({.on_timer = [&] { ++fired; }});
  third.SetInterval(1);
  third.SetEnabled(true);
  clock.Advance(10ms);
  third.SetEnabled(false);
  loop.RunOnce(0);
  EXPECT_EQ(fired, 0);

  // Disabled and enabled again while its expiry waits in the queue: that expiry was of the
  // old period, the new one starts now; and again, with nothing queued, the same.
  Timer fourth(loop);
  int fourth_fired = 0;
  fourth.SetHandlers({.on_timer = [&] { ++fourth_fired; }});
  fourth.SetInterval(5);
  first.SetHandlers({.on_timer = [&] {
    first.SetEnabled(false);
    fourth.SetEnabled(false);
    fourth.SetEnabled(true);
  }});
  first.SetInterval(5);
  first.SetEnabled(true);
  fourth.SetEnabled(true);
  // The count of fourth's expiries after the clock moved on by `step`.
  const auto fired_after = [&](std::chrono::milliseconds step) {
    clock.Advance(step);
    loop.RunOnce(0);
    return fourth_fired;
  };
  EXPECT_EQ(fired_after(5ms), 0);  // both due, first queued before fourth
  EXPECT_EQ(fired_after(4ms), 0);
  EXPECT_EQ(fired_after(1ms), 1);
  fourth.SetEnabled(false);
  fourth.SetEnabled(true);
  EXPECT_EQ(fired_after(4ms), 1);
  EXPECT_EQ(fired_after(1ms), 2);
}

// Timers due at the same moment expire in the order they were last enabled, also one enabled
// again right after it was disabled; a disabled or destroyed timer neither fires nor counts
// for the wait.
TEST_F(TimerTest, TimersDueAtOnceExpireInTheOrderTheyWereLastEnabled) {
  std::vector<std::string> log;
  Timer a(loop), b(loop), c(loop);
  for (auto [timer, name] : {std::pair{&a, "a"}, {&b, "b"}, {&c, "c"}}) {
    timer->SetInterval(5);
    timer->SetHandlers({.on_timer = [&log, timer, name] {
      log.push_back(name);
      timer->SetEnabled(false);
    }});
    timer->SetEnabled(true);
  }
  b.SetEnabled(false);
  b.SetEnabled(true);
  {
    Timer gone(loop);
    gone.SetInterval(1);
    gone.SetHandlers({.on_timer = [&log] { log.push_back("gone"); }});
    gone.SetEnabled(true);
  }
  Timer off(loop);
  off.SetInterval(1);
  off.SetHandlers({.on_timer = [&log] { log.push_back("off"); }});
  off.SetEnabled(true);
  off.SetEnabled(false);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), 5);
  Pass(5ms);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "c", "b"}));
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  off.SetEnabled(true);  // enabled again after its entry left the list
  Pass(1ms);
  EXPECT_EQ(log.back(), "off");
}

TEST_F(TimerTest, HandlerMayDestroyItsTimerAndErrorsReachTheLoop) {
  std::vector<std::string> errors;
  loop.SetErrorHandler([&](const Error& e) { errors.push_back(e.Message()); });
  auto timer = std::make_unique<Timer>(loop);
  timer->SetInterval(1);
  timer->SetHandlers({.on_timer = [&] {
    timer.reset();
    throw Error::Range();
  }});
  timer->SetEnabled(true);
  Pass(1ms);
  EXPECT_EQ(timer, nullptr);
  EXPECT_EQ(errors, (std::vector<std::string>{"Range check error"}));
}

TEST(SignalWatchTest, TermAndIntBecomeCloseRequests) {
  EventLoop loop;
  int requests = 0;
  {
    SignalWatch watch(loop, [&] {
      ++requests;
      loop.Stop();
    });
    raise(SIGTERM);
    RunUntil(loop, [&] { return requests == 1; });
    EXPECT_EQ(requests, 1);
    raise(SIGINT);
    RunUntil(loop, [&] { return requests == 2; });
    EXPECT_EQ(requests, 2);
    raise(SIGHUP);
    RunUntil(loop, [&] { return requests == 3; });
    EXPECT_EQ(requests, 3);
    EXPECT_TRUE(loop.Stopped());
    EXPECT_EQ(raise(SIGPIPE), 0);  // ignored: the process goes on
    raise(SIGTERM);                // pending when the watch ends: discarded, not fatal
    raise(SIGHUP);
  }
  EXPECT_EQ(requests, 3);
}

TEST(SignalWatchTest, HangUpGoesToItsOwnHandlerWhenGiven) {
  EventLoop loop;
  int requests = 0;
  int hang_ups = 0;
  SignalWatch watch(
      loop, [&] { ++requests; }, [&] { ++hang_ups; });
  raise(SIGHUP);
  raise(SIGTERM);
  RunUntil(loop, [&] { return requests == 1; });
  RunUntil(loop, [&] { return hang_ups == 1; });
  EXPECT_EQ(hang_ups, 1);
  EXPECT_EQ(requests, 1);
}

}  // namespace
}  // namespace larvek
