// The one link to the MySQL server. The link opens lazily, on the first statement of a query,
// and stays open until Disconnect (or until the server is found to have dropped it). Each
// opening is a session of its own: a query's result of an ended session reads as closed (it
// holds the session's token weakly, nothing is registered with the connection), and a query
// that outlives its connection fails instead of reaching it.
//
// Opening may be started ahead (BeginOpen): the client library then connects without
// blocking and the caller goes on with other work while the database accepts the link and
// sends its greeting; the next EnsureOpen waits for the rest. The statements of DbQuery block,
// each bounded by the settings' time-out.
//
// The non-blocking operations (StartConnect, StartStatement, StartReset, StartClose) never
// block: each returns what the client library waits for, and whoever owns the event loop
// watches Socket() for it, and the time-out, and calls Continue with what happened until the
// operation has finished. One operation runs at a time; the blocking calls must not be used
// while one runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/host_port.h"
#include "db/sql_statement.h"

struct st_mysql;
struct st_mysql_res;

namespace larvek {

class DbQuery;

// What a non-blocking operation waits for, and what happened, as bit flags (the client
// library's own values). 0: the operation has finished.
enum LinkWait : int {
  kLinkWaitRead = 1,
  kLinkWaitWrite = 2,
  kLinkWaitExcept = 4,
  kLinkWaitTimeout = 8,  // the library's time-out (WaitTimeoutMs) passed
};

// Where and how a link logs in. An empty host or user lets the client library choose; port 0
// means 3306.
struct LinkSettings {
  // The database servers, tried in order from the one that answered last (shared by every
  // link with the same list); never empty.
  std::vector<HostPort> hosts = {HostPort{}};
  std::string user;
  std::string password;
  std::string database = "larvek";
  // Seconds that connecting, and each read or write on the link, may take before the
  // statement fails and the link is dropped; 0 waits for ever. The tries of a connect share it.
  unsigned timeout_seconds = 30;
  bool operator==(const LinkSettings&) const = default;
};

// How an opening of the link went.
struct LinkOpening {
  std::chrono::nanoseconds took{};  // from the start to the database's greeting accepted
  HostPort host;                    // the entry that answered
  int failed_tries = 0;             // connects that failed before (retries and other hosts)
  std::string last_failure;         // the failure of the last of them
};

class DbConnection {
 public:
  DbConnection();
  ~DbConnection();  // disconnects
  DbConnection(const DbConnection&) = delete;
  DbConnection& operator=(const DbConnection&) = delete;

  // The login and time-out, used at the next opening of the link.
  void SetSettings(LinkSettings settings) { settings_ = std::move(settings); }
  const LinkSettings& Settings() const { return settings_; }
  // Told how each opening of the link went; for the server's figures and log. Must outlive the
  // connection's use.
  using OpenedFn = std::function<void(const LinkOpening& opening)>;
  void SetOpenedHandler(OpenedFn opened) { on_opened_ = std::move(opened); }

  bool Connected() const { return mysql_ != nullptr; }
  // True between BeginOpen and the EnsureOpen or Disconnect that finishes the opening.
  bool Opening() const { return Connecting(); }
  // Starts opening the link and returns without waiting for the database; EnsureOpen finishes
  // the opening (and raises its failure). Nothing happens when the link is open or already
  // opening.
  void BeginOpen();
  // Closes every bound query (errors ignored), then the link; an opening under way is waited
  // for first. Nothing happens when closed.
  void Disconnect();

  // How the session reads backslashes in strings, as it reported last in the status flags of
  // an answered statement (NO_BACKSLASH_ESCAPES). None while the link is closed, from its
  // opening until its first statement is answered, and after a statement failed: the login
  // reply comes before the server runs init_connect, which may change sql_mode, and an error
  // reply carries no flags.
  std::optional<EscapeMode> ConfirmedMode() const;
  // The confirmed mode. A link without one (opened when closed) first sends a statement
  // without values (kModeProbe) whose answer confirms it.
  EscapeMode Mode();
  // The statement Mode sends to learn the mode; it changes nothing in the session.
  static constexpr const char* kModeProbe = "DO 0";

  // For DbQuery. Opens the link when it is closed, or finishes the opening BeginOpen started;
  // a failed connect leaves it closed and raises "SQL chyba: %s" (or the connect failure
  // message).
  void EnsureOpen();
  // Sends one statement text as one query. Raises "SQL chyba: %s" with the server's error
  // number; when the error says the server dropped the link, the connection closes first.
  void Execute(const std::string& text);
  // Reads and drops the further results of a statement that returned several (a procedure).
  // Every statement ends here: its answer is complete, so its status flags confirm the mode.
  void DiscardMoreResults();
  // Raises the link's current error as above.
  [[noreturn]] void RaiseLinkError();

  // Non-blocking operations; each returns LinkWait flags, 0 when it finished at once.
  // Opens the closed link with the settings. Each host must be empty, "localhost" (the local
  // socket) or an address: the client library would look a name up blocking. A failed connect
  // moves on to the next host; when every host failed and one of them did not take the connect
  // up (IsRetryableConnectError), all are tried again after 100 ms, and once more after 400 ms,
  // as long as the pause ends within the time-out. Meanwhile the operation waits for
  // kLinkWaitTimeout alone, with no socket.
  int StartConnect();
  // Sends a finished statement text on the open link and stores its whole first result set
  // (TakeStoredResult); the further results of a procedure are read and dropped.
  int StartStatement(std::string text);
  // Resets the open session (mysql_reset_connection: rolls back, drops temporary tables,
  // clears variables and settings, releases locks), then brings the client's character set
  // back to cp1250 and the session to the configured database where they differ, as in a
  // fresh link.
  int StartReset();
  // Says goodbye and closes the open link; never fails.
  int StartClose();
  // Goes on with the running operation after `happened` (LinkWait flags).
  int Continue(int happened);
  // After the operation finished: raises its failure as the blocking calls do ("SQL chyba:
  // %s"); a failure after which the link is lost has closed it (a connect that failed leaves
  // it closed).
  void FinishOperation();
  // While an operation waits: the descriptor to watch (-1 during a pause between connects),
  // and with kLinkWaitTimeout the library's time-out (or the pause's end) in milliseconds.
  int Socket() const;
  unsigned WaitTimeoutMs() const;
  // Changes with each socket the link opens: a connect's next try may get the descriptor
  // number of the one it closed, which an event loop must then watch anew.
  uint64_t SocketSerial() const { return socket_serial_; }
  // True when the last operation failed because a wait passed its time-out.
  bool TimedOut() const { return timed_out_; }
  // The session's id on the database server (for KILL QUERY); 0 while closed.
  unsigned long ThreadId() const;
  // Closes at once without saying goodbye: for a link cut in the middle of an operation.
  void CloseAbruptly();
  // The number of the link's current session, shared weakly with the queries; it changes
  // when the link closes, and expires with the connection.
  std::weak_ptr<const uint64_t> SessionToken() const { return session_; }

 private:
  friend class DbQuery;  // reads the results of its statements on the link
  st_mysql* Handle() const { return mysql_; }
  // The result the last StartStatement stored (null when the statement returned no result
  // set); the caller owns it from here on.
  struct st_mysql_res* TakeStoredResult() { return std::exchange(stored_, nullptr); }
  bool StoredResultExpected() const { return stored_fields_ != 0; }

  enum class Step { kNone, kConnect, kConnectPause, kQuery, kStore, kNextResult, kStoreMore,
                    kReset, kCharset, kSelectDb, kClose };
  // Runs the operation's steps from step_ until one waits (returns its flags) or all are done
  // (0). `happened` is for the first step when it continues (resume), not when it starts.
  int RunSteps(bool resume, int happened);
  // Ends the running operation with the link's current error (closing a lost link).
  int FailStep();
  // Starts the connect to the current host of the tries.
  int StartTry();
  // After a failed try: the next host, a pause before the next round, or the end (0).
  int TryFailed(int error);
  bool Connecting() const { return step_ == Step::kConnect || step_ == Step::kConnectPause; }
  // A new handle with the options every link uses.
  st_mysql* NewHandle();
  void Opened(st_mysql* m);

  LinkSettings settings_;
  OpenedFn on_opened_;
  std::chrono::steady_clock::time_point connect_started_;
  // The tries of the running connect: the host tried, the tries of this round over the hosts,
  // the pauses taken, whether a failure of the round is worth another round, and the failures.
  struct Tries {
    size_t host = 0;
    size_t in_round = 0;
    int pauses = 0;
    bool retryable = false;
    int failed = 0;
    std::string last_failure;
    std::chrono::steady_clock::time_point pause_ends;
  };
  Tries tries_;
  uint64_t socket_serial_ = 0;
  st_mysql* mysql_ = nullptr;
  // Between BeginOpen and EnsureOpen: the handle of the try under way (null during a pause),
  // what the connect waits for (MYSQL_WAIT_* flags, 0 when it has finished) and, once a try
  // finished, its result (null when it failed).
  st_mysql* opening_ = nullptr;
  int opening_waits_for_ = 0;
  bool open_failed_ahead_ = false;  // BeginOpen's connect failed at once; EnsureOpen raises it
  st_mysql* opened_ = nullptr;
  bool mode_confirmed_ = false;  // see ConfirmedMode
  std::shared_ptr<uint64_t> session_ = std::make_shared<uint64_t>(0);
  // The link closed: the results of its session read as closed.
  void EndSession() { ++*session_; }

  // The running non-blocking operation: its step, the statement it sends (it must outlive
  // the operation), what the library's calls returned, the result set it stored, and its
  // failure.
  Step step_ = Step::kNone;
  std::string op_text_;
  int op_int_ = 0;
  st_mysql_res* op_result_ = nullptr;
  st_mysql_res* stored_ = nullptr;
  unsigned stored_fields_ = 0;
  std::optional<std::pair<std::string, int>> op_failure_;  // message and error number
  bool timed_out_ = false;
};

}  // namespace larvek
