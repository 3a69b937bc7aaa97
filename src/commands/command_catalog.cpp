#include "commands/command_catalog.h"

#include "commands/placeholders.h"
#include "config/config_store.h"
#include "db/db_connection.h"
#include "db/db_query.h"

namespace larvek {
namespace {

const char kLookupTemplate[] = "select * from server_term where operace = %a%";

// A count of 0 means the name has no command.
std::optional<CommandDefinition> Known(CommandDefinition definition) {
  if (definition.parameter_count == 0) return std::nullopt;
  return definition;
}

}  // namespace

DefinitionSource ProbeDefinitionSource(DbConnection& connection) {
  DbQuery probe(connection);
  // "_" is a pattern character of LIKE; a table named like server_term but for one letter
  // counts too, as it always has.
  probe.SqlAdd("SHOW TABLES LIKE \"server_term\"");
  probe.Open();
  return probe.NoRows() ? DefinitionSource::kOwnFile : DefinitionSource::kTable;
}

CommandCatalog::CommandCatalog(DbConnection& connection, const ConfigStore& own_file)
    : connection_(connection), own_file_(own_file) {}

std::optional<CommandDefinition> CommandCatalog::Find(const std::string& name,
                                                      DefinitionSource source) const {
  return source == DefinitionSource::kTable ? FindInTable(name) : FindInOwnFile(name);
}

std::optional<CommandDefinition> CommandCatalog::FindInTable(const std::string& name) const {
  DbQuery lookup(connection_);
  // The name is a value put into the prepared statement, quoted for the mode the session has
  // confirmed: nothing in it can change the statement.
  const EscapeMode mode = connection_.Mode();
  lookup.SetFinishedStatement(
      FinishStatement(PrepareTemplate(kLookupTemplate, mode), {name}, mode));
  lookup.Open();
  CommandDefinition definition;
  definition.name = name;
  definition.parameter_count = lookup.ColumnByName("ze_ctecky").AsInteger();
  definition.result_columns = lookup.ColumnByName("do_ctecky").AsString();
  definition.statement1 = lookup.ColumnByName("prikaz_SQL1").AsString();
  definition.statement2 = lookup.ColumnByName("prikaz_SQL2").AsString();
  definition.empty_result_text = lookup.ColumnByName("chyba").AsString();
  lookup.Close();
  return Known(std::move(definition));
}

std::optional<CommandDefinition> CommandCatalog::FindInOwnFile(const std::string& name) const {
  CommandDefinition definition;
  definition.name = name;
  definition.parameter_count = own_file_.ReadNumber(name, "Ze_ctecky", 0);
  definition.result_columns = own_file_.ReadText(name, "Do_ctecky", "");
  definition.statement1 = own_file_.ReadText(name, "Prikaz_SQL1", "");
  definition.statement2 = own_file_.ReadText(name, "Prikaz_SQL2", "");
  definition.empty_result_text = own_file_.ReadText(name, "Chyba", "*****");
  return Known(std::move(definition));
}

}  // namespace larvek
