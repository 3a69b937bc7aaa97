// The program's single event loop: descriptor readiness, window-style timers and posted tasks,
// delivered one at a time on one thread, each running to completion.
//
// Events are queued in the order they become known and dispatched strictly in that order:
// one RunOnce collects the ready descriptors and the expired timers behind whatever was
// already queued, then dispatches the events present at that moment. A task posted while
// an event runs therefore comes after every event already queued, and posted tasks keep
// the order in which they were posted.
//
// A GUI toolkit can drive the loop instead of Run: watch PollFd() for readability, arm a
// one-shot timer for MillisecondsToNextTimer(), and call RunOnce(0) when either fires.
// RunOnce may be called again from inside a handler (a modal dialog running its own
// loop); the descriptor whose handler is on the stack is not dispatched again meanwhile.
//
// Timers run on the loop's MonotonicClock. RunOnce waits in epoll, in real time, at most
// until the earliest timer is due by that clock, and then dispatches the timers that are due
// by it. A test whose clock moves only when told to advances it and calls RunOnce(0): the
// timers due at the new time run without any wait.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "platform/monotonic_clock.h"

namespace larvek {

class Timer;

class EventLoop {
 public:
  enum : uint32_t {
    kReadable = 1,
    kWritable = 2,
    kHangup = 4,  // peer closed its side or the connection is gone (reported, never requested)
    kError = 8,   // the descriptor has a pending error (reported, never requested)
    // Interest flag: report readiness only when it changes (new bytes, new space), not for
    // as long as it lasts. Bytes left unread are then reported with the next arrival.
    kEdgeTriggered = 16,
  };
  using IoHandler = std::function<void(uint32_t events)>;
  using Task = std::function<void()>;
  using ErrorHandler = std::function<void(const Error&)>;

  // The clock must outlive the loop; the default one lives as long as the process.
  explicit EventLoop(const MonotonicClock& clock = SteadyMonotonicClock());
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Starts (or replaces) the watch of fd. interest: kReadable | kWritable [| kEdgeTriggered].
  // The handler gets the ready flags, kHangup and kError included. The caller keeps owning fd
  // and must Unwatch it before closing it.
  void Watch(int fd, uint32_t interest, IoHandler handler);
  void SetInterest(int fd, uint32_t interest);
  // No further events reach the handler, also those already queued; safe inside the handler.
  void Unwatch(int fd);

  // Queues a task behind every event already queued.
  void Post(Task task);

  // Waits up to max_wait_ms (-1: until something happens, 0: not at all), then dispatches
  // the events that are queued at that point. Timers that are due by the clock count as
  // something happening, so an overdue timer ends the wait at once.
  void RunOnce(int max_wait_ms);
  // RunOnce until Stop(). Returns at once when Stop() was called before.
  void Run();
  void Stop() { stopped_ = true; }
  bool Stopped() const { return stopped_; }

  // Runs in each RunOnce just before it waits in epoll: for output that gathers during a round
  // and is written once for the round (the console's echo of the log). Empty: nothing.
  void SetBeforeWait(Task task) { before_wait_ = std::move(task); }

  // Errors escaping a handler (timer, posted task, or an io handler that did not catch its
  // own) go here; the loop then goes on. Other exceptions arrive as class "Exception".
  // Without a handler the error propagates out of RunOnce; undispatched events stay queued.
  void SetErrorHandler(ErrorHandler handler) { on_error_ = std::move(handler); }

  // While RunOnce dispatches: the number of its round, one more with each collection of ready
  // descriptors (nested rounds count too). Everything a round dispatches had happened by the
  // moment of its collection. Outside a dispatch: nothing.
  std::optional<uint64_t> CurrentRound() const {
    if (dispatching_ == 0) return std::nullopt;
    return round_;
  }

  // Readable while RunOnce(0) has work other than timers.
  int PollFd() const { return epoll_fd_; }
  // Milliseconds until the earliest enabled timer is due by the loop's clock (rounded up,
  // 0 when overdue); -1 when no timer is enabled.
  int MillisecondsToNextTimer() const;
  // The loop's clock now: the time its timers are measured in.
  MonotonicClock::TimePoint Now() const { return clock_.Now(); }

 private:
  friend class Timer;
  struct IoWatch;
  struct TimerEntry;
  struct Event {
    std::shared_ptr<IoWatch> watch;     // readiness of a descriptor,
    std::shared_ptr<TimerEntry> timer;  // or expiry of a timer,
    Task task;                          // or a posted task
  };

  // Timers, for the Timer class: an entry is due every interval_ms from now on.
  std::shared_ptr<TimerEntry> AddTimer(int interval_ms, Task on_timer);
  void RemoveTimer(const std::shared_ptr<TimerEntry>& timer);
  // Puts a removed entry back, due interval_ms from now, so that a timer enabled again and
  // again keeps its entry. False, and nothing done, while an expiry of its old period is
  // still queued.
  bool ReviveTimer(const std::shared_ptr<TimerEntry>& timer, int interval_ms);

  void Collect(int timeout_ms);
  void Dispatch(Event& event);
  bool ApplyInterest(const IoWatch& watch, int op);  // false when epoll_ctl fails
  void SuspendWatchesInDispatch();
  void Wake();
  void ReportError(const Error& error);

  const MonotonicClock& clock_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: readable while posted tasks wait
  bool wake_signalled_ = false;
  bool stopped_ = false;
  bool running_ = false;           // inside Run: the loop itself comes back for queued events
  int depth_ = 0;                  // nesting of RunOnce
  int dispatching_ = 0;            // nesting of RunOnce's dispatch stage
  uint64_t round_ = 0;             // the round being dispatched
  uint64_t rounds_collected_ = 0;  // gives each round its number
  std::unordered_map<int, std::shared_ptr<IoWatch>> watches_;
  std::vector<std::shared_ptr<IoWatch>> in_dispatch_;  // io handlers on the stack
  std::vector<std::shared_ptr<TimerEntry>> timers_;    // also removed ones, until collected
  size_t removed_timers_ = 0;                          // those in timers_ that are removed
  uint64_t next_timer_order_ = 0;
  std::deque<Event> queue_;
  ErrorHandler on_error_;
  Task before_wait_;
};

}  // namespace larvek
