#include "platform/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/signals.h"

namespace larvek {
namespace {

using std::chrono::milliseconds;

void Sleep(int ms) {
  std::this_thread::sleep_for(milliseconds(ms));
}

// Runs the loop until `done` or roughly `limit_ms` passed.
template <typename Done>
void RunUntil(EventLoop& loop, Done done, int limit_ms = 2000) {
  auto end = std::chrono::steady_clock::now() + milliseconds(limit_ms);
  while (!done() && std::chrono::steady_clock::now() < end) loop.RunOnce(20);
}

TEST(TimerTest, FiresRepeatedlyWhileEnabled) {
  EventLoop loop;
  Timer timer(loop);
  EXPECT_EQ(timer.Interval(), 1000);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  int fired = 0;
  timer.OnTimer = [&] { ++fired; };
  timer.SetInterval(5);
  timer.SetEnabled(true);
  RunUntil(loop, [&] { return fired >= 3; });
  EXPECT_GE(fired, 3);
}

TEST(TimerTest, IntervalZeroNeverFires) {
  EventLoop loop;
  Timer timer(loop);
  int fired = 0;
  timer.OnTimer = [&] { ++fired; };
  timer.SetInterval(0);
  timer.SetEnabled(true);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  loop.RunOnce(30);
  EXPECT_EQ(fired, 0);
  EXPECT_THROW(timer.SetInterval(-1), Error);
}

TEST(TimerTest, EnablingAnEnabledTimerKeepsItsPeriodButReenablingRestartsIt) {
  EventLoop loop;
  Timer timer(loop);
  timer.SetEnabled(true);  // 1000 ms
  Sleep(60);
  timer.SetEnabled(true);
  EXPECT_LE(loop.MillisecondsToNextTimer(), 950);
  timer.SetInterval(1000);  // same interval: no restart either
  EXPECT_LE(loop.MillisecondsToNextTimer(), 950);
  timer.SetEnabled(false);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  timer.SetEnabled(true);
  EXPECT_GT(loop.MillisecondsToNextTimer(), 950);
  Sleep(60);
  timer.SetInterval(2000);  // a new interval restarts the period
  EXPECT_GT(loop.MillisecondsToNextTimer(), 1950);
}

TEST(TimerTest, DisablingCancelsAnExpiryThatIsAlreadyDue) {
  EventLoop loop;
  Timer first(loop), second(loop);
  std::vector<std::string> log;
  first.SetInterval(1);
  second.SetInterval(1);
  // Both are due in the same round; the first disables the second before it runs.
  first.OnTimer = [&] {
    log.push_back("first");
    first.SetEnabled(false);
    second.SetEnabled(false);
  };
  second.OnTimer = [&] { log.push_back("second"); };
  first.SetEnabled(true);
  second.SetEnabled(true);
  Sleep(10);
  loop.RunOnce(0);
  loop.RunOnce(20);
  EXPECT_EQ(log, (std::vector<std::string>{"first"}));

  Timer third(loop);
  int fired = 0;
  third.OnTimer = [&] { ++fired; };
  third.SetInterval(1);
  third.SetEnabled(true);
  Sleep(10);
  third.SetEnabled(false);
  loop.RunOnce(0);
  EXPECT_EQ(fired, 0);
}

TEST(TimerTest, HandlerMayDestroyItsTimerAndErrorsReachTheLoop) {
  EventLoop loop;
  std::vector<std::string> errors;
  loop.SetErrorHandler([&](const Error& e) { errors.push_back(e.Message()); });
  auto timer = std::make_unique<Timer>(loop);
  timer->SetInterval(1);
  timer->OnTimer = [&] {
    timer.reset();
    throw Error::Range();
  };
  timer->SetEnabled(true);
  RunUntil(loop, [&] { return !errors.empty(); });
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
    EXPECT_TRUE(loop.Stopped());
    EXPECT_EQ(raise(SIGPIPE), 0);  // ignored: the process goes on
    raise(SIGTERM);                // pending when the watch ends: discarded, not fatal
  }
  EXPECT_EQ(requests, 2);
}

}  // namespace
}  // namespace larvek
