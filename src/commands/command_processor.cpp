#include "commands/command_processor.h"

#include <algorithm>
#include <vector>

#include "base/error.h"
#include "commands/text_utils.h"
#include "db/db_connection.h"
#include "db/db_error.h"
#include "db/db_field.h"
#include "db/db_query.h"
#include "platform/timer.h"

namespace larvek {
namespace {

// Log line of a request that failed: + class + ": " + message.
const char kRequestFailure[] =
    "Chyba po\x9E"
    "adavku: ";

// Log line of a table-mode name that is not looked up.
const char kNameNotLookedUp[] =
    "P\xF8\xEDkaz nehled\xE1n v server_term: n\xE1zev obsahuje uvozovky, apostrof, "
    "zp\xECtn\xE9 lom\xEDtko nebo \xF8\xED"
    "dic\xED znak";

// Log line after the error record of a template statement that failed: + name + ": " + class +
// ": " + message, and " (#number)" when the database gave one.
const char kCommandFailure[] = "Chyba p\xF8\xEDkazu ";

// Log line after the error record that replaced a reply longer than Max_reply: + name +
// kReplyTooLongMiddle + length + kReplyTooLongEnd + limit.
const char kReplyTooLong[] = "Odpov\xEC\xEF p\xF8\xEDkazu ";
const char kReplyTooLongMiddle[] = " neodesl\xE1na: ";
const char kReplyTooLongEnd[] =
    " bajt\xF9, v\xED"
    "c ne\x9E [Server] Max_reply=";

// A failure of the database itself (it refused a statement or could not be reached), as
// opposed to one caused by the request or the definition.
bool IsDatabaseFailure(const Error& error) {
  return error.Kind() == ErrorKind::kDatabase &&
         (error.Code() != 0 || error.Message() == kConnectFailed);
}

// The length of a value's text in a record. A value of bytes is measured, not copied: a reply
// of one long value would otherwise hold it once more.
size_t ValueLength(const DbField& field) {
  return field.HoldsBytes() ? field.Bytes().size() : field.AsString().size();
}

}  // namespace

bool IsLookupName(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](unsigned char c) {
    return c == '"' || c == '\'' || c == '\\' || c < 0x20;
  });
}

bool IsModifyingTemplate(const std::string& templ) {
  return templ.find("delete") != std::string::npos || templ.find("update") != std::string::npos ||
         templ.find("insert") != std::string::npos;
}

ParameterValues RequestParameters(const Request& request, int count) {
  ParameterValues params;
  for (int i = 2; i <= count; ++i) params[i - 1] = request.Field(i);
  params[0] = request.Field(1);
  return params;
}

CommandProcessor::CommandProcessor(DbConnection& connection, DbQuery& query,
                                   const ConfigStore& own_file, Timer& watchdog,
                                   const CommandSettings& settings, LogFn add_log_line,
                                   FindTerminalFn find_terminal, const MonotonicClock& clock)
    : connection_(connection),
      query_(query),
      catalog_(connection, own_file),
      watchdog_(watchdog),
      settings_(settings),
      log_(std::move(add_log_line)),
      find_terminal_(std::move(find_terminal)),
      clock_(clock) {}

RequestOutcome CommandProcessor::Handle(ReplySink& terminal, std::string_view reception) {
  const MonotonicClock::TimePoint started = clock_.Now();
  RequestOutcome outcome;
  // What the steps do not answer themselves (a reply that could not be sent, a result column
  // that is missing) ends the request without a reply.
  if (auto e = CatchError([&] { outcome = HandleRequest(terminal, reception); })) {
    log_(kRequestFailure + e->ClassName() + ": " + e->Message());
    outcome = {RequestOutcome::Kind::kNoReply, 0, *e, {}};
  }
  // Every request ends with its link closed, whatever its outcome (records, error record,
  // unknown command, no reply): the next request, from any terminal, starts a session of its
  // own and finds none of this one's user variables, temporary tables or transaction. A link
  // opened ahead that the request did not use is closed too.
  query_.Close();
  connection_.Disconnect();
  outcome.took = clock_.Now() - started;
  return outcome;
}

RequestOutcome CommandProcessor::HandleRequest(ReplySink& terminal, std::string_view reception) {
  std::string name;
  // The steps before the definition's own statements. A failure of one of them is logged; a
  // failure of the database there is also answered with the error record, so the terminal
  // does not wait for its own time-out.
  auto fail = [&](const Error& e, bool database_step) {
    log_(kRequestFailure + e.ClassName() + ": " + e.Message());
    if (database_step && IsDatabaseFailure(e)) {
      Reply(terminal, name + ";error" + settings_.terminator);
      return RequestOutcome{RequestOutcome::Kind::kErrorRecord, 0, e, {}};
    }
    return RequestOutcome{RequestOutcome::Kind::kNoReply, 0, e, {}};
  };

  Request request;
  if (auto e = CatchError([&] { request = ParseRequest(reception); })) return fail(*e, false);
  if (request.IsBlank()) return {};  // no request at all
  name = request.Name();

  DefinitionSource source = DefinitionSource::kOwnFile;
  if (auto e = CatchError([&] { source = DecideSource(); })) return fail(*e, true);
  const bool in_table = source == DefinitionSource::kTable;
  if (in_table && !IsLookupName(name)) {
    log_(kNameNotLookedUp);
    Reply(terminal, kUnknownCommandReply);
    return {RequestOutcome::Kind::kUnknownCommand, 0, std::nullopt, {}};
  }

  // In the table the lookup is the first statement that carries a value: SET NAMES goes first,
  // and its answer confirms how the session reads backslashes before the name is quoted.
  std::optional<CommandDefinition> definition;
  if (auto e = CatchError([&] {
        if (in_table) SetNames();
        definition = catalog_.Find(name, source);
      }))
    return fail(*e, true);
  if (!definition) {
    Reply(terminal, kUnknownCommandReply);
    return {RequestOutcome::Kind::kUnknownCommand, 0, std::nullopt, {}};
  }
  if (definition->parameter_count < 1 || definition->parameter_count > 5)
    return fail(Error::Range("Range check error (ze_ctecky = " +
                             std::to_string(definition->parameter_count) + ")"),
                false);
  ParameterValues params;
  if (auto e =
          CatchError([&] { params = RequestParameters(request, definition->parameter_count); }))
    return fail(*e, false);
  if (!in_table) {
    if (auto e = CatchError([&] { SetNames(); })) return fail(*e, true);
  }

  return Execute(terminal, params, *definition);
}

void CommandProcessor::SetNames() {
  query_.SqlClear();
  query_.SqlAdd(kSetNames);
  query_.ExecuteStatement();
}

void CommandProcessor::OpenLinkAhead(std::string_view reception) {
  // The same test as Request::IsBlank, on the reception before CR, LF and "@" are removed.
  const bool has_text = std::any_of(reception.begin(), reception.end(),
                                    [](unsigned char c) { return c > 0x20 && c != '@'; });
  if (!has_text) return;
  const std::optional<DefinitionSource> source = KnownSource();
  if (source ? *source == DefinitionSource::kTable : !WithinFailedProbeInterval())
    connection_.BeginOpen();
}

std::optional<DefinitionSource> CommandProcessor::KnownSource() const {
  if (settings_.definitions) return settings_.definitions;
  return probed_source_;
}

bool CommandProcessor::WithinFailedProbeInterval() const {
  return last_probe_ && last_probe_failure_ && clock_.Now() - *last_probe_ < kProbeInterval;
}

DefinitionSource CommandProcessor::DecideSource() {
  if (const std::optional<DefinitionSource> source = KnownSource()) return *source;
  // Between two probes the request fails as the last probe did.
  if (WithinFailedProbeInterval()) throw *last_probe_failure_;
  last_probe_ = clock_.Now();
  try {
    probed_source_ = ProbeDefinitionSource(connection_);
  } catch (const Error& e) {
    last_probe_failure_ = e;
    throw;
  }
  return *probed_source_;
}

// The template prepared for the session's confirmed mode, before anything of it is sent: a
// preparation error leaves the request without a reply.
PreparedSql CommandProcessor::Prepare(const std::string& templ) {
  return PrepareTemplate(templ, connection_.Mode());
}

// Binds and fills the prepared template and sets the finished statement on the shared query:
// the parameters go in after preparation, so the statement's shape is the template's.
void CommandProcessor::SetStatement(const PreparedSql& prepared, const ParameterValues& params) {
  query_.SetFinishedStatement(FinishStatement(prepared, params, connection_.Mode()));
}

void CommandProcessor::Reply(ReplySink& terminal, std::string text_without_cr, bool add_cr) {
  std::string line = "Odeslal na " + terminal.PeerAddress() + ": " +
                     std::string(LoggedPart(text_without_cr)) + CutNote(text_without_cr.size());
  if (add_cr) text_without_cr += '\r';
  terminal.Send(std::move(text_without_cr));
  log_(line);
}

void CommandProcessor::ReplyError(ReplySink& terminal, const CommandDefinition& definition) {
  Reply(terminal, definition.name + ";error" + settings_.terminator);
}

// Records of the open result: command name, ";" + each listed column, T, per row; the whole
// text transliterated to ASCII letters, then one CR. The rows are read twice: first for the
// reply's length, so that a reply beyond Max_reply is never built (the terminal gets the error
// record) and the one that is built takes no more than its own size.
RequestOutcome CommandProcessor::AnswerRecords(ReplySink& terminal,
                                               const CommandDefinition& definition) {
  if (query_.AtEnd()) {  // a modifying statement 1 without statement 2: no result to read
    Reply(terminal, "");
    return {RequestOutcome::Kind::kRecords, 0, std::nullopt, {}};
  }
  const int m = TokenCount(definition.result_columns, '|');
  std::vector<DbField*> columns;
  columns.reserve(static_cast<size_t>(m));
  for (int i = 0; i < m; ++i)
    columns.push_back(&query_.ColumnByName(TokenAt(definition.result_columns, '|', i)));

  const size_t per_record = definition.name.size() + settings_.terminator.size() + columns.size();
  size_t length = 1;  // the final CR
  uint64_t rows = 0;
  for (; !query_.AtEnd(); query_.NextRow()) {
    ++rows;
    length += per_record;
    for (const DbField* column : columns) length += ValueLength(*column);
  }
  if (length > settings_.max_reply) {
    const std::string why = kReplyTooLong + definition.name + kReplyTooLongMiddle +
                            std::to_string(length) + kReplyTooLongEnd +
                            std::to_string(settings_.max_reply);
    ReplyError(terminal, definition);
    log_(why);
    return {RequestOutcome::Kind::kErrorRecord, rows, Error::Range(why), {}};
  }

  std::string records;
  records.reserve(length);
  for (query_.FirstRow(); !query_.AtEnd(); query_.NextRow()) {
    records += definition.name;
    for (const DbField* column : columns) {
      records += ';';
      if (column->HoldsBytes())
        records += column->Bytes();
      else
        records += column->AsString();
    }
    records += settings_.terminator;
  }
  Reply(terminal, TranslitToAscii(std::move(records)));
  return {RequestOutcome::Kind::kRecords, rows, std::nullopt, {}};
}

void CommandProcessor::Arm() {
  if (settings_.watchdog_on) watchdog_.SetEnabled(true);
}

void CommandProcessor::Disarm() {
  watchdog_.SetEnabled(false);
}

// Template 1, then the branch: a reading one without rows ends with the empty result; without
// template 2 its records (or the lone CR of a modifying one) are the reply; otherwise template 2
// runs and its records or the empty result are the reply. A failed statement ends the request
// with the error record; the query stays open and the watchdog armed, and Handle closes the
// link.
RequestOutcome CommandProcessor::Execute(ReplySink& terminal, const ParameterValues& params,
                                         const CommandDefinition& definition) {
  watched_terminal_ = terminal.Id();
  watched_name_ = definition.name;
  const bool modifying = IsModifyingTemplate(definition.statement1);

  const PreparedSql first = Prepare(definition.statement1);
  if (auto failure = RunTemplate(first, params, /*open=*/!modifying))
    return AnswerFailure(terminal, definition, *failure);
  if (!modifying && query_.NoRows()) return AnswerEmptyResult(terminal, definition);
  if (definition.statement2.empty()) return AnswerRecords(terminal, definition);

  query_.Close();
  const PreparedSql second = Prepare(definition.statement2);
  if (auto failure = RunTemplate(second, params, /*open=*/true))
    return AnswerFailure(terminal, definition, *failure);
  if (query_.NoRows()) {
    if (auto failure = CatchError([&] { ResetUserVariables(definition.statement1); }))
      return AnswerFailure(terminal, definition, *failure);
    return AnswerEmptyResult(terminal, definition);
  }
  RequestOutcome outcome = AnswerRecords(terminal, definition);
  ResetUserVariables(definition.statement2);
  return outcome;
}

// Sends a template statement under the watchdog: opened for its result, or executed. A failure
// leaves the watchdog armed and comes back as the value.
std::optional<Error> CommandProcessor::RunTemplate(const PreparedSql& prepared,
                                                   const ParameterValues& params, bool open) {
  Arm();
  if (auto failure = CatchError([&] {
        SetStatement(prepared, params);
        if (open)
          query_.Open();
        else
          query_.ExecuteStatement();
      }))
    return failure;
  Disarm();
  return std::nullopt;
}

// The error record, then the log line that says why the statement failed.
RequestOutcome CommandProcessor::AnswerFailure(ReplySink& terminal,
                                               const CommandDefinition& definition,
                                               const Error& failure) {
  ReplyError(terminal, definition);
  std::string line =
      kCommandFailure + definition.name + ": " + failure.ClassName() + ": " + failure.Message();
  if (failure.Code() != 0) line += " (#" + std::to_string(failure.Code()) + ")";
  log_(line);
  return {RequestOutcome::Kind::kErrorRecord, 0, failure, {}};
}

RequestOutcome CommandProcessor::AnswerEmptyResult(ReplySink& terminal,
                                                   const CommandDefinition& definition) {
  Reply(terminal, definition.name + ";" + definition.empty_result_text);
  return {RequestOutcome::Kind::kEmptyResult, 0, std::nullopt, {}};
}

RequestOutcome CommandProcessor::OnWatchdogExpired() {
  watchdog_.SetEnabled(false);
  connection_.Disconnect();
  // The terminal of the watched statement may have gone meanwhile; then there is no one to tell.
  if (!watched_terminal_) return {};
  const std::unique_ptr<ReplySink> terminal = find_terminal_(*watched_terminal_);
  if (!terminal) return {};
  Reply(*terminal, watched_name_ + ";timeout" + settings_.terminator, /*add_cr=*/false);
  return {RequestOutcome::Kind::kTimeoutRecord, 0, std::nullopt, {}};
}

// Every piece after an "@" names a variable up to its first ":"; each is set to NULL by a
// statement of its own, in order, on the connection that ran the templates.
void CommandProcessor::ResetUserVariables(const std::string& text) {
  const int pieces = TokenCount(text, '@');
  for (int i = 1; i < pieces; ++i) {
    const std::string name = TokenAt(TokenAt(text, '@', i), ':', 0);
    query_.Close();
    query_.SqlClear();
    query_.SqlAdd("select @" + name + ":=null");
    query_.ExecuteStatement();
  }
}

}  // namespace larvek
