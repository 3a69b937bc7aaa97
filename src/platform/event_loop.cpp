#include "platform/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace larvek {

struct EventLoop::IoWatch {
  int fd;
  uint32_t interest;
  IoHandler handler;
  bool active = true;
  bool suspended = false;  // taken out of epoll while a nested RunOnce runs under its handler
  uint32_t pending = 0;    // flags collected and not yet dispatched; non-zero while queued
};

struct EventLoop::TimerEntry {
  int interval_ms;
  MonotonicClock::TimePoint due;
  Task on_timer;
  uint64_t order = 0;  // when it was last enabled: timers due at once expire in this order
  bool active = true;
  bool queued = false;
  bool listed = true;  // in timers_; a removed entry leaves the list at the next collection
};

namespace {

uint32_t ToEpoll(uint32_t interest) {
  uint32_t events = 0;
  if (interest & EventLoop::kReadable) events |= EPOLLIN | EPOLLRDHUP;
  if (interest & EventLoop::kWritable) events |= EPOLLOUT;
  if (interest & EventLoop::kEdgeTriggered) events |= EPOLLET;
  return events;
}

uint32_t FromEpoll(uint32_t events) {
  uint32_t flags = 0;
  if (events & EPOLLIN) flags |= EventLoop::kReadable;
  if (events & EPOLLOUT) flags |= EventLoop::kWritable;
  if (events & (EPOLLHUP | EPOLLRDHUP)) flags |= EventLoop::kHangup;
  if (events & EPOLLERR) flags |= EventLoop::kError;
  return flags;
}

}  // namespace

EventLoop::EventLoop(const MonotonicClock& clock) : clock_(clock) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) throw Error::Os("epoll_create1", errno);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    close(epoll_fd_);
    throw Error::Os("eventfd", errno);
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = wake_fd_;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
}

EventLoop::~EventLoop() {
  close(wake_fd_);
  close(epoll_fd_);
}

void EventLoop::Watch(int fd, uint32_t interest, IoHandler handler) {
  auto watch = std::make_shared<IoWatch>(IoWatch{fd, interest, std::move(handler)});
  auto it = watches_.find(fd);
  if (it != watches_.end()) {
    it->second->active = false;  // events queued for the old handler are dropped
    it->second = watch;
    if (!ApplyInterest(*watch, EPOLL_CTL_MOD)) throw Error::Os("epoll_ctl", errno);
  } else {
    if (!ApplyInterest(*watch, EPOLL_CTL_ADD)) throw Error::Os("epoll_ctl", errno);
    watches_.emplace(fd, watch);
  }
}

void EventLoop::SetInterest(int fd, uint32_t interest) {
  auto it = watches_.find(fd);
  if (it == watches_.end() || it->second->interest == interest) return;
  it->second->interest = interest;
  if (!it->second->suspended && !ApplyInterest(*it->second, EPOLL_CTL_MOD)) {
    throw Error::Os("epoll_ctl", errno);
  }
}

void EventLoop::Unwatch(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  it->second->active = false;
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  watches_.erase(it);
}

bool EventLoop::ApplyInterest(const IoWatch& watch, int op) {
  epoll_event ev{};
  ev.events = watch.suspended ? 0 : ToEpoll(watch.interest);
  ev.data.fd = watch.fd;
  return epoll_ctl(epoll_fd_, op, watch.fd, &ev) == 0;
}

void EventLoop::Post(Task task) {
  queue_.push_back(Event{nullptr, nullptr, std::move(task)});
  // Inside RunOnce the queue is looked at again before the loop next waits; only a task
  // posted from outside (a GUI handler driving the loop) needs PollFd to turn readable.
  if (depth_ == 0) Wake();
}

void EventLoop::Wake() {
  if (wake_signalled_) return;
  uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) == sizeof one) wake_signalled_ = true;
}

std::shared_ptr<EventLoop::TimerEntry> EventLoop::AddTimer(int interval_ms, Task on_timer) {
  auto timer = std::make_shared<TimerEntry>(TimerEntry{
      interval_ms, clock_.Now() + std::chrono::milliseconds(interval_ms), std::move(on_timer)});
  timer->order = next_timer_order_++;
  timers_.push_back(timer);
  return timer;
}

// A removed entry stays in the list, inactive, until the next collection drops it: removing
// costs nothing, and an entry enabled again before then takes its old place.
void EventLoop::RemoveTimer(const std::shared_ptr<TimerEntry>& timer) {
  if (!timer->active) return;
  timer->active = false;  // an expiry already queued is dropped
  ++removed_timers_;
}

bool EventLoop::ReviveTimer(const std::shared_ptr<TimerEntry>& timer, int interval_ms) {
  if (timer->active || timer->queued) return false;
  timer->active = true;
  timer->interval_ms = interval_ms;
  timer->due = clock_.Now() + std::chrono::milliseconds(interval_ms);
  timer->order = next_timer_order_++;
  if (timer->listed) {
    --removed_timers_;
  } else {
    timer->listed = true;
    timers_.push_back(timer);
  }
  return true;
}

int EventLoop::MillisecondsToNextTimer() const {
  std::optional<MonotonicClock::TimePoint> due;
  for (const auto& t : timers_)
    if (t->active && (!due || t->due < *due)) due = t->due;
  if (!due) return -1;
  auto left = *due - clock_.Now();
  if (left <= MonotonicClock::TimePoint::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void EventLoop::RunOnce(int max_wait_ms) {
  // On every exit, also when an error propagates: one level less, and PollFd stays readable
  // while events wait in the queue. Run needs no signal: its next round sees the queue.
  struct Depth {
    EventLoop* loop;
    ~Depth() {
      --loop->depth_;
      if (!loop->queue_.empty() && !(loop->running_ && loop->depth_ == 0)) loop->Wake();
    }
  } depth{this};
  if (++depth_ > 1) SuspendWatchesInDispatch();

  int timeout = max_wait_ms;
  if (!queue_.empty()) {
    timeout = 0;
  } else {
    int next = MillisecondsToNextTimer();
    if (next >= 0 && (timeout < 0 || next < timeout)) timeout = next;
  }
  if (before_wait_) before_wait_();
  Collect(timeout);

  // Only what is queued now; events that handlers queue wait for the next round.
  struct Dispatching {
    EventLoop* loop;
    uint64_t outer_round;
    ~Dispatching() {
      --loop->dispatching_;
      loop->round_ = outer_round;
    }
  } dispatching{this, round_};
  ++dispatching_;
  round_ = ++rounds_collected_;
  for (size_t n = queue_.size(); n > 0 && !queue_.empty(); --n) {
    Event event = std::move(queue_.front());
    queue_.pop_front();
    Dispatch(event);
  }
}

void EventLoop::Run() {
  running_ = true;
  struct Running {
    EventLoop* loop;
    ~Running() { loop->running_ = false; }
  } running{this};
  while (!stopped_) RunOnce(-1);
}

void EventLoop::Collect(int timeout_ms) {
  epoll_event events[64];
  int n = epoll_wait(epoll_fd_, events, 64, timeout_ms);
  if (n < 0 && errno != EINTR) throw Error::Os("epoll_wait", errno);
  for (int i = 0; i < n; ++i) {
    int fd = events[i].data.fd;
    if (fd == wake_fd_) {
      uint64_t count;
      while (read(wake_fd_, &count, sizeof count) == sizeof count) {
      }
      wake_signalled_ = false;
      continue;
    }
    auto it = watches_.find(fd);
    if (it == watches_.end()) continue;
    IoWatch& watch = *it->second;
    if (watch.pending == 0) queue_.push_back(Event{it->second, nullptr, nullptr});
    watch.pending |= FromEpoll(events[i].events);
  }

  if (removed_timers_ > 0) {
    std::erase_if(timers_, [](const std::shared_ptr<TimerEntry>& t) {
      if (t->active) return false;
      t->listed = false;
      return true;
    });
    removed_timers_ = 0;
  }
  auto now = clock_.Now();
  std::vector<std::shared_ptr<TimerEntry>> expired;
  for (const auto& t : timers_) {
    if (!t->queued && t->due <= now) expired.push_back(t);
  }
  std::sort(expired.begin(), expired.end(), [](const auto& a, const auto& b) {
    return a->due != b->due ? a->due < b->due : a->order < b->order;
  });
  for (auto& t : expired) {
    t->queued = true;
    queue_.push_back(Event{nullptr, std::move(t), nullptr});
  }
}

void EventLoop::Dispatch(Event& event) {
  try {
    if (event.watch) {
      std::shared_ptr<IoWatch> watch = event.watch;  // keeps the handler alive if it unwatches
      uint32_t flags = watch->pending;
      watch->pending = 0;
      if (!watch->active || flags == 0) return;
      in_dispatch_.push_back(watch);
      struct Done {
        EventLoop* loop;
        ~Done() {
          std::shared_ptr<IoWatch> w = std::move(loop->in_dispatch_.back());
          loop->in_dispatch_.pop_back();
          if (w->suspended && w->active) {
            w->suspended = false;
            loop->ApplyInterest(*w, EPOLL_CTL_MOD);
          }
        }
      } done{this};
      watch->handler(flags);
    } else if (event.timer) {
      TimerEntry& timer = *event.timer;
      timer.queued = false;
      if (!timer.active) return;
      timer.due = clock_.Now() + std::chrono::milliseconds(timer.interval_ms);
      Task on_timer = timer.on_timer;  // the timer may be destroyed by its own handler
      on_timer();
    } else {
      event.task();
    }
  } catch (const Error& error) {
    ReportError(error);
  } catch (const std::exception& error) {
    ReportError(Error::Generic(error.what()));
  }
}

void EventLoop::SuspendWatchesInDispatch() {
  for (auto& watch : in_dispatch_) {
    if (watch->active && !watch->suspended) {
      watch->suspended = true;
      ApplyInterest(*watch, EPOLL_CTL_MOD);
    }
  }
}

void EventLoop::ReportError(const Error& error) {
  if (!on_error_) throw;  // rethrows the exception being handled by Dispatch
  try {
    on_error_(error);
  } catch (...) {
    // The error handler's own failure has nowhere left to go.
  }
}

}  // namespace larvek
