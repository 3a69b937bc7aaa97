// Kills statements on the database that a request gave up on (the watchdog cut it, or a
// time-out passed), so that they cannot keep running, holding locks, beside the server's
// limits. Each kill opens a short link of its own to the database server (outside the pool's
// limit), checks that it reached the server the statement runs on, sends KILL QUERY and closes;
// one at a time, the others wait in order. Behind a balancer the kill link may reach another
// server, where the same thread id belongs to someone else's session: the kill is then skipped.
// Everything is logged. The loop must outlive the killer.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include "base/task.h"
#include "commands/link_pool.h"
#include "db/db_connection.h"
#include "platform/event_loop.h"

namespace larvek {

class QueryKiller {
 public:
  using LogFn = std::function<void(const std::string&)>;
  // Each kill link logs in as the link of the statement it kills.
  QueryKiller(EventLoop& loop, LogFn log);
  ~QueryKiller();  // a kill under way is dropped
  QueryKiller(const QueryKiller&) = delete;
  QueryKiller& operator=(const QueryKiller&) = delete;

  // Queues the kill of the statement running in `target`'s session.
  void Kill(const KillTarget& target);
  // Kills queued or under way.
  size_t Pending() const { return queue_.size() + (running_ ? 1 : 0); }

 private:
  Detached Run();
  Task<void> KillOne(const KillTarget& target);

  EventLoop& loop_;
  LogFn log_;
  std::deque<KillTarget> queue_;
  bool running_ = false;
  std::coroutine_handle<> run_;  // the kill loop while it runs (it waits in the loop)
};

}  // namespace larvek
