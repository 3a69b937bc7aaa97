// Request parsing and command-definition lookup.
#include "commands/request.h"

#include <vector>

#include "base/error.h"
#include "commands/command_processor.h"
#include "commands/placeholders.h"
#include "commands/text_utils.h"
#include "config/config_store.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/terminal_connection.h"

namespace larvek {
namespace {

const char kUnknownCommandReply[] = "NEZNAMY PRIKAZ!";

// A separator position must fit in 16 bits (see TokenCount).
constexpr size_t kMaxSeparatorDistance = 65535;

}  // namespace

bool Request::IsBlank() const {
  for (unsigned char c : text)
    if (c > 0x20) return false;
  return true;
}

const std::string& Request::Field(int i) const {
  if (i < 0 || i >= static_cast<int>(fields.size()))
    throw Error::StringList("List index out of bounds (" + std::to_string(i) + ")");
  return fields[i];
}

Request ParseRequest(std::string_view reception) {
  Request request;
  request.text.reserve(reception.size());
  for (char c : reception)
    if (c != '\r' && c != '\n' && c != '@') request.text += c;
  const std::string& text = request.text;
  size_t start = 0;
  while (true) {
    const size_t sep = text.find(';', start);
    if (sep == std::string::npos) {
      request.fields.emplace_back(text, start);
      break;
    }
    if (sep - start + 1 > kMaxSeparatorDistance) ThrowRangeError();
    request.fields.emplace_back(text, start, sep - start);
    start = sep + 1;
  }
  // A text that does not end with ";" has one more, empty field (TokenAt past the count).
  if (!text.empty() && text.back() != ';') request.fields.emplace_back();
  return request;
}

CommandProcessor::CommandProcessor(DbConnection& connection, DbQuery& query, ConfigStore& ini,
                                   Timer& watchdog, const CommandSettings& settings,
                                   LogFn add_log_line)
    : connection_(connection),
      query_(query),
      ini_(ini),
      watchdog_(watchdog),
      settings_(settings),
      log_(std::move(add_log_line)) {}

void CommandProcessor::Handle(TerminalConnection& client) {
  const Request request = ParseRequest(client.received_text);
  if (request.IsBlank()) return;

  const std::string& name = request.Name();
  int parameter_count = 0;
  if (settings_.use_ini_definitions)
    LookupInIni(name, parameter_count);
  else
    LookupInTable(name, parameter_count);

  if (parameter_count == 0) {
    Reply(client, kUnknownCommandReply);
    return;
  }
  if (parameter_count < 1 || parameter_count > 5) return;

  // Parameters beyond the command's count stay empty; fields are fetched 2..k, then 1, so a
  // request with too few fields fails before anything runs.
  std::string params[5];
  for (int i = 2; i <= parameter_count; ++i) params[i - 1] = request.Field(i);
  params[0] = request.Field(1);
  Execute(client, params[0], params[1], params[2], params[3], params[4]);
}

void CommandProcessor::LookupInTable(const std::string& name, int& parameter_count) {
  DbQuery lookup(connection_);
  // The name is a value put into the prepared statement: nothing in it can change the statement.
  lookup.SetSqlTemplate("select * from server_term where operace = %a%",
                        [&name](std::string_view statement, EscapeMode mode) {
                          return FillPlaceholders(statement, {name}, mode);
                        });
  lookup.Open();
  parameter_count = lookup.ColumnByName("ze_ctecky").AsInteger();
  current_.result_columns = lookup.ColumnByName("do_ctecky").AsString();
  current_.statement1 = lookup.ColumnByName("prikaz_SQL1").AsString();
  current_.statement2 = lookup.ColumnByName("prikaz_SQL2").AsString();
  current_.empty_result_text = lookup.ColumnByName("chyba").AsString();
  current_.name = name;
  lookup.Close();
}

void CommandProcessor::LookupInIni(const std::string& name, int& parameter_count) {
  ini_.IniSection = name;
  parameter_count = ini_.ReadNumber("Ze_ctecky", 0);
  current_.result_columns = ini_.ReadText("Do_ctecky", "");
  current_.statement1 = ini_.ReadText("Prikaz_SQL1", "");
  current_.statement2 = ini_.ReadText("Prikaz_SQL2", "");
  current_.empty_result_text = ini_.ReadText("Chyba", "*****");
  current_.name = name;
  ini_.IniSection = "";
}

}  // namespace larvek
