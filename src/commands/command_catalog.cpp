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
  CommandDefinition definition = DefinitionFromRow(lookup, name);
  lookup.Close();
  return Known(std::move(definition));
}

std::optional<CommandDefinition> CommandCatalog::FindInOwnFile(const std::string& name) const {
  return Known(DefinitionFromSection(own_file_, name));
}

CommandDefinition DefinitionFromRow(DbQuery& row, std::string name) {
  CommandDefinition definition;
  definition.name = std::move(name);
  definition.parameter_count = row.ColumnByName("ze_ctecky").AsInteger();
  definition.result_columns = row.ColumnByName("do_ctecky").AsString();
  definition.statement1 = row.ColumnByName("prikaz_SQL1").AsString();
  definition.statement2 = row.ColumnByName("prikaz_SQL2").AsString();
  definition.empty_result_text = row.ColumnByName("chyba").AsString();
  return definition;
}

}  // namespace larvek
