#include "command_database.h"

#include <unistd.h>

#include <atomic>

#include "db/db_connection.h"
#include "mariadb_server.h"

namespace larvek::testing {

CommandDatabase::CommandDatabase() {
  static std::atomic<int> counter{0};
  name_ = "cmd_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  MariaDb& db = TestDatabase();
  db.Exec("CREATE DATABASE " + name_ + " CHARACTER SET cp1250");
  for (const char* host : {"127.0.0.1", "localhost", "%"})
    db.Exec("GRANT ALL PRIVILEGES ON " + name_ + ".* TO 'larvek'@'" + host + "'");
  Exec(
      "CREATE TABLE sklad (kod VARCHAR(10), nazev VARCHAR(40), mnozstvi INT NULL, "
      "skupina VARCHAR(5)) CHARACTER SET cp1250");
  // 'Šroub' as Windows-1250 bytes.
  Exec(
      "INSERT INTO sklad VALUES ('A1', _cp1250 0x8A726F7562, 10, 'S'), "
      "('B2', 'Matice', NULL, 'S'), ('C3', 'Podlozka', 7, 'P')");
}

CommandDatabase::~CommandDatabase() {
  TestDatabase().Exec("DROP DATABASE IF EXISTS " + name_);
}

void CommandDatabase::Configure(DbConnection& connection) const {
  TestDatabase().Configure(connection);
  LinkSettings settings = connection.Settings();
  settings.database = name_;
  connection.SetSettings(settings);
}

void CommandDatabase::Exec(const std::string& sql) {
  TestDatabase().Exec("USE " + name_ + "; " + sql);
}

void CommandDatabase::CreateServerTerm(const std::string& columns) {
  Exec("CREATE TABLE server_term (" + columns + ") CHARACTER SET cp1250");
}

void CommandDatabase::Define(const std::string& name, int parameter_count,
                             const std::string& result_columns, const std::string& sql1,
                             const std::string& sql2, const std::string& empty_result_text) {
  Exec("INSERT INTO server_term VALUES " +
       DefinitionRow(name, parameter_count, result_columns, sql1, sql2, empty_result_text));
}

std::string CommandDatabase::DefinitionRow(const std::string& name, int parameter_count,
                                           const std::string& result_columns,
                                           const std::string& sql1, const std::string& sql2,
                                           const std::string& empty_result_text) {
  return "(" + Literal(name) + ", " + std::to_string(parameter_count) + ", " +
         Literal(result_columns) + ", " + Literal(sql1) + ", " + Literal(sql2) + ", " +
         Literal(empty_result_text) + ")";
}

void CommandDatabase::DefineFailing(const std::string& name) {
  Define(name, 1, "x", "select x from no_such_table where a = %a%", "", "NENI");
}

std::string CommandDatabase::Literal(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace larvek::testing
