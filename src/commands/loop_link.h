// A database link whose operations the event loop waits for (parallel mode). Each operation is
// a task: it starts the connection's non-blocking operation, watches the link's socket and the
// time-outs on the loop, continues the operation on each event, and ends when the client
// library has finished it. Nothing blocks; the awaiting coroutine is resumed from the loop's
// event.
//
// Time-outs: a whole operation may take the settings' timeout_seconds (0: no limit), and each
// wait the library's own time-out (the same seconds for connecting, and for each read or write).
// When either passes, the library fails the operation as a wait that timed out, and the link is
// closed (TimedOut tells).
//
// The link must outlive every task it returns. Cut may end an operation that waits; the
// coroutine that awaits it is then never resumed, and its owner destroys it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/task.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "db/result_rows.h"
#include "db/sql_statement.h"
#include "platform/event_loop.h"
#include "platform/monotonic_clock.h"
#include "platform/timer.h"

namespace larvek {

class LoopLink {
 public:
  LoopLink(EventLoop& loop, LinkSettings settings);
  ~LoopLink();  // cuts what runs, closes at once
  LoopLink(const LoopLink&) = delete;
  LoopLink& operator=(const LoopLink&) = delete;

  // Opens the closed link.
  Task<void> Connect();
  // Sends a finished statement; a result set it returns is dropped.
  Task<void> Execute(std::string statement);
  // Sends a finished statement and holds its whole result; the rows stay readable until the
  // next operation.
  Task<ResultRows*> Open(std::string statement);
  // Resets the session to the state of a fresh link (DbConnection::StartReset).
  Task<void> Reset();
  // Says goodbye and closes; never fails.
  Task<void> Close();
  // The callback form of Close, for a link nobody awaits: `closed` runs when it is closed
  // (from the loop; it may destroy the link).
  void CloseThen(std::function<void()> closed);
  // Ends what runs without resuming anyone and closes at once.
  void Cut();

  bool Connected() const { return connection_.Connected(); }
  std::optional<EscapeMode> ConfirmedMode() const { return connection_.ConfirmedMode(); }
  // The session's id on the database server; 0 while closed.
  unsigned long ThreadId() const { return connection_.ThreadId(); }
  // The last operation failed because a time-out passed.
  bool TimedOut() const { return connection_.TimedOut(); }
  const LinkSettings& Settings() const { return connection_.Settings(); }
  void SetOpenedHandler(DbConnection::OpenedFn opened) {
    connection_.SetOpenedHandler(std::move(opened));
  }

 private:
  struct Wait;
  // Waits for the operation that returned `waits` to finish, then raises its failure.
  Wait Finish(int waits);
  // Starts an operation: its time limit counts from now.
  void Begin();
  void Arm(int waits);
  void Disarm();
  // Ends the watch of a socket that the client library has closed.
  void LetGoOfClosedSocket();
  void OnSocket(uint32_t events);
  void OnTimeout();
  void Go(int happened);

  EventLoop& loop_;
  DbConnection connection_;
  DbQuery rows_;
  Timer timer_;
  int watched_fd_ = -1;
  uint64_t watched_serial_ = 0;  // the connection's SocketSerial of watched_fd_
  int waits_ = 0;
  std::function<void()> on_finished_;  // the operation's waiter: resumes it
  std::optional<MonotonicClock::TimePoint> deadline_;
};

// The identity of the database server behind an open link: its @@server_id, and the node name
// where the server has one (wsrep_node_name), as "id" or "id/node". Two links whose identities
// differ are on different servers; behind a balancer the same thread id may then belong to
// another session.
Task<std::string> ReadServerIdentity(LoopLink& link);
// The statement ReadServerIdentity sends (and the one without the node name, for a server that
// has no such variable).
inline constexpr const char* kServerIdentityQuery =
    "select @@server_id as server_id, @@wsrep_node_name as node_name";
inline constexpr const char* kServerIdQuery = "select @@server_id as server_id";

}  // namespace larvek
