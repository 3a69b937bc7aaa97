// The database links of parallel mode, and the link one request runs its command flow over.
//
// LinkPool: at most `limit` links exist at once, counting those busy with a request, those
// kept idle, and those being closed; a request beyond that waits in arrival order. A link
// whose request ended normally is kept; the next request resets it first (LoopLink::Reset).
// A link that failed, timed out or was cut is closed, never kept. A link kept idle for
// kIdleTime is closed. The limit and the login may change while links exist (a reload of the
// configuration): links beyond the limit, and links of the old login, are closed once they are
// not busy, idle ones at once, so no link outlives its request with the old login.
//
// PooledLink: one request's CommandLink. It takes a link from the pool when the flow connects
// (so a request that never needs the database never waits for one) and gives it back at Close.
// A kept link that fails before any statement of the request has run (at its reset, or at the
// first statement because the database restarted) is replaced by a fresh link, once: nothing
// the terminal asked for had run yet.
//
// The pool must outlive its links and the pooled links; the loop must outlive the pool.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/task.h"
#include "commands/command_link.h"
#include "commands/loop_link.h"
#include "commands/waiting_line.h"
#include "db/db_connection.h"
#include "platform/event_loop.h"
#include "platform/monotonic_clock.h"
#include "platform/timer.h"

namespace larvek {

// A statement to kill on the database server: the session it runs in, that server's identity
// (see ReadServerIdentity), and the login of its link, which may kill the session's statements
// whatever login the pool has taken since.
struct KillTarget {
  unsigned long thread_id = 0;
  std::string server_identity;
  LinkSettings login;
};

class LinkPool {
 public:
  // One link of the pool.
  struct Member {
    Member(EventLoop& loop, LinkSettings settings) : link(loop, std::move(settings)) {}
    LoopLink link;
    std::string server_identity;  // read when it connected
    unsigned long thread_id = 0;  // its session on that server
    MonotonicClock::TimePoint idle_since{};
    bool kept = false;  // it served a request before: it needs a reset
    uint64_t login = 0;  // the pool's login it was made with (see SetSettings)
    KillTarget Target() const { return {thread_id, server_identity, link.Settings()}; }
  };

  static constexpr std::chrono::seconds kIdleTime{30};

  // Links to the database of `settings`, at most `limit` of them.
  LinkPool(EventLoop& loop, size_t limit, LinkSettings settings);
  ~LinkPool();  // closes every link at once
  LinkPool(const LinkPool&) = delete;
  LinkPool& operator=(const LinkPool&) = delete;

  size_t Limit() const { return limit_; }
  // At most `limit` links from now on; a request that waits may take a link at once when it
  // is raised.
  void SetLimit(size_t limit);
  // New links go to the database of `settings`; the idle links are closed at once, the busy
  // ones when they are given back.
  void SetSettings(LinkSettings settings);
  const LinkSettings& Settings() const { return settings_; }

  // A link for one request: the most recently kept one, or a new closed one; waits while the
  // limit is reached.
  Task<std::unique_ptr<Member>> Take();
  // Gives the link back: kept for the next request when `keep` (and it is open), otherwise
  // closed without blocking (its place is free once it is closed).
  void GiveBack(std::unique_ptr<Member> member, bool keep);

  // Links that exist (busy, idle or closing), idle ones, and requests waiting for one.
  size_t Open() const { return open_; }
  size_t Idle() const { return idle_.size(); }
  size_t Waiting() const { return line_.Waiting(); }
  // Told the time of each opening of a link of the pool.
  void SetOpenedHandler(DbConnection::OpenedFn opened) { on_opened_ = std::move(opened); }

 private:
  // Places a waiting request may take now: idle links and room for new ones.
  // Above the limit (lowered meanwhile) no link is idle: links are closed as they come back.
  size_t Available() const { return idle_.size() + (open_ < limit_ ? limit_ - open_ : 0); }
  void CloseMember(std::unique_ptr<Member> member);
  // Closes up to `count` idle links, those kept longest first.
  void CloseOldestIdle(size_t count);
  void CloseIdleLinks();
  void UpdateIdleTimer();

  EventLoop& loop_;
  size_t limit_;
  LinkSettings settings_;
  uint64_t login_ = 0;  // counts the changes of settings_
  std::vector<std::unique_ptr<Member>> idle_;  // kept longest first
  std::list<std::unique_ptr<Member>> closing_;
  size_t open_ = 0;
  WaitingLine line_;
  Timer idle_timer_;
  DbConnection::OpenedFn on_opened_;
};

class PooledLink final : public CommandLink {
 public:
  // `on_timed_out` is told of a statement cut by a time-out, so that it can be killed on the
  // database.
  PooledLink(LinkPool& pool, std::function<void(const KillTarget&)> on_timed_out);
  ~PooledLink() override;  // a link still held is cut

  Task<void> Connect() override;
  std::optional<EscapeMode> ConfirmedMode() const override;
  Task<EscapeMode> Mode() override;
  Task<void> Execute(std::string statement, StatementRole role) override;
  Task<ResultRows*> Open(std::string statement, StatementRole role) override;
  // Gives the link back: kept when no operation of this request failed.
  void Close() override;

  // The statement running now, for the watchdog's kill; none without a link.
  std::optional<KillTarget> Target() const;
  // Closes the link at once (the watchdog cut the request); it is not kept.
  void Cut();
  // True while the request holds a link (from Connect to Close).
  bool Holding() const { return member_ != nullptr; }

 private:
  // Opens the member's link and reads its server's identity.
  Task<void> OpenFresh();
  // Runs one statement; a failure of the first statement on a kept link that lost its
  // session is answered by a fresh link and the statement again.
  Task<ResultRows*> Run(std::string statement, bool open);
  void NoteFailure();

  LinkPool& pool_;
  std::function<void(const KillTarget&)> on_timed_out_;
  std::unique_ptr<LinkPool::Member> member_;
  bool failed_ = false;     // an operation failed: the link is not kept
  bool replaced_ = false;   // the kept link was replaced once already
  bool ran_statement_ = false;
  bool reused_ = false;     // the link came kept from an earlier request
};

}  // namespace larvek
