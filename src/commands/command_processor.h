// Request processing: a terminal's reception parsed into a request, the command's definition
// looked up, its SQL templates run on the shared query and the replies sent (Handle); the
// statement watchdog's expiry (OnWatchdogExpired).
//
// Everything runs on the event-loop thread, one request at a time. Failures that the processing
// does not answer itself leave Handle; the reception handler drops them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "commands/command_catalog.h"
#include "commands/command_definition.h"
#include "commands/placeholders.h"
#include "commands/reply_sink.h"
#include "commands/request.h"

namespace larvek {

class ConfigStore;
class DbConnection;
class DbQuery;
class Timer;

struct CommandSettings {
  DefinitionSource definitions = DefinitionSource::kOwnFile;
  std::string terminator;    // reply terminator T, appended to every record (Ukoncovac)
  bool watchdog_on = false;  // arm the watchdog around template statements
};

class CommandProcessor {
 public:
  using LogFn = std::function<void(const std::string&)>;
  // The terminal with this id while it is connected; nullptr once it has gone.
  using FindTerminalFn = std::function<std::unique_ptr<ReplySink>(uint64_t id)>;

  // `settings` are read at every request; `watchdog` is armed around the template statements
  // and its expiry must call OnWatchdogExpired.
  CommandProcessor(DbConnection& connection, DbQuery& query, const ConfigStore& own_file,
                   Timer& watchdog, const CommandSettings& settings, LogFn add_log_line,
                   FindTerminalFn find_terminal);

  // One reception of `terminal` (its text without trailing CRs): parse, look up, answer or
  // execute.
  void Handle(ReplySink& terminal, std::string_view reception);
  // The watchdog expired: drop the database link and tell the terminal of the latest execution.
  void OnWatchdogExpired();

 private:
  // Runs the definition's templates with the request's parameters and replies.
  void Execute(ReplySink& terminal, const Request& request, const CommandDefinition& definition);
  // Sets every user variable that `text` assigns ("@name:=") to NULL on the shared query.
  void ResetUserVariables(const std::string& text);
  void SetTemplate(const std::string& templ, const ParameterValues& params);
  void Reply(ReplySink& terminal, const std::string& text_without_cr, bool add_cr = true);
  void SendRecords(ReplySink& terminal, const CommandDefinition& definition);
  void SendEmptyResult(ReplySink& terminal, const CommandDefinition& definition);
  void Finish();
  void Arm();
  void Disarm();

  DbConnection& connection_;
  DbQuery& query_;
  CommandCatalog catalog_;
  Timer& watchdog_;
  const CommandSettings& settings_;
  LogFn log_;
  FindTerminalFn find_terminal_;
  // The timeout record goes to the terminal of the latest execution and carries the name of the
  // latest command looked up, whichever terminal asked for it.
  std::optional<uint64_t> watched_terminal_;
  std::string latest_lookup_name_;
};

}  // namespace larvek
