#include "commands/link_pool.h"

#include <algorithm>
#include <utility>

#include "base/error.h"
#include "db/db_error.h"

namespace larvek {

LinkPool::LinkPool(EventLoop& loop, size_t limit, LinkSettings settings)
    : loop_(loop),
      limit_(limit),
      settings_(std::move(settings)),
      line_(loop),
      idle_timer_(loop) {
  idle_timer_.SetInterval(1000);
  idle_timer_.SetHandlers({.on_timer = [this] { CloseIdleLinks(); }});
}

LinkPool::~LinkPool() {
  idle_timer_.SetEnabled(false);
  idle_.clear();     // each link closes at once
  closing_.clear();
}

Task<std::unique_ptr<LinkPool::Member>> LinkPool::Take() {
  // A newcomer goes behind those already waiting, and behind those woken whose turn has not
  // run yet: arrival order holds.
  if (line_.AnyWaiting() || Available() <= line_.Woken()) {
    do {
      co_await line_.Wait();
    } while (Available() <= line_.Woken());
  }
  std::unique_ptr<Member> member;
  if (!idle_.empty()) {
    member = std::move(idle_.back());
    idle_.pop_back();
    UpdateIdleTimer();
  } else {
    member = std::make_unique<Member>(loop_, settings_);
    member->login = login_;
    member->link.SetOpenedHandler(on_opened_);
    ++open_;
  }
  // More room may be left for the next in line (several links came free at once).
  if (Available() > line_.Woken()) line_.WakeOne();
  co_return member;
}

void LinkPool::GiveBack(std::unique_ptr<Member> member, bool keep) {
  if (!member) return;
  if (keep && member->link.Connected() && member->login == login_ && open_ <= limit_) {
    member->kept = true;
    member->idle_since = loop_.Now();
    idle_.push_back(std::move(member));
    UpdateIdleTimer();
    line_.WakeOne();
    return;
  }
  CloseMember(std::move(member));
}

void LinkPool::SetLimit(size_t limit) {
  limit_ = limit;
  CloseOldestIdle(open_ > limit_ ? open_ - limit_ : 0);
  if (Available() > line_.Woken()) line_.WakeOne();  // each woken one wakes the next
}

void LinkPool::SetSettings(LinkSettings settings) {
  settings_ = std::move(settings);
  ++login_;
  CloseOldestIdle(idle_.size());
}

void LinkPool::CloseMember(std::unique_ptr<Member> member) {
  if (!member->link.Connected()) {
    --open_;
    line_.WakeOne();
    return;
  }
  // The link keeps its place until the database has seen it go.
  closing_.push_back(std::move(member));
  auto at = std::prev(closing_.end());
  (*at)->link.CloseThen([this, at] {
    closing_.erase(at);
    --open_;
    line_.WakeOne();
  });
}

void LinkPool::CloseIdleLinks() {
  const MonotonicClock::TimePoint now = loop_.Now();
  // Kept longest first: the ones over their time are at the front.
  size_t expired = 0;
  while (expired < idle_.size() && now - idle_[expired]->idle_since >= kIdleTime) ++expired;
  CloseOldestIdle(expired);
}

void LinkPool::CloseOldestIdle(size_t count) {
  count = std::min(count, idle_.size());
  std::vector<std::unique_ptr<Member>> old;
  for (size_t i = 0; i < count; ++i) old.push_back(std::move(idle_[i]));
  idle_.erase(idle_.begin(), idle_.begin() + static_cast<std::ptrdiff_t>(count));
  for (auto& member : old) CloseMember(std::move(member));
  UpdateIdleTimer();
}

void LinkPool::UpdateIdleTimer() {
  idle_timer_.SetEnabled(!idle_.empty());
}

PooledLink::PooledLink(LinkPool& pool, std::function<void(const KillTarget&)> on_timed_out)
    : pool_(pool), on_timed_out_(std::move(on_timed_out)) {}

PooledLink::~PooledLink() {
  if (member_) {
    member_->link.Cut();
    pool_.GiveBack(std::move(member_), /*keep=*/false);
  }
}

Task<void> PooledLink::Connect() {
  if (member_) co_return;
  member_ = co_await pool_.Take();
  reused_ = member_->kept;
  if (!reused_) {
    co_await OpenFresh();
    co_return;
  }
  std::optional<Error> failure;
  try {
    co_await member_->link.Reset();
  } catch (const Error& e) {
    failure = e;
  }
  if (!failure) co_return;
  // The kept link could not be reset: a fresh one takes its place, once.
  replaced_ = true;
  member_->link.Cut();
  co_await OpenFresh();
}

Task<void> PooledLink::OpenFresh() {
  member_->kept = false;
  std::optional<Error> failure;
  try {
    co_await member_->link.Connect();
    member_->thread_id = member_->link.ThreadId();
    member_->server_identity = co_await ReadServerIdentity(member_->link);
  } catch (const Error& e) {
    failure = e;
  }
  if (failure) {
    NoteFailure();
    throw *failure;
  }
}

std::optional<EscapeMode> PooledLink::ConfirmedMode() const {
  if (!member_) return std::nullopt;
  return member_->link.ConfirmedMode();
}

Task<EscapeMode> PooledLink::Mode() {
  if (const std::optional<EscapeMode> mode = ConfirmedMode()) co_return *mode;
  co_await Run(DbConnection::kModeProbe, /*open=*/false);
  if (const std::optional<EscapeMode> mode = ConfirmedMode()) co_return *mode;
  ThrowDatabaseError(kConnectFailed);  // not reached: an answered statement confirms the mode
}

Task<void> PooledLink::Execute(std::string statement, StatementRole /*role*/) {
  co_await Run(std::move(statement), /*open=*/false);
}

Task<ResultRows*> PooledLink::Open(std::string statement, StatementRole /*role*/) {
  return Run(std::move(statement), /*open=*/true);  // Run's own task: no frame of its own
}

Task<ResultRows*> PooledLink::Run(std::string statement, bool open) {
  if (!member_) co_await Connect();
  // A kept link whose session the database dropped while it was idle (restarted, killed it)
  // fails its first statement so; the statement is then sent again on a fresh link.
  // Kept for a second try on a fresh link; a statement is cheap to copy next to its round trip.
  const bool may_retry = reused_ && !replaced_ && !ran_statement_;
  std::string again;
  if (may_retry) again = statement;
  ran_statement_ = true;
  for (int attempt = 0;; ++attempt) {
    std::optional<Error> failure;
    ResultRows* rows = nullptr;
    std::string text = attempt == 0 ? std::move(statement) : std::move(again);
    try {
      if (open)
        rows = co_await member_->link.Open(std::move(text));
      else
        co_await member_->link.Execute(std::move(text));
    } catch (const Error& e) {
      failure = e;
    }
    if (!failure) co_return rows;
    if (attempt == 0 && may_retry && IsLinkLostError(failure->Code()) && !member_->link.TimedOut()) {
      replaced_ = true;
      member_->link.Cut();
      co_await OpenFresh();
      continue;
    }
    NoteFailure();
    throw *failure;
  }
}

void PooledLink::NoteFailure() {
  failed_ = true;
  if (member_ && member_->link.TimedOut() && on_timed_out_)
    on_timed_out_(member_->Target());
}

std::optional<KillTarget> PooledLink::Target() const {
  if (!member_ || !member_->link.Connected()) return std::nullopt;
  return member_->Target();
}

void PooledLink::Cut() {
  if (!member_) return;
  member_->link.Cut();
  failed_ = true;
  pool_.GiveBack(std::move(member_), /*keep=*/false);
}

void PooledLink::Close() {
  if (!member_) return;
  pool_.GiveBack(std::move(member_), /*keep=*/!failed_);
}

}  // namespace larvek
