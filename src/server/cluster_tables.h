// What "srvlarvek --check" asks about the tables when the database is a node of a Galera
// cluster: whether the session's writes are replicated at all, which tables a template writes,
// and each table's engine and primary key. A Galera cluster replicates the changes of InnoDB
// tables only, and finds a changed row on the other nodes by its primary key.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/sql_statement.h"

namespace larvek {

class DbConnection;

// A table as a statement names it: `schema` is empty when the name has no "schema." before it
// (the session's database). Both without backquotes, in the link's Windows-1250.
struct TableName {
  std::string schema;
  std::string table;
  bool operator==(const TableName&) const = default;
};

// The tables that the statements of `templ` write, each once, in the order they are named:
// the table after "insert [into]" and "replace [into]" (also of "insert ... select"), every
// table that "update" names before its "set" (a multi-table update names all it joins), and
// the tables of "delete from" (or those "delete" names before its "from"). A statement counts
// where it starts: at the beginning of the text or after a ";", letter case ignored, strings
// and comments skipped. One pass over the tokens; a name given by a placeholder is no name.
std::vector<TableName> WrittenTables(std::string_view templ, EscapeMode mode);

// Whether the session's statements are replicated by a Galera cluster ("select @@wsrep_on");
// a server without the variable (error 1193) replicates nothing. Other failures leave.
bool ReplicatesWrites(DbConnection& connection);

struct TableLayout {
  std::string engine;  // as information_schema.TABLES names it ("InnoDB", "MyISAM", ...)
  bool has_primary_key = false;
};

// The engine and primary key of the base table `name` (its schema given) from
// information_schema; nullopt when there is no such base table (none, or a view). Read-only;
// failures leave.
std::optional<TableLayout> ReadTableLayout(DbConnection& connection, const TableName& name);

}  // namespace larvek
