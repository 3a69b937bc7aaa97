// The flow of one command, from the reception text to the reply, written once and read top to
// bottom (CommandFlow::Run): parse, the name's lookup, SET NAMES, template 1, the branch to
// template 2, the records or the empty result or the error record, the resets of user
// variables, the end. It runs over a CommandLink, so the server runs it over the database and
// the tests over links of their own, and what differs between them (where definitions come
// from, the watchdog) is asked of its Host.
//
// Run is a coroutine: it co_awaits each operation of the link. With a link that completes its
// operations at once it runs to its end in one go (RunToCompletion); everything stays on the
// one thread either way. The flow, its host, the link, the terminal and the settings must
// outlive the task Run returns.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/regional.h"
#include "base/task.h"
#include "commands/command_catalog.h"
#include "commands/command_definition.h"
#include "commands/command_link.h"
#include "commands/placeholders.h"
#include "commands/reply_sink.h"
#include "commands/request.h"
#include "commands/request_outcome.h"
#include "config/startup_config.h"

namespace larvek {

class ConfigStore;

struct CommandSettings {
  // Where definitions come from; none while the start-up probe of the database has not
  // succeeded (requests then probe again, see CommandProcessor).
  std::optional<DefinitionSource> definitions = DefinitionSource::kOwnFile;
  std::string terminator;    // reply terminator T, appended to every record (Ukoncovac)
  bool watchdog_on = false;  // arm the watchdog around template statements
  // Longest reply of records, in bytes with its CR (Max_reply); a longer one is not sent.
  size_t max_reply = kDefaultMaxReplyBytes;
  // How dates, times and decimal numbers of the database become text ([Regional]).
  RegionalSettings regional;
};

// The reply to a name without a definition (a CR follows).
inline constexpr const char* kUnknownCommandReply = "NEZNAMY PRIKAZ!";
// The start of the log line of a request that failed without being answered: + class + ": " +
// message.
inline constexpr const char* kRequestFailure =
    "Chyba po\x9E"
    "adavku: ";
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

using LogFn = std::function<void(const std::string&)>;

// Sends `text` to the terminal (with a CR unless `add_cr` is false) and logs "Odeslal na
// <address>: <text>", a long text cut to its first 1,000 bytes.
void SendReply(ReplySink& terminal, std::string text, bool add_cr, const LogFn& log);

// What the flows of one server keep between requests: the definitions found in the own file
// and the plans of the templates (see OwnFileDefinitions and StatementPlans). Each part keeps
// only what stays the same while its source does. The store must outlive it.
struct CommandCache {
  explicit CommandCache(const ConfigStore& own_file) : definitions(own_file) {}
  OwnFileDefinitions definitions;
  StatementPlans plans;
};

class CommandFlow {
 public:
  // What the one who runs the flow decides.
  class Host {
   public:
    virtual ~Host() = default;
    // Where the definition of this request comes from; may ask the database over `link`.
    // A failure it throws is answered like a failed lookup.
    virtual Task<DefinitionSource> DecideSource(CommandLink& link) = 0;
    // The source, when it is known without the database; DecideSource is asked otherwise.
    virtual std::optional<DefinitionSource> KnownSource() const { return std::nullopt; }
    // The lookup of `name` ended: the definition, or none (the command is unknown).
    virtual void LookedUp(const std::string& /*name*/, const CommandDefinition* /*definition*/) {}
    // The templates of `definition` are about to run for `terminal` with `params`.
    virtual void Executing(const CommandDefinition& /*definition*/,
                           const ParameterValues& /*params*/, ReplySink& /*terminal*/) {}
    // Around each template statement: it starts; it ended without a failure, or it failed
    // (before it reached the link, or at the link; the error record follows).
    virtual void StatementStarts() {}
    virtual void StatementEnded() {}
    virtual void StatementFailed(const Error& /*failure*/) {}
  };

  // `cache` holds the own file, with the definitions of configuration mode, and what flows
  // share; `settings` are read at every request; `log` gets every log line.
  CommandFlow(CommandCache& cache, const CommandSettings& settings, LogFn log, Host& host);

  // One reception of `terminal` (its text without trailing CRs): parse, look up, answer or
  // execute. A failure it does not answer otherwise is logged as "Chyba požadavku: class:
  // message"; when the database failed before the definition's own statements ran
  // (connecting, the lookup, the character-set statement), the terminal also gets the error
  // record, so it does not wait for its own time-out. A failure after the templates ran (a
  // listed column missing, a reply that cannot be sent) leaves the task; the link stays as it
  // is, its closing is the caller's.
  Task<RequestOutcome> Run(CommandLink& link, ReplySink& terminal, std::string reception);

 private:
  struct StatementRun {
    std::optional<Error> failure;
    ResultRows* rows = nullptr;  // the result of an opened statement
  };

  Task<RequestOutcome> Execute(CommandLink& link, ReplySink& terminal,
                               const ParameterValues& params, const CommandDefinition& definition);
  // Finishes a planned template with the parameters and sends it, opened for its rows or
  // executed, between the host's StatementStarts and StatementEnded.
  Task<StatementRun> RunTemplate(CommandLink& link, const StatementPlan& plan,
                                 const ParameterValues& params, StatementRole role, bool open);
  // Opens the link and switches it to cp1250 (kSetNames).
  Task<void> ConnectAndSetNames(CommandLink& link);
  // A statement without values (SET NAMES, the resets), executed as the query layer prepares
  // any text.
  Task<void> ExecuteFixed(CommandLink& link, const std::string& text, StatementRole role);
  // Sets every user variable that `text` assigns ("@name:=") to NULL, a statement each.
  Task<void> ResetUserVariables(CommandLink& link, const std::string& text);

  void Reply(ReplySink& terminal, std::string text_without_cr) const;
  RequestOutcome AnswerFailure(ReplySink& terminal, const CommandDefinition& definition,
                               const Error& failure) const;
  RequestOutcome AnswerRecords(ReplySink& terminal, const CommandDefinition& definition,
                               ResultRows* rows) const;
  RequestOutcome AnswerEmptyResult(ReplySink& terminal, const CommandDefinition& definition) const;

  CommandCache& cache_;
  const CommandSettings& settings_;
  LogFn log_;
  Host& host_;
};

}  // namespace larvek
