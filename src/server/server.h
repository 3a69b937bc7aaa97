// The main window object: owns every component of the server and holds the handlers that the
// event loop and the components call. Front ends (console, desktop) create one, call Start()
// and, when the window is first shown, OnWindowShown(); at the end ShutDown() appends the lines
// typed into the log view to the day's file.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "commands/command_processor.h"
#include "commands/database_probe.h"
#include "config/config_store.h"
#include "config/startup_config.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/status_listener.h"
#include "net/tcp_listener.h"
#include "platform/timer.h"
#include "server/activity_log.h"
#include "server/metrics.h"
#include "server/window_placement.h"

namespace larvek {

class Error;
class EventLoop;
class MainWindowView;

// The application title: the program file's name without its directory, cut at its first ".",
// every letter after the first in lower case.
std::string ApplicationTitle(const std::string& program_path);
// The text of an error message box: a "." is appended when the last character sorts after ".".
std::string MessageBoxText(const std::string& text);
// A connection's duration as "hh:nn:ss" on the clock of one day: whole days are dropped (a
// negative duration counts back from a day's end), parts of a second too.
std::string FormatDuration(std::chrono::milliseconds duration);

// Running totals for a supervisor's status line: the counters of the metrics page.
struct ServerCounts {
  uint64_t connections = 0;  // terminals accepted
  uint64_t requests = 0;     // requests ended (a blank reception is none)
  // Errors: of the listener and the terminals' connections, and requests that ended without
  // their answer (the error record, a time-out, no reply, cut at the end).
  uint64_t errors = 0;
  // The last contact with the database (a request's, the readiness probe's, or before them
  // the start-up's) found it not answering.
  bool database_down = false;
};

// How Start ended.
enum class StartOutcome {
  kStarted,
  kDatabaseDown,  // stopped at the first contact with the database; requests retry it
  kFailed,        // stopped by anything else (configuration, the day log)
};

class Server {
 public:
  // `log_dir` (ending with '/') holds the day-log folders; empty: the program directory.
  Server(EventLoop& loop, MainWindowView& view, const std::string& program_path,
         const std::string& log_dir = "");
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Start-up: reads the configuration, contacts the database (the source of definitions),
  // loads the day's log and posts the start of the listener. A failure ends it and is shown in
  // a message box.
  StartOutcome Start();
  // The window is shown for the first time (the console counts as shown at once): posts the
  // start of the listener.
  void OnWindowShown();
  // Appends the lines typed into the log view to the day's file; a failure is shown in a
  // message box.
  void ShutDown();

  void StartListening();
  // Reads both configuration files again and applies what can change while the server runs
  // (see CompareForReload): the database login (idle links are closed at once, busy ones when
  // their request ends), the reply terminator and limits, the terminals' limits, the
  // watchdog, Parallel_requests for the requests that start from now on, [Regional]. The day's
  // file is opened anew, and one log line names the changed keys, those that wait for a
  // restart apart. A file that is missing (the shared one only when it was there before) or
  // cannot be read, or a value that stops reading, leaves everything as it runs; the line
  // says why. The database is not asked.
  void ReloadConfiguration();
  // The end of the run (a signal, the window closed): `done` is called, from the loop or at
  // once, when nothing is left to wait for. One at a time nothing ever is. In parallel mode the
  // listener stops accepting and reading, requests that have not reached the database are cut,
  // and those in flight get kDrainTime to finish and send their replies; then the rest are cut.
  void Drain(std::function<void()> done);
  static constexpr int kDrainTimeMs = 10000;

  void AddLogLine(const std::string& text) { log_.AddLogLine(text); }
  // The status of a normal end: 1 when some line of the run could not be written to its day
  // file, 0 otherwise.
  int ExitStatus() const;
  std::string Caption() const;
  ServerCounts Counts() const;
  // The status pages: "/metrics", "/health", "/ready"; anything else is 404.
  void ServeStatusPage(const std::string& path, StatusListener::Answer answer);
  // Whether the last contact with the database may stand for a readiness answer.
  static constexpr std::chrono::seconds kContactFreshness{2};
  static constexpr std::chrono::milliseconds kReadyProbeLimit{1000};
  // Where the listener listens (for a status line).
  std::string ListeningAddress() const { return listener.ListeningAddress(); }
  int ListeningPort() const { return listener.ListeningPort(); }
  // The main window's position in the own configuration file (see window_placement.h); both
  // throw the file's errors.
  void SaveWindowPlacement(const WindowGeometry& window, bool at_teardown);
  void RestoreWindowPlacement(WindowGeometry& window) const;

  // Called after each attempt of the posted StartListening with whether the listener is up.
  std::function<void(bool listening)> OnListenAttempted;

 private:
  void OnTerminalConnected(TerminalConnection& client);
  void OnTerminalDisconnected(TerminalConnection& client);
  SocketErrorAction OnListenerError(const Error& error);
  void OnListenerClosed(int code);
  void OnTerminalData(TerminalConnection& client);
  SocketErrorAction OnTerminalError(const Error& error);
  void Count(const RequestOutcome& outcome);
  // Notes whether the request's end shows the database answering.
  void NoteDatabaseContact(const RequestOutcome& outcome);
  MetricsGauges Gauges() const;
  // Why the server should take no terminals now; none when it can.
  std::optional<std::string> Unhealthy() const;
  void AnswerReady(StatusListener::Answer answer);
  void StartStatusListener();
  // Parallel mode from the configuration; the log says which mode runs, and why a value of
  // Parallel_requests was not taken.
  void SetUpRequestMode(const StartupConfig& config);
  // Whether [Server] Status_port asks for the status pages (empty or 0: none).
  bool StatusPagesConfigured() const { return !status_port_.empty() && status_port_ != "0"; }
  // A request of parallel mode ended: its terminal is read again (unless the run ends).
  void RequestEnded(uint64_t terminal_id, const RequestOutcome& outcome);
  void DrainStep();
  // The stages of Start.
  void ReadConfiguration();
  void ContactDatabase();
  void LoadLogAndListen();
  // Runs `step`; an error it throws is shown in a message box. False when it threw.
  bool ShowingErrors(const std::function<void()>& step);
  void ApplyConfig(const StartupConfig& config);
  // What ApplyConfig sets that a reload may change too.
  void ApplyChangeable(const StartupConfig& config);
  // The log line of a value that stops reading the configuration, naming the key.
  static std::string ReadFailureLine(const StartupConfigRead& read);
  // Whether the database server's global sql_mode holds ANSI_QUOTES; the first contact
  // with the database at start-up, so its failure stops start-up like the probe's.
  bool GlobalSqlModeHasAnsiQuotes();
  void PostStartListening();
  void ShowError(const std::exception& error);
  void WriteDumpFile(const std::string& bytes);

  // Components, created before any handler runs.
  TcpListener listener;
  DbConnection db_connection;
  DbQuery shared_query;
  ConfigStore config_store;
  Timer watchdog_timer;

  EventLoop& loop_;
  MainWindowView& view_;
  std::string program_dir_;
  ActivityLog log_;
  CommandSettings settings_;
  CommandProcessor processor_;
  std::unordered_map<uint64_t, LocalTime> connected_at_;  // by connection id, while connected
  std::string server_port_;
  std::string server_ip_;
  ServerMetrics metrics_;
  std::string status_port_;
  std::string status_ip_;
  StatusListener status_;
  // The last contact with the database: when it began and whether it answered.
  struct DatabaseContact {
    std::chrono::steady_clock::time_point at;
    bool answered = false;
  };
  std::optional<DatabaseContact> last_contact_;
  bool database_down_at_start_ = false;  // start-up's contact with the database failed
  LinkSettings probe_settings_;  // the login, with the host's address looked up once
  std::unique_ptr<DatabaseProbe> ready_probe_;
  bool ready_probe_stale_ = false;  // the login changed since it was made
  std::vector<StatusListener::Answer> ready_waiting_;  // readiness answers due after the probe
  StartupConfig running_config_;        // as start-up or the last reload applied it
  bool shared_config_present_ = false;  // the shared file was there at the last reading
  bool start_posted_ = false;
  // Terminals are greeted until start-up has reached the day's log; see StartListening.
  bool greet_terminals_ = true;
  bool draining_ = false;
  std::function<void()> drained_;  // called once the drain is over
  Timer drain_timer_;
  bool dump_failure_logged_ = false;  // the dump file could not be written, logged once
  int dump_fd_ = -1;                  // the dump file, open from the first reception
  size_t dump_size_ = 0;              // its length after the last write
};

}  // namespace larvek
