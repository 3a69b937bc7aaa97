#include "commands/command_catalog.h"

#include "base/error.h"
#include "commands/placeholders.h"
#include "config/config_store.h"
#include "db/db_connection.h"
#include "db/db_query.h"

namespace larvek {
namespace {

const char kLookupTemplate[] = "select * from server_term where operace = %a%";
const char kProbeStatement[] = "SHOW TABLES LIKE \"server_term\"";

// A count of 0 means the name has no command.
std::optional<CommandDefinition> Known(CommandDefinition definition) {
  if (definition.parameter_count == 0) return std::nullopt;
  return definition;
}

// The section `name` of one version of the file.
CommandDefinition DefinitionInSnapshot(const ConfigStore::Snapshot& file, const std::string& name) {
  CommandDefinition definition = DefinitionFromSection(file, name);
  definition.own_name = file.SectionName(name).value_or(name);
  return definition;
}

}  // namespace

Task<DefinitionSource> ProbeDefinitionSource(CommandLink& link) {
  // "_" is a pattern character of LIKE; a table named like server_term but for one letter
  // counts too, as it always has. The text holds neither ":" nor "?": it goes as it is.
  co_await link.Connect();
  ResultRows* rows = co_await link.Open(kProbeStatement, StatementRole::kProbe);
  co_return rows->NoRows() ? DefinitionSource::kOwnFile : DefinitionSource::kTable;
}

DefinitionSource ProbeDefinitionSource(DbConnection& connection) {
  DbQuery probe(connection);
  DatabaseLink link(connection, probe);
  return RunToCompletion(ProbeDefinitionSource(link));
}

Task<std::optional<CommandDefinition>> LookUpInTable(CommandLink& link, const std::string& name,
                                                     const RegionalSettings& formats) {
  // The name is a value put into the prepared statement, quoted for the mode the session has
  // confirmed: nothing in it can change the statement.
  const EscapeMode mode = co_await link.Mode();
  ParameterValues values;
  values[0] = name;
  std::string statement = FinishStatement(PrepareTemplate(kLookupTemplate, mode), values, mode);
  ResultRows* row = co_await link.Open(std::move(statement), StatementRole::kLookup);
  co_return Known(DefinitionFromRow(*row, name, formats));
}

std::shared_ptr<const CommandDefinition> OwnFileDefinitions::Find(const std::string& name) {
  // One look at the file for all five keys: a definition is read from one version of it.
  const ConfigStore::Snapshot file = own_file_.Now();
  if (file.Version() != version_) {
    found_.clear();
    version_ = file.Version();
  }
  if (auto kept = found_.find(name); kept != found_.end()) return kept->second;
  std::optional<CommandDefinition> definition = Known(DefinitionInSnapshot(file, name));
  if (!definition) return nullptr;
  auto shared = std::make_shared<const CommandDefinition>(std::move(*definition));
  if (name.size() > kMaxKeptName) return shared;
  if (found_.size() >= kMaxKept) found_.clear();
  found_.emplace(name, shared);
  return shared;
}

CommandDefinition DefinitionFromRow(ResultRows& row, std::string name,
                                    const RegionalSettings& formats) {
  CommandDefinition definition;
  definition.name = std::move(name);
  try {
    definition.own_name = row.ColumnByName("operace").AsString(formats);
  } catch (const Error&) {
    definition.own_name = definition.name;  // a row without the name column
  }
  definition.parameter_count = row.ColumnByName("ze_ctecky").AsInteger();
  definition.result_columns = row.ColumnByName("do_ctecky").AsString(formats);
  definition.statement1 = row.ColumnByName("prikaz_SQL1").AsString(formats);
  definition.statement2 = row.ColumnByName("prikaz_SQL2").AsString(formats);
  definition.empty_result_text = row.ColumnByName("chyba").AsString(formats);
  return definition;
}

}  // namespace larvek
