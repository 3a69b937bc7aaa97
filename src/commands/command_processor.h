// Request processing: a terminal's reception parsed into a request, the command's definition
// looked up, its SQL templates run on the shared query and the replies sent (Handle); the
// statement watchdog's expiry (OnWatchdogExpired). Both return how the request ended.
//
// Everything runs on the event-loop thread, one request at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "commands/command_catalog.h"
#include "commands/command_definition.h"
#include "commands/placeholders.h"
#include "commands/reply_sink.h"
#include "commands/request.h"
#include "commands/request_outcome.h"
#include "config/startup_config.h"
#include "platform/monotonic_clock.h"

namespace larvek {

class ConfigStore;
class DbConnection;
class DbQuery;
class Timer;

struct CommandSettings {
  // Where definitions come from; none while the start-up probe of the database has not
  // succeeded (requests then probe again, see Handle).
  std::optional<DefinitionSource> definitions = DefinitionSource::kOwnFile;
  std::string terminator;    // reply terminator T, appended to every record (Ukoncovac)
  bool watchdog_on = false;  // arm the watchdog around template statements
  // Longest reply of records, in bytes with its CR (Max_reply); a longer one is not sent.
  size_t max_reply = kDefaultMaxReplyBytes;
};

// The reply to a name without a definition (a CR follows).
inline constexpr const char* kUnknownCommandReply = "NEZNAMY PRIKAZ!";
// The statement sent before a definition's templates.
inline constexpr const char* kSetNames = "SET NAMES cp1250";

// True when `name` may be looked up in the table: it holds no '"', "'", backslash, NUL or other
// byte below 0x20. No definition can sensibly have such a name; the others are answered as
// unknown commands without any statement.
bool IsLookupName(std::string_view name);

// True when template 1 of a definition is run as a modifying statement: its text as defined
// holds "delete", "update" or "insert" (small letters only).
bool IsModifyingTemplate(const std::string& templ);

// Parameters a..e of `request` for a command taking `count` of them; the others stay empty.
// Fields are fetched 2..count, then 1, so a request with too few fields fails before anything
// runs (the string-list error of Request::Field).
ParameterValues RequestParameters(const Request& request, int count);

class CommandProcessor {
 public:
  using LogFn = std::function<void(const std::string&)>;
  // The terminal with this id while it is connected; nullptr once it has gone.
  using FindTerminalFn = std::function<std::unique_ptr<ReplySink>(uint64_t id)>;

  // `settings` are read at every request; `watchdog` is armed around the template statements
  // and its expiry must call OnWatchdogExpired.
  CommandProcessor(DbConnection& connection, DbQuery& query, const ConfigStore& own_file,
                   Timer& watchdog, const CommandSettings& settings, LogFn add_log_line,
                   FindTerminalFn find_terminal,
                   const MonotonicClock& clock = SteadyMonotonicClock());

  // One reception of `terminal` (its text without trailing CRs): parse, look up, answer or
  // execute; returns how the request ended. Nothing leaves it: a failure it does not answer
  // otherwise is logged as "Chyba požadavku: class: message"; when the database failed before
  // the definition's own statements ran (connecting, the lookup, the character-set statement),
  // the terminal also gets the error record, so it does not wait for its own time-out. The
  // link is closed when it returns.
  RequestOutcome Handle(ReplySink& terminal, std::string_view reception);

  // Called as `reception` arrives, before it is written anywhere: when its request is going to
  // need the database link first thing (it has text, and its definition is looked up in the
  // table, or the database is to be probed for the source), starts opening the link, so that
  // the database accepts it while the reception is written to the dump file and the log.
  // Handle then finishes the opening; a link it did not use is closed before Handle returns.
  void OpenLinkAhead(std::string_view reception);

  // Shortest time between two probes of a database that was down at start-up.
  static constexpr std::chrono::seconds kProbeInterval{5};
  // The watchdog expired: drop the database link and tell the terminal of the latest execution
  // (kTimeoutRecord; kNothing when that terminal has gone).
  RequestOutcome OnWatchdogExpired();

 private:
  // Where to look the command up; probes the database when start-up could not.
  DefinitionSource DecideSource();
  // The source known without the database: the configured one or the probe's; none when a
  // request has to probe.
  std::optional<DefinitionSource> KnownSource() const;
  // True while the last probe failed less than kProbeInterval ago: requests fail as it did.
  bool WithinFailedProbeInterval() const;
  RequestOutcome HandleRequest(ReplySink& terminal, std::string_view reception);
  // Runs the definition's templates with the parameters and replies.
  RequestOutcome Execute(ReplySink& terminal, const ParameterValues& params,
                         const CommandDefinition& definition);
  // The template prepared for the session's confirmed mode.
  PreparedSql Prepare(const std::string& templ);
  // Binds and fills `prepared` and sets the finished statement on the shared query.
  void SetStatement(const PreparedSql& prepared, const ParameterValues& params);
  std::optional<Error> RunTemplate(const PreparedSql& prepared, const ParameterValues& params,
                                   bool open);
  // Sets every user variable that `text` assigns ("@name:=") to NULL on the shared query.
  void ResetUserVariables(const std::string& text);
  // Sends the text (with a CR unless `add_cr` is false) and logs it; a long text is logged cut.
  void Reply(ReplySink& terminal, std::string text_without_cr, bool add_cr = true);
  void ReplyError(ReplySink& terminal, const CommandDefinition& definition);
  RequestOutcome AnswerFailure(ReplySink& terminal, const CommandDefinition& definition,
                               const Error& failure);
  RequestOutcome AnswerRecords(ReplySink& terminal, const CommandDefinition& definition);
  RequestOutcome AnswerEmptyResult(ReplySink& terminal, const CommandDefinition& definition);
  // Switches the link to cp1250 (kSetNames) on the shared query.
  void SetNames();
  void Arm();
  void Disarm();

  DbConnection& connection_;
  DbQuery& query_;
  CommandCatalog catalog_;
  Timer& watchdog_;
  const CommandSettings& settings_;
  LogFn log_;
  FindTerminalFn find_terminal_;
  // The terminal and command of the latest execution: the timeout record names that command
  // and goes to that terminal.
  std::optional<uint64_t> watched_terminal_;
  std::string watched_name_;
  // The source found by a probe after a failed start-up, and when the last probe ran.
  std::optional<DefinitionSource> probed_source_;
  const MonotonicClock& clock_;  // times the probes
  std::optional<MonotonicClock::TimePoint> last_probe_;
  std::optional<Error> last_probe_failure_;
};

}  // namespace larvek
