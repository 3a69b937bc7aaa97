#include "commands/loop_link.h"

#include <algorithm>
#include <chrono>
#include <coroutine>
#include <utility>

#include "base/error.h"
#include "db/db_field.h"

namespace larvek {

struct LoopLink::Wait {
  LoopLink& link;
  int waits;
  bool await_ready() const noexcept { return waits == 0; }
  void await_suspend(std::coroutine_handle<> waiting) {
    link.on_finished_ = [waiting] { waiting.resume(); };
    link.Arm(waits);
  }
  void await_resume() const {
    link.LetGoOfClosedSocket();  // also for an operation that ended at its start
    link.connection_.FinishOperation();
  }
};

LoopLink::LoopLink(EventLoop& loop, LinkSettings settings)
    : loop_(loop), rows_(connection_), timer_(loop) {
  connection_.SetSettings(std::move(settings));
  timer_.SetHandlers({.on_timer = [this] { OnTimeout(); }});
}

LoopLink::~LoopLink() {
  Cut();
}

LoopLink::Wait LoopLink::Finish(int waits) {
  return Wait{*this, waits};
}

void LoopLink::Begin() {
  const unsigned seconds = connection_.Settings().timeout_seconds;
  deadline_.reset();
  if (seconds > 0) deadline_ = loop_.Now() + std::chrono::seconds(seconds);
}

Task<void> LoopLink::Connect() {
  Begin();
  co_await Finish(connection_.StartConnect());
}

Task<void> LoopLink::Execute(std::string statement) {
  rows_.Close();
  Begin();
  co_await Finish(connection_.StartStatement(std::move(statement)));
  rows_.ExecuteStored();
}

Task<ResultRows*> LoopLink::Open(std::string statement) {
  rows_.Close();
  Begin();
  co_await Finish(connection_.StartStatement(std::move(statement)));
  rows_.OpenStored();
  co_return &rows_;
}

Task<void> LoopLink::Reset() {
  rows_.Close();
  Begin();
  co_await Finish(connection_.StartReset());
}

Task<void> LoopLink::Close() {
  rows_.Close();
  Begin();
  co_await Finish(connection_.StartClose());
}

void LoopLink::CloseThen(std::function<void()> closed) {
  rows_.Close();
  Begin();
  const int waits = connection_.StartClose();
  if (waits == 0) {
    LetGoOfClosedSocket();
    closed();
    return;
  }
  on_finished_ = std::move(closed);
  Arm(waits);
}

void LoopLink::Cut() {
  Disarm();
  on_finished_ = nullptr;
  rows_.Close();
  connection_.CloseAbruptly();
}

void LoopLink::Arm(int waits) {
  waits_ = waits;
  const int fd = connection_.Socket();
  uint32_t interest = 0;
  if (waits & (kLinkWaitRead | kLinkWaitExcept)) interest |= EventLoop::kReadable;
  if (waits & kLinkWaitWrite) interest |= EventLoop::kWritable;
  // A new socket may carry the number of the one it replaces, which the loop no longer holds.
  if (fd != watched_fd_ || connection_.SocketSerial() != watched_serial_) {
    if (watched_fd_ >= 0) loop_.Unwatch(watched_fd_);
    watched_fd_ = -1;
    if (fd >= 0 && interest != 0) {
      loop_.Watch(fd, interest, [this](uint32_t events) { OnSocket(events); });
      watched_fd_ = fd;
      watched_serial_ = connection_.SocketSerial();
    }
  } else if (fd >= 0) {
    loop_.SetInterest(fd, interest);
  }
  // The earlier of the library's time-out for this wait and the end of the operation's time.
  std::optional<long long> wait_ms;
  if (waits & kLinkWaitTimeout) wait_ms = connection_.WaitTimeoutMs();
  if (deadline_) {
    const long long left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - loop_.Now()).count();
    wait_ms = std::min(wait_ms.value_or(left), left);
  }
  timer_.SetEnabled(false);
  if (wait_ms) {
    timer_.SetInterval(static_cast<int>(std::clamp<long long>(*wait_ms, 1, 1LL << 30)));
    timer_.SetEnabled(true);
  }
}

void LoopLink::Disarm() {
  timer_.SetEnabled(false);
  if (watched_fd_ >= 0) loop_.Unwatch(watched_fd_);
  watched_fd_ = -1;
  waits_ = 0;
}

void LoopLink::LetGoOfClosedSocket() {
  if (watched_fd_ >= 0 && connection_.Socket() != watched_fd_) {
    loop_.Unwatch(watched_fd_);
    watched_fd_ = -1;
  }
}

void LoopLink::OnSocket(uint32_t events) {
  int happened = 0;
  if (events & EventLoop::kReadable) happened |= waits_ & (kLinkWaitRead | kLinkWaitExcept);
  if (events & EventLoop::kWritable) happened |= kLinkWaitWrite;
  // An error or hang-up: the library finds it with its next read or write.
  if (events & (EventLoop::kHangup | EventLoop::kError))
    happened |= waits_ & (kLinkWaitRead | kLinkWaitWrite);
  if (waits_ == 0) {
    // Between operations nothing is expected: the database closed the link, or sent what no
    // one asked for. The watch ends here, so a level-triggered hang-up cannot spin; the next
    // operation meets whatever happened.
    loop_.Unwatch(watched_fd_);
    watched_fd_ = -1;
    return;
  }
  if (happened == 0) return;
  Go(happened);
}

void LoopLink::OnTimeout() {
  Go(kLinkWaitTimeout);
}

void LoopLink::Go(int happened) {
  const int waits = connection_.Continue(happened);
  if (waits != 0) {
    Arm(waits);
    return;
  }
  // Finished. The socket stays watched for the link's next operation, which then costs no
  // watch and unwatch. One that the operation closed (a failure, or Close) is let go now,
  // before anything else can open a descriptor with its number. The waiter may destroy this
  // link.
  timer_.SetEnabled(false);
  waits_ = 0;
  LetGoOfClosedSocket();
  std::function<void()> finished = std::move(on_finished_);
  on_finished_ = nullptr;
  if (finished) finished();
}

Task<std::string> ReadServerIdentity(LoopLink& link) {
  constexpr int kUnknownSystemVariable = 1193;
  const RegionalSettings formats;  // an integer and a text: no format of theirs applies
  std::optional<Error> failure;
  ResultRows* rows = nullptr;
  try {
    rows = co_await link.Open(kServerIdentityQuery);
  } catch (const Error& e) {
    failure = e;
  }
  if (failure) {
    if (failure->Code() != kUnknownSystemVariable) throw *failure;
    rows = co_await link.Open(kServerIdQuery);
    co_return rows->NoRows() ? std::string() : rows->ColumnByName("server_id").AsString(formats);
  }
  if (rows->NoRows()) co_return std::string();
  std::string identity = rows->ColumnByName("server_id").AsString(formats);
  DbField& node = rows->ColumnByName("node_name");
  if (!node.IsNull() && !node.AsString(formats).empty()) identity += "/" + node.AsString(formats);
  co_return identity;
}

}  // namespace larvek
