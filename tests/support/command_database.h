// A database of its own on the test server (TestDatabase()) for one test of command processing:
// the sample stock table sklad in Windows-1250 and, when asked for, the table server_term with
// command definitions. Dropped again at the end.
#pragma once

#include <string>

namespace larvek {
class DbConnection;
}

namespace larvek::testing {

// The columns of server_term as the server reads them.
inline constexpr const char* kServerTermColumns =
    "operace VARCHAR(20), ze_ctecky INT, do_ctecky VARCHAR(200), prikaz_SQL1 TEXT, "
    "prikaz_SQL2 TEXT, chyba VARCHAR(50)";

class CommandDatabase {
 public:
  // Creates the database with sklad: ('A1', 'Šroub', 10, 'S'), ('B2', 'Matice', NULL, 'S'),
  // ('C3', 'Podlozka', 7, 'P') as (kod, nazev, mnozstvi, skupina).
  CommandDatabase();
  ~CommandDatabase();
  CommandDatabase(const CommandDatabase&) = delete;
  CommandDatabase& operator=(const CommandDatabase&) = delete;

  const std::string& Name() const { return name_; }
  // Points a connection at this database as the test server's user larvek.
  void Configure(DbConnection& connection) const;
  // Runs statements (separated by ";") as root in this database.
  void Exec(const std::string& sql);

  void CreateServerTerm(const std::string& columns = kServerTermColumns);
  // Adds a row to a server_term of the standard columns.
  void Define(const std::string& name, int parameter_count, const std::string& result_columns,
              const std::string& sql1, const std::string& sql2,
              const std::string& empty_result_text);
  // The values of such a row, "(...)", for an INSERT INTO server_term VALUES.
  static std::string DefinitionRow(const std::string& name, int parameter_count,
                                   const std::string& result_columns, const std::string& sql1,
                                   const std::string& sql2, const std::string& empty_result_text);
  // A command whose statement the database rejects.
  void DefineFailing(const std::string& name);

  // `s` as a single-quoted SQL literal.
  static std::string Literal(const std::string& s);

 private:
  std::string name_;
};

}  // namespace larvek::testing
