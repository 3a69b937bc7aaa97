#include "commands/waiting_line.h"

#include <utility>

namespace larvek {

// Plain pointers: the awaiter is a temporary of the co_await, which this compiler does not
// always destroy exactly once.
struct WaitingLine::Suspend {
  State* state;
  const std::shared_ptr<Ticket>* ticket;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> waiting) {
    (*ticket)->waiting = waiting;
    state->line.push_back(*ticket);
  }
  void await_resume() const noexcept {}
};

WaitingLine::WaitingLine(EventLoop& loop) : loop_(loop), state_(std::make_shared<State>()) {}

Task<void> WaitingLine::Wait() {
  // The ticket lives in this coroutine's frame: when the frame is destroyed while it waits, the
  // line's weak reference expires and the wake-up passes it by.
  auto ticket = std::make_shared<Ticket>();
  Suspend suspend{state_.get(), &ticket};
  co_await suspend;
}

void WaitingLine::Wake(EventLoop& loop, const std::shared_ptr<State>& state) {
  while (!state->line.empty()) {
    std::weak_ptr<Ticket> picked = std::move(state->line.front());
    state->line.pop_front();
    if (picked.expired()) continue;
    ++state->woken;
    loop.Post([&loop, state, picked] {
      --state->woken;
      if (std::shared_ptr<Ticket> ticket = picked.lock()) {
        ticket->waiting.resume();
      } else {
        // Destroyed between the pick and now: the turn goes to the next one.
        Wake(loop, state);
      }
    });
    return;
  }
}

void WaitingLine::WakeOne() {
  Wake(loop_, state_);
}

void WaitingLine::WakeAll() {
  for (size_t n = state_->line.size(); n > 0; --n) Wake(loop_, state_);
}

bool WaitingLine::AnyWaiting() {
  std::deque<std::weak_ptr<Ticket>>& line = state_->line;
  while (!line.empty() && line.front().expired()) line.pop_front();
  return !line.empty();
}

size_t WaitingLine::Waiting() const {
  size_t alive = 0;
  for (const auto& ticket : state_->line)
    if (!ticket.expired()) ++alive;
  return alive;
}

size_t WaitingLine::Woken() const {
  return state_->woken;
}

}  // namespace larvek
