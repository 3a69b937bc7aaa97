// Finding a command's definition by its name, in the table server_term or in the own
// configuration file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/regional.h"
#include "base/task.h"
#include "commands/command_definition.h"
#include "commands/command_link.h"
#include "db/result_rows.h"

namespace larvek {

class ConfigStore;
class DbConnection;

// Where the definitions are kept: the table server_term when the database has one, otherwise
// a section per command in the own configuration file.
enum class DefinitionSource { kOwnFile, kTable };

// Asks the database whether it has the table server_term ("SHOW TABLES LIKE ..."): the source
// of definitions for the whole run. Database failures leave this function. The first over the
// flow's link, the second on a query of its own on `connection`.
Task<DefinitionSource> ProbeDefinitionSource(CommandLink& link);
DefinitionSource ProbeDefinitionSource(DbConnection& connection);

// The definition of the command `name` in the table: the name is a value of the prepared
// statement "select * from server_term where operace = %a%", quoted for the mode the session
// confirmed. nullopt when its parameter count is 0, which is also what a missing row reads as:
// the terminal is told the command is unknown; other counts come back as they are. Failures of
// the statement and of the columns leave it. The columns are read as text with `formats`.
// `name` and `formats` must outlive the task.
Task<std::optional<CommandDefinition>> LookUpInTable(CommandLink& link, const std::string& name,
                                                     const RegionalSettings& formats);
// The same in the own file: the section `name` (see DefinitionFromSection), every key of it read
// from one version of the file, with the same answer for a count of 0. A definition found is kept
// while the store reads the same version of the file, so the next request of that command takes it,
// shared, without reading its section. An edit of the file takes effect as it always does, with the
// next request after the edit. Names are kept as the requests write them, at most kMaxKept names of
// at most kMaxKeptName bytes (a terminal's names cannot grow it beyond that); names without a
// definition are not kept. The store must outlive this.
class OwnFileDefinitions {
 public:
  static constexpr size_t kMaxKept = 256;
  static constexpr size_t kMaxKeptName = 64;

  explicit OwnFileDefinitions(const ConfigStore& own_file) : own_file_(own_file) {}
  // The definition of `name` (its `name` is this one), or null when there is none.
  std::shared_ptr<const CommandDefinition> Find(const std::string& name);
  size_t Kept() const { return found_.size(); }

 private:
  const ConfigStore& own_file_;
  uint64_t version_ = 0;  // the version the kept definitions were read from
  std::unordered_map<std::string, std::shared_ptr<const CommandDefinition>> found_;  // by name
};

// A row of server_term as a definition named `name`, read as the lookup reads it: the count
// first, so a ze_ctecky that is not a number fails before a missing column would; the texts
// with `formats`. Failures of the columns leave this function.
CommandDefinition DefinitionFromRow(ResultRows& row, std::string name,
                                    const RegionalSettings& formats);

// The section `name` of the own file as a definition: missing keys give 0 parameters, empty
// texts and "*****" for the empty result. `File` is the configuration store or an INI file.
template <typename File>
CommandDefinition DefinitionFromSection(const File& file, const std::string& name) {
  CommandDefinition definition;
  definition.name = name;
  definition.parameter_count = file.ReadNumber(name, "Ze_ctecky", 0);
  definition.result_columns = file.ReadText(name, "Do_ctecky", "");
  definition.statement1 = file.ReadText(name, "Prikaz_SQL1", "");
  definition.statement2 = file.ReadText(name, "Prikaz_SQL2", "");
  definition.empty_result_text = file.ReadText(name, "Chyba", "*****");
  return definition;
}

// The keys of a definition's section in the own file.
inline constexpr const char* kDefinitionKeys[] = {"Ze_ctecky", "Do_ctecky", "Prikaz_SQL1",
                                                  "Prikaz_SQL2", "Chyba"};

}  // namespace larvek
