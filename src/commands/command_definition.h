// One command's definition: where a terminal's command name leads. Definitions are data, kept
// as rows of the table server_term or as sections of the own configuration file.
#pragma once

#include <string>

namespace larvek {

struct CommandDefinition {
  std::string name;               // field 0 of the request that caused the lookup, as received
  // The name as the definition stores it (operace, or the section's header): the lookup
  // ignores letter case and trailing blanks, so it may differ from `name`.
  std::string own_name;
  int parameter_count = 0;        // parameters a.. taken from the request (ze_ctecky)
  std::string result_columns;     // result columns sent back, separated by "|" (do_ctecky)
  std::string statement1;         // first SQL template, placeholders %a% .. %e% (prikaz_SQL1)
  std::string statement2;         // second SQL template, may be empty (prikaz_SQL2)
  std::string empty_result_text;  // text sent instead of records when there are no rows (chyba)
};

}  // namespace larvek
