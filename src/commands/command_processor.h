// Request processing: turning a terminal's reception into a request (zpracPrikaz), running the
// command's SQL templates and replying (zpracQ), the statement watchdog's expiry (Timer1Timer)
// and the reset of MySQL user variables (smaz).
//
// Everything runs on the event-loop thread; the current definition and LastClient are plain
// members because no second request can start while one is handled. Failures that the
// processing does not answer itself leave these functions; the reception handler drops them.
#pragma once

#include <functional>
#include <string>

#include "commands/command_definition.h"
#include "commands/placeholders.h"

namespace larvek {

class TDbConnection;
class TDbQuery;
class TIniStorage;
class TTcpSrvClient;
class Timer;

struct CommandSettings {
  bool use_ini_definitions = true;  // definitions from the own file (true) or server_term (false)
  std::string ukoncovac;            // reply terminator T
  bool interval_on = false;         // arm the watchdog around template statements
};

class TCommandProcessor {
 public:
  using LogFn = std::function<void(const std::string&)>;

  TCommandProcessor(TDbConnection& connection, TDbQuery& query, TIniStorage& ini, Timer& watchdog,
                    const CommandSettings& settings, LogFn add_log_line);

  // One reception of `client` (its ReceivedLine): parse, look up, answer or execute.
  void zpracPrikaz(TTcpSrvClient& client);
  // Runs the current definition for `client` with parameters a..e and replies.
  void zpracQ(TTcpSrvClient& client, const std::string& a, const std::string& b,
              const std::string& c, const std::string& d, const std::string& e);
  // The watchdog expired: drop the database link and tell the latest terminal.
  void Timer1Timer();
  // Sets every user variable that `text` assigns ("@name:=") to NULL on the shared query.
  void smaz(const std::string& text);

  // The terminal is going away; the watchdog must not reach it afterwards.
  void ForgetClient(const TTcpSrvClient& client);

  const CommandDefinition& Current() const { return current_; }
  TTcpSrvClient* LastClient() const { return last_client_; }

 private:
  void LookupInTable(const std::string& name, int& ze_ctecky);
  void LookupInIni(const std::string& name, int& ze_ctecky);
  void SetTemplate(const std::string& templ, const ParameterValues& params);
  void Reply(TTcpSrvClient& client, const std::string& text_without_cr, bool add_cr = true);
  void SendRecords(TTcpSrvClient& client);
  void SendEmptyResult(TTcpSrvClient& client);
  void Finish();
  void Arm();
  void Disarm();

  TDbConnection& connection_;
  TDbQuery& query_;
  TIniStorage& ini_;
  Timer& watchdog_;
  const CommandSettings& settings_;
  LogFn log_;
  CommandDefinition current_;
  TTcpSrvClient* last_client_ = nullptr;
};

}  // namespace larvek
