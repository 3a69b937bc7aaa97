#include "commands/command_processor.h"

#include <algorithm>

#include "base/error.h"
#include "commands/text_utils.h"
#include "db/db_connection.h"
#include "db/db_error.h"
#include "db/db_query.h"
#include "platform/timer.h"

namespace larvek {
namespace {

// Log line of a request that failed: + class + ": " + message.
const char kRequestFailure[] =
    "Chyba po\x9E"
    "adavku: ";

// A failure of the database itself (it refused a statement or could not be reached), as
// opposed to one caused by the request or the definition.
bool IsDatabaseFailure(const Error& error) {
  return error.Kind() == ErrorKind::kDatabase &&
         (error.Code() != 0 || error.Message() == kConnectFailed);
}

}  // namespace

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
  // A link opened ahead for a request that ends before using it (a reception that does not
  // parse) is closed on the way out: the database would drop the half-made link before the
  // next request came.
  struct CloseUnusedOpening {
    DbConnection& connection;
    ~CloseUnusedOpening() {
      if (connection.Opening()) connection.Disconnect();
    }
  } close_unused_opening{connection_};
  std::string name;
  // True while a database failure is to be answered with the error record.
  bool answer_database_failure = false;
  try {
    const Request request = ParseRequest(reception);
    if (request.IsBlank()) return;  // no request at all
    name = request.Name();

    answer_database_failure = true;
    const std::optional<CommandDefinition> definition = catalog_.Find(name, DecideSource());
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
    query_.SqlClear();
    query_.SqlAdd(kSetNames);
    query_.ExecuteStatement();
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

void CommandProcessor::Reply(ReplySink& terminal, const std::string& text_without_cr, bool add_cr) {
  terminal.Send(add_cr ? text_without_cr + "\r" : text_without_cr);
  log_("Odeslal na " + terminal.PeerAddress() + ": " + text_without_cr);
}

// Records of the open result: command name, ";" + each listed column, T, per row; the whole
// text transliterated to ASCII letters, then one CR.
void CommandProcessor::SendRecords(ReplySink& terminal, const CommandDefinition& definition) {
  const int m = TokenCount(definition.result_columns, '|');
  std::string records;
  while (!query_.AtEnd()) {
    records += definition.name;
    for (int i = 0; i < m; ++i) {
      records += ';';
      records += query_.ColumnByName(TokenAt(definition.result_columns, '|', i)).AsString();
    }
    records += settings_.terminator;
    query_.NextRow();
  }
  Reply(terminal, TranslitToAscii(records));
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
  auto guarded = [&](auto&& region) -> bool {
    try {
      region();
      return true;
    } catch (const std::exception&) {
      Reply(terminal, definition.name + ";error" + settings_.terminator);
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
