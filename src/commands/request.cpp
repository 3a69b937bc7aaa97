// Request parsing and command-definition lookup.
#include <vector>

#include "app/error.h"
#include "app/ini_storage.h"
#include "commands/command_processor.h"
#include "commands/placeholders.h"
#include "commands/text_utils.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/tcp_srv_client.h"

namespace larvek {
namespace {

const char kUnknownCommandReply[] = "NEZNAMY PRIKAZ!";

bool IsBlankLine(const std::string& line) {
  for (unsigned char c : line)
    if (c > 0x20) return false;
  return true;
}

// Field i of the request; fields exist from 0 to n, where n is the token count.
const std::string& Field(const std::vector<std::string>& fields, int i) {
  if (i < 0 || i >= static_cast<int>(fields.size()))
    throw Error("EStringListError", "List index out of bounds (" + std::to_string(i) + ")");
  return fields[i];
}

}  // namespace

TCommandProcessor::TCommandProcessor(TDbConnection& connection, TDbQuery& query, TIniStorage& ini,
                                     Timer& watchdog, const CommandSettings& settings,
                                     LogFn add_log_line)
    : connection_(connection),
      query_(query),
      ini_(ini),
      watchdog_(watchdog),
      settings_(settings),
      log_(std::move(add_log_line)) {}

void TCommandProcessor::zpracPrikaz(TTcpSrvClient& client) {
  std::string line = client.ReceivedLine;
  line = ReplaceAll(line, "\n", "");
  line = ReplaceAll(line, "\r", "");
  line = ReplaceAll(line, "@", "");
  const int n = TokenCount(line, ';');
  if (IsBlankLine(line)) return;

  std::vector<std::string> fields;
  fields.reserve(n + 1);
  for (int i = 0; i <= n; ++i) fields.push_back(TokenAt(line, ';', i));

  const std::string& name = fields[0];
  int ze_ctecky = 0;
  if (settings_.use_ini_definitions)
    LookupInIni(name, ze_ctecky);
  else
    LookupInTable(name, ze_ctecky);

  if (ze_ctecky == 0) {
    Reply(client, kUnknownCommandReply);
    return;
  }
  if (ze_ctecky < 1 || ze_ctecky > 5) return;

  // Parameters beyond the command's count stay empty; fields are fetched 2..k, then 1, so a
  // request with too few fields fails before anything runs.
  std::string params[5];
  for (int i = 2; i <= ze_ctecky; ++i) params[i - 1] = Field(fields, i);
  params[0] = Field(fields, 1);
  zpracQ(client, params[0], params[1], params[2], params[3], params[4]);
}

void TCommandProcessor::LookupInTable(const std::string& name, int& ze_ctecky) {
  TDbQuery lookup(connection_);
  // The name is a value put into the prepared statement: nothing in it can change the statement.
  lookup.SetSqlTemplate("select * from server_term where operace = %a%",
                        [&name](std::string_view statement, EscapeMode mode) {
                          return FillPlaceholders(statement, {name}, mode);
                        });
  lookup.Open();
  ze_ctecky = lookup.ColumnByName("ze_ctecky").AsInteger();
  current_.do_ctecky = lookup.ColumnByName("do_ctecky").AsString();
  current_.prikaz_SQL1 = lookup.ColumnByName("prikaz_SQL1").AsString();
  current_.prikaz_SQL2 = lookup.ColumnByName("prikaz_SQL2").AsString();
  current_.chyba = lookup.ColumnByName("chyba").AsString();
  current_.name = name;
  lookup.Close();
}

void TCommandProcessor::LookupInIni(const std::string& name, int& ze_ctecky) {
  ini_.IniSection = name;
  ze_ctecky = ini_.ReadNumber("Ze_ctecky", 0);
  current_.do_ctecky = ini_.ReadText("Do_ctecky", "");
  current_.prikaz_SQL1 = ini_.ReadText("Prikaz_SQL1", "");
  current_.prikaz_SQL2 = ini_.ReadText("Prikaz_SQL2", "");
  current_.chyba = ini_.ReadText("Chyba", "*****");
  current_.name = name;
  ini_.IniSection = "";
}

}  // namespace larvek
