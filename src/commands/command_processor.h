// Request processing: turning a terminal's reception into a request (Handle), running the
// command's SQL templates and replying (Execute), the statement watchdog's expiry
// (OnWatchdogExpired) and the reset of MySQL user variables (ResetUserVariables).
//
// Everything runs on the event-loop thread; the current definition and LatestTerminal are plain
// members because no second request can start while one is handled. Failures that the
// processing does not answer itself leave these functions; the reception handler drops them.
#pragma once

#include <functional>
#include <string>

#include "commands/command_definition.h"
#include "commands/placeholders.h"

namespace larvek {

class DbConnection;
class DbQuery;
class ConfigStore;
class TerminalConnection;
class Timer;

struct CommandSettings {
  bool use_ini_definitions = true;  // definitions from the own file (true) or server_term (false)
  std::string terminator;           // reply terminator T
  bool watchdog_on = false;         // arm the watchdog around template statements
};

class CommandProcessor {
 public:
  using LogFn = std::function<void(const std::string&)>;

  CommandProcessor(DbConnection& connection, DbQuery& query, ConfigStore& ini, Timer& watchdog,
                   const CommandSettings& settings, LogFn add_log_line);

  // One reception of `client` (its received_text): parse, look up, answer or execute.
  void Handle(TerminalConnection& client);
  // Runs the current definition for `client` with parameters a..e and replies.
  void Execute(TerminalConnection& client, const std::string& a, const std::string& b,
               const std::string& c, const std::string& d, const std::string& e);
  // The watchdog expired: drop the database link and tell the latest terminal.
  void OnWatchdogExpired();
  // Sets every user variable that `text` assigns ("@name:=") to NULL on the shared query.
  void ResetUserVariables(const std::string& text);

  // The terminal is going away; the watchdog must not reach it afterwards.
  void ForgetTerminal(const TerminalConnection& client);

  const CommandDefinition& Current() const { return current_; }
  TerminalConnection* LatestTerminal() const { return latest_terminal_; }

 private:
  void LookupInTable(const std::string& name, int& parameter_count);
  void LookupInIni(const std::string& name, int& parameter_count);
  void SetTemplate(const std::string& templ, const ParameterValues& params);
  void Reply(TerminalConnection& client, const std::string& text_without_cr, bool add_cr = true);
  void SendRecords(TerminalConnection& client);
  void SendEmptyResult(TerminalConnection& client);
  void Finish();
  void Arm();
  void Disarm();

  DbConnection& connection_;
  DbQuery& query_;
  ConfigStore& ini_;
  Timer& watchdog_;
  const CommandSettings& settings_;
  LogFn log_;
  CommandDefinition current_;
  TerminalConnection* latest_terminal_ = nullptr;
};

}  // namespace larvek
