// Finding a command's definition by its name, in the table server_term or in the own
// configuration file.
#pragma once

#include <optional>
#include <string>

#include "commands/command_definition.h"

namespace larvek {

class ConfigStore;
class DbConnection;

// Where the definitions are kept: the table server_term when the database has one, otherwise
// a section per command in the own configuration file.
enum class DefinitionSource { kOwnFile, kTable };

// Asks the database whether it has the table server_term ("SHOW TABLES LIKE ..."): the source
// of definitions for the whole run. Database failures leave this function.
DefinitionSource ProbeDefinitionSource(DbConnection& connection);

class CommandCatalog {
 public:
  CommandCatalog(DbConnection& connection, const ConfigStore& own_file);

  // The definition of the command `name`, read anew from `source` on every call. nullopt when
  // its parameter count is 0, which is also what a missing definition reads as: the terminal
  // is told the command is unknown. Other counts come back as they are, out of range or not.
  //
  // In the table the name is a value of the prepared statement
  // "select * from server_term where operace = %a%" on a query of its own; the count is read
  // first, so a ze_ctecky that is not a number fails before a missing column would. Failures of
  // the statement and of the columns leave this function. In the own file the name is the
  // section; missing keys give 0 parameters, empty texts and "*****" for the empty result.
  std::optional<CommandDefinition> Find(const std::string& name, DefinitionSource source) const;

 private:
  std::optional<CommandDefinition> FindInTable(const std::string& name) const;
  std::optional<CommandDefinition> FindInOwnFile(const std::string& name) const;

  DbConnection& connection_;
  const ConfigStore& own_file_;
};

}  // namespace larvek
