#include "commands/command_flow.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "commands/text_utils.h"
#include "db/db_error.h"
#include "db/db_field.h"

namespace larvek {
namespace {

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
size_t ValueLength(const DbField& field, const RegionalSettings& formats) {
  return field.HoldsBytes() ? field.Bytes().size() : field.AsString(formats).size();
}

// The outcome of a request that found `definition`, with its name for the counts per command.
RequestOutcome Named(const CommandDefinition& definition, RequestOutcome outcome) {
  outcome.command = definition.own_name;
  return outcome;
}

RequestOutcome Ended(RequestOutcome::Kind kind, std::optional<Error> failure = std::nullopt) {
  return {kind, 0, std::move(failure), {}, {}, false};
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

void SendReply(ReplySink& terminal, std::string text, bool add_cr, const LogFn& log) {
  const std::string_view logged = LoggedPart(text);
  std::string line = "Odeslal na ";
  line.reserve(line.size() + 48 + logged.size());
  line += terminal.PeerAddress();
  line += ": ";
  line += logged;
  if (logged.size() < text.size()) line += CutNote(text.size());
  if (add_cr) text += '\r';
  terminal.Send(std::move(text));
  log(line);
}

CommandFlow::CommandFlow(CommandCache& cache, const CommandSettings& settings, LogFn log,
                         Host& host)
    : cache_(cache), settings_(settings), log_(std::move(log)), host_(host) {}

Task<RequestOutcome> CommandFlow::Run(CommandLink& link, ReplySink& terminal,
                                      std::string reception) {
  std::string name;
  // A step before the definition's own statements failed: it is logged, and a failure of the
  // database there is also answered with the error record.
  auto fail = [&](const Error& e, bool database_step) {
    log_(kRequestFailure + e.ClassName() + ": " + e.Message());
    if (database_step && IsDatabaseFailure(e)) {
      Reply(terminal, name + ";error" + settings_.terminator);
      return Ended(RequestOutcome::Kind::kErrorRecord, e);
    }
    return Ended(RequestOutcome::Kind::kNoReply, e);
  };

  Request request;
  if (auto e = CatchError([&] { request = ParseRequest(reception); })) co_return fail(*e, false);
  if (request.IsBlank()) co_return RequestOutcome{};  // no request at all
  name = request.Name();

  std::optional<Error> failure;
  DefinitionSource source = DefinitionSource::kOwnFile;
  try {
    const std::optional<DefinitionSource> known = host_.KnownSource();
    source = known ? *known : co_await host_.DecideSource(link);
  } catch (const Error& e) {
    failure = e;
  }
  if (failure) co_return fail(*failure, true);
  const bool in_table = source == DefinitionSource::kTable;
  if (in_table && !IsLookupName(name)) {
    log_(kNameNotLookedUp);
    Reply(terminal, kUnknownCommandReply);
    co_return Ended(RequestOutcome::Kind::kUnknownCommand);
  }

  // In the table the lookup is the first statement that carries a value: SET NAMES goes first,
  // and its answer confirms how the session reads backslashes before the name is quoted.
  std::shared_ptr<const CommandDefinition> definition;
  try {
    if (in_table) {
      co_await ConnectAndSetNames(link);
      std::optional<CommandDefinition> row = co_await LookUpInTable(link, name, settings_.regional);
      if (row) definition = std::make_shared<const CommandDefinition>(std::move(*row));
    } else {
      definition = cache_.definitions.Find(name);
    }
  } catch (const Error& e) {
    failure = e;
  }
  if (failure) co_return fail(*failure, true);
  host_.LookedUp(name, definition.get());
  if (!definition) {
    Reply(terminal, kUnknownCommandReply);
    co_return Ended(RequestOutcome::Kind::kUnknownCommand);
  }
  if (definition->parameter_count < 1 || definition->parameter_count > 5)
    co_return Named(*definition,
                    fail(Error::Range("Range check error (ze_ctecky = " +
                                      std::to_string(definition->parameter_count) + ")"),
                         false));
  ParameterValues params;
  if (auto e =
          CatchError([&] { params = RequestParameters(request, definition->parameter_count); }))
    co_return Named(*definition, fail(*e, false));
  if (!in_table) {
    try {
      co_await ConnectAndSetNames(link);
    } catch (const Error& e) {
      failure = e;
    }
    if (failure) co_return Named(*definition, fail(*failure, true));
  }

  co_return Named(*definition, co_await Execute(link, terminal, params, *definition));
}

// Template 1, then the branch: a reading one without rows ends with the empty result; without
// template 2 its records (or the lone CR of a modifying one) are the reply; otherwise template 2
// runs and its records or the empty result are the reply. A failed statement ends the request
// with the error record (the host hears StatementFailed instead of StatementEnded).
Task<RequestOutcome> CommandFlow::Execute(CommandLink& link, ReplySink& terminal,
                                          const ParameterValues& params,
                                          const CommandDefinition& definition) {
  host_.Executing(definition, params, terminal);
  const bool modifying = IsModifyingTemplate(definition.statement1);

  // A template is prepared for the session's confirmed mode before anything of it is sent; a
  // preparation error leaves the request without a reply.
  // The mode is asked of the link only while the session has not confirmed it.
  std::optional<EscapeMode> mode = link.ConfirmedMode();
  if (!mode) mode = co_await link.Mode();
  const std::shared_ptr<const StatementPlan> first = cache_.plans.For(definition.statement1, *mode);
  StatementRun one =
      co_await RunTemplate(link, *first, params, StatementRole::kTemplate1, /*open=*/!modifying);
  if (one.failure) co_return AnswerFailure(terminal, definition, *one.failure);
  if (!modifying && one.rows->NoRows()) co_return AnswerEmptyResult(terminal, definition);
  if (definition.statement2.empty()) co_return AnswerRecords(terminal, definition, one.rows);

  mode = link.ConfirmedMode();
  if (!mode) mode = co_await link.Mode();
  const std::shared_ptr<const StatementPlan> second =
      cache_.plans.For(definition.statement2, *mode);
  StatementRun two =
      co_await RunTemplate(link, *second, params, StatementRole::kTemplate2, /*open=*/true);
  if (two.failure) co_return AnswerFailure(terminal, definition, *two.failure);
  if (two.rows->NoRows()) {
    std::optional<Error> failure;
    try {
      co_await ResetUserVariables(link, definition.statement1);
    } catch (const Error& e) {
      failure = e;
    } catch (const std::exception& e) {
      failure = Error::Generic(e.what());
    }
    if (failure) co_return AnswerFailure(terminal, definition, *failure);
    co_return AnswerEmptyResult(terminal, definition);
  }
  RequestOutcome outcome = AnswerRecords(terminal, definition, two.rows);
  co_await ResetUserVariables(link, definition.statement2);
  co_return outcome;
}

Task<CommandFlow::StatementRun> CommandFlow::RunTemplate(CommandLink& link,
                                                         const StatementPlan& plan,
                                                         const ParameterValues& params,
                                                         StatementRole role, bool open) {
  host_.StatementStarts();
  StatementRun run;
  try {
    std::optional<EscapeMode> mode = link.ConfirmedMode();
    if (!mode) mode = co_await link.Mode();
    std::string statement = plan.Finish(params, *mode);
    if (open)
      run.rows = co_await link.Open(std::move(statement), role);
    else
      co_await link.Execute(std::move(statement), role);
  } catch (const Error& e) {
    run.failure = e;
  } catch (const std::exception& e) {
    run.failure = Error::Generic(e.what());
  }
  if (run.failure)
    host_.StatementFailed(*run.failure);
  else
    host_.StatementEnded();
  co_return run;
}

Task<void> CommandFlow::ConnectAndSetNames(CommandLink& link) {
  co_await link.Connect();
  static const std::string set_names = kSetNames;  // made once: the plans are found by text
  co_await ExecuteFixed(link, set_names, StatementRole::kSetNames);
}

Task<void> CommandFlow::ExecuteFixed(CommandLink& link, const std::string& text,
                                     StatementRole role) {
  const EscapeMode mode = link.ConfirmedMode().value_or(EscapeMode::kBackslash);
  co_await link.Execute(cache_.plans.For(text, mode)->Finish(mode), role);
}

// Every piece after an "@" names a variable up to its first ":"; each is set to NULL by a
// statement of its own, in order, on the link that ran the templates.
Task<void> CommandFlow::ResetUserVariables(CommandLink& link, const std::string& text) {
  const int pieces = TokenCount(text, '@');
  for (int i = 1; i < pieces; ++i) {
    const std::string name = TokenAt(TokenAt(text, '@', i), ':', 0);
    co_await ExecuteFixed(link, "select @" + name + ":=null", StatementRole::kReset);
  }
}

void CommandFlow::Reply(ReplySink& terminal, std::string text_without_cr) const {
  SendReply(terminal, std::move(text_without_cr), /*add_cr=*/true, log_);
}

// The error record, then the log line that says why the statement failed.
RequestOutcome CommandFlow::AnswerFailure(ReplySink& terminal, const CommandDefinition& definition,
                                          const Error& failure) const {
  Reply(terminal, definition.name + ";error" + settings_.terminator);
  std::string line =
      kCommandFailure + definition.name + ": " + failure.ClassName() + ": " + failure.Message();
  if (failure.Code() != 0) line += " (#" + std::to_string(failure.Code()) + ")";
  log_(line);
  return Ended(RequestOutcome::Kind::kErrorRecord, failure);
}

RequestOutcome CommandFlow::AnswerEmptyResult(ReplySink& terminal,
                                              const CommandDefinition& definition) const {
  Reply(terminal, definition.name + ";" + definition.empty_result_text);
  return Ended(RequestOutcome::Kind::kEmptyResult);
}

// Records of the result: command name, ";" + each listed column, T, per row; the whole text
// transliterated to ASCII letters, then one CR. The rows are read twice: first for the reply's
// length, so that a reply beyond Max_reply is never built (the terminal gets the error record)
// and the one that is built takes no more than its own size. No result (a modifying statement 1
// without statement 2) is answered with a lone CR.
RequestOutcome CommandFlow::AnswerRecords(ReplySink& terminal, const CommandDefinition& definition,
                                          ResultRows* rows) const {
  if (!rows || rows->AtEnd()) {
    Reply(terminal, "");
    return Ended(RequestOutcome::Kind::kRecords);
  }
  const int m = TokenCount(definition.result_columns, '|');
  std::vector<DbField*> columns;
  columns.reserve(static_cast<size_t>(m));
  for (int i = 0; i < m; ++i)
    columns.push_back(&rows->ColumnByName(TokenAt(definition.result_columns, '|', i)));

  const size_t per_record = definition.name.size() + settings_.terminator.size() + columns.size();
  size_t length = 1;  // the final CR
  uint64_t count = 0;
  for (; !rows->AtEnd(); rows->NextRow()) {
    ++count;
    length += per_record;
    for (const DbField* column : columns) length += ValueLength(*column, settings_.regional);
  }
  if (length > settings_.max_reply) {
    const std::string why = kReplyTooLong + definition.name + kReplyTooLongMiddle +
                            std::to_string(length) + kReplyTooLongEnd +
                            std::to_string(settings_.max_reply);
    Reply(terminal, definition.name + ";error" + settings_.terminator);
    log_(why);
    return {RequestOutcome::Kind::kErrorRecord, count, Error::Range(why), {}, {}, false};
  }

  std::string records;
  records.reserve(length);
  for (rows->FirstRow(); !rows->AtEnd(); rows->NextRow()) {
    records += definition.name;
    for (const DbField* column : columns) {
      records += ';';
      if (column->HoldsBytes())
        records += column->Bytes();
      else
        records += column->AsString(settings_.regional);
    }
    records += settings_.terminator;
  }
  Reply(terminal, TranslitToAscii(std::move(records)));
  return {RequestOutcome::Kind::kRecords, count, std::nullopt, {}, {}, false};
}

}  // namespace larvek
