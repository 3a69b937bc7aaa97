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

void CommandProcessor::Handle(ReplySink& terminal, std::string_view reception) {
  // Every request ends with its link closed, whatever its outcome (records, error record,
  // unknown command, no reply): the next request, from any terminal, starts a session of its
  // own and finds none of this one's user variables, temporary tables or transaction. A link
  // opened ahead that the request did not use is closed too.
  struct CloseLinkOnExit {
    DbQuery& query;
    DbConnection& connection;
    ~CloseLinkOnExit() {
      query.Close();
      connection.Disconnect();
    }
  } close_link{query_, connection_};
  std::string name;
  // True while a database failure is to be answered with the error record.
  bool answer_database_failure = false;
  try {
    const Request request = ParseRequest(reception);
    if (request.IsBlank()) return;  // no request at all
    name = request.Name();

    answer_database_failure = true;
    const DefinitionSource source = DecideSource();
    answer_database_failure = false;
    const bool in_table = source == DefinitionSource::kTable;
    if (in_table && !IsLookupName(name)) {
      log_(kNameNotLookedUp);
      Reply(terminal, kUnknownCommandReply);
      return;
    }

    answer_database_failure = true;
    // In the table the lookup is the first statement that carries a value: SET NAMES goes
    // first, and its answer confirms how the session reads backslashes before the name is
    // quoted.
    if (in_table) SetNames();
    const std::optional<CommandDefinition> definition = catalog_.Find(name, source);
    answer_database_failure = false;
    if (!definition) {
      Reply(terminal, kUnknownCommandReply);
      return;
    }
    if (definition->parameter_count < 1 || definition->parameter_count > 5) {
      log_(std::string(kRequestFailure) + kRangeError +
           ": Range check error (ze_ctecky = " + std::to_string(definition->parameter_count) + ")");
      return;
    }
    const ParameterValues params = RequestParameters(request, definition->parameter_count);

    answer_database_failure = true;
    if (!in_table) SetNames();
    answer_database_failure = false;

    Execute(terminal, params, *definition);
  } catch (const Error& e) {
    log_(kRequestFailure + e.ClassName() + ": " + e.Message());
    if (answer_database_failure && IsDatabaseFailure(e))
      Reply(terminal, name + ";error" + settings_.terminator);
  } catch (const std::exception& e) {
    log_(std::string(kRequestFailure) + "Exception: " + e.what());
  }
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

// Sets the template as the shared query's text; the parameters go into its placeholders only
// when the statement is sent, after preparation, so the statement's shape is the template's.
void CommandProcessor::SetTemplate(const std::string& templ, const ParameterValues& params) {
  // The template as the one line of the query's text (the text of SqlClear + SqlAdd(templ)),
  // prepared once.
  query_.SetSqlTemplate(templ + "\r\n", [params](std::string_view statement, EscapeMode mode) {
    return FillPlaceholders(statement, params, mode);
  });
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
void CommandProcessor::SendRecords(ReplySink& terminal, const CommandDefinition& definition) {
  if (query_.AtEnd()) {  // a modifying statement 1 without statement 2: no result to read
    Reply(terminal, "");
    return;
  }
  const int m = TokenCount(definition.result_columns, '|');
  std::vector<DbField*> columns;
  columns.reserve(static_cast<size_t>(m));
  for (int i = 0; i < m; ++i)
    columns.push_back(&query_.ColumnByName(TokenAt(definition.result_columns, '|', i)));

  const size_t per_record = definition.name.size() + settings_.terminator.size() + columns.size();
  size_t length = 1;  // the final CR
  for (; !query_.AtEnd(); query_.NextRow()) {
    length += per_record;
    for (const DbField* column : columns) length += ValueLength(*column);
  }
  if (length > settings_.max_reply) {
    ReplyError(terminal, definition);
    log_(kReplyTooLong + definition.name + kReplyTooLongMiddle + std::to_string(length) +
         kReplyTooLongEnd + std::to_string(settings_.max_reply));
    return;
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
}

void CommandProcessor::SendEmptyResult(ReplySink& terminal, const CommandDefinition& definition) {
  Reply(terminal, definition.name + ";" + definition.empty_result_text);
}

void CommandProcessor::Finish() {
  query_.Close();
  connection_.Disconnect();
}

void CommandProcessor::Arm() {
  if (settings_.watchdog_on) watchdog_.SetEnabled(true);
}

void CommandProcessor::Disarm() {
  watchdog_.SetEnabled(false);
}

void CommandProcessor::Execute(ReplySink& terminal, const ParameterValues& params,
                               const CommandDefinition& definition) {
  watched_terminal_ = terminal.Id();
  watched_name_ = definition.name;

  const std::string& templ1 = definition.statement1;
  const std::string& templ2 = definition.statement2;
  const bool modifying = IsModifyingTemplate(templ1);
  SetTemplate(templ1, params);

  // Each guarded region ends the request with the error reply when anything inside it fails;
  // the query stays open, the link stays up and the watchdog stays armed.
  // The log line after the error record says why the statement failed.
  auto guarded = [&](auto&& region) -> bool {
    try {
      region();
      return true;
    } catch (const Error& e) {
      ReplyError(terminal, definition);
      std::string line =
          kCommandFailure + definition.name + ": " + e.ClassName() + ": " + e.Message();
      if (e.Code() != 0) line += " (#" + std::to_string(e.Code()) + ")";
      log_(line);
      return false;
    } catch (const std::exception& e) {
      ReplyError(terminal, definition);
      log_(kCommandFailure + definition.name + ": Exception: " + e.what());
      return false;
    }
  };
  // Opens the query under the watchdog; without rows answers the empty result, after `reset`.
  // True when the result has rows.
  auto open_watched = [&](const std::string* reset) {
    Arm();
    query_.Open();
    Disarm();
    if (!query_.NoRows()) return true;
    if (reset) ResetUserVariables(*reset);
    SendEmptyResult(terminal, definition);
    Finish();
    return false;
  };

  bool has_rows = true;
  if (modifying) {
    // Executed on its own also when there is no second template; the terminal then gets the
    // reply of an empty record set (a lone CR).
    if (!guarded([&] {
          Arm();
          query_.ExecuteStatement();
          Disarm();
        }))
      return;
  } else if (!guarded([&] { has_rows = open_watched(nullptr); }) || !has_rows) {
    return;
  }

  if (templ2.empty()) {
    SendRecords(terminal, definition);
    Finish();
    return;
  }

  query_.Close();
  SetTemplate(templ2, params);
  if (!guarded([&] { has_rows = open_watched(&templ1); }) || !has_rows) return;

  SendRecords(terminal, definition);
  ResetUserVariables(templ2);
  Finish();
}

void CommandProcessor::OnWatchdogExpired() {
  watchdog_.SetEnabled(false);
  connection_.Disconnect();
  // The terminal of the watched statement may have gone meanwhile; then there is no one to tell.
  if (!watched_terminal_) return;
  const std::unique_ptr<ReplySink> terminal = find_terminal_(*watched_terminal_);
  if (!terminal) return;
  Reply(*terminal, watched_name_ + ";timeout" + settings_.terminator, /*add_cr=*/false);
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
