// A statement on the shared connection: its text as a list of lines, the statement prepared
// from it, and, while open, the whole result in client memory with a current row and fields.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_field.h"
#include "db/result_rows.h"
#include "db/sql_statement.h"

struct st_mysql_res;

namespace larvek {

class DbConnection;

class DbQuery final : public ResultRows {
 public:
  // A query on `connection`. A non-empty `name` ("DbQuery1") prefixes the messages of
  // ColumnByName and NextRow as "name: message".
  explicit DbQuery(DbConnection& connection, std::string name = "");
  ~DbQuery() override;  // closes
  DbQuery(const DbQuery&) = delete;
  DbQuery& operator=(const DbQuery&) = delete;

  // The statement text. Every change closes the query and prepares the text anew at once;
  // a preparation error is raised by the change and leaves no statement prepared.
  void SqlClear();
  void SqlAdd(const std::string& line);
  // Every line followed by CR LF (none after SetFinishedStatement) / replaces the lines by
  // `text` split at CR, LF or CR LF.
  std::string SqlText() const;
  void SetSqlText(const std::string& text);
  // Sets a statement that is ready to be sent as it is: its caller prepared, bound and filled
  // it for the link's confirmed escaping mode (DbConnection::Mode). Nothing in it is searched
  // again, so the values it holds stay data. An empty text is no statement.
  void SetFinishedStatement(std::string statement);

  // Runs the statement and opens its result (nothing happens when open already). Fails with
  // "SQL dotaz je prázdný" before connecting when there is no statement, and with "Nelze
  // otevřít výsledek dotazu" (after running it) when the statement returns no result set.
  void Open();
  // Runs the statement without opening a result; a SELECT's rows are counted and dropped.
  void ExecuteStatement();
  // After the connection's non-blocking statement (DbConnection::StartStatement) finished:
  // opens the result it stored, as Open does after sending (the same failure when there is
  // none) / counts its rows or the rows it changed, as ExecuteStatement does.
  void OpenStored();
  void ExecuteStored();
  // Drops the result and the fields; nothing happens when inactive.
  void Close();

  // Open, in the link's session that ran the statement (a result of an ended session is closed).
  bool Active() const;
  // True when there is no current row: inactive, or open with zero rows.
  bool NoRows() const override { return !Active() || row_count_ == 0; }
  // True while inactive, when opened with zero rows, and after NextRow passed the last row.
  bool AtEnd() const override { return !Active() || at_end_; }
  // Moves to the next row; past the last one AtEnd becomes true and the last row stays.
  void NextRow() override;
  // Goes back to the first row of the open result (the result is held in client memory).
  void FirstRow() override;

  // The field named `name` (letter case ignored; the first wins) of the open query.
  DbField& ColumnByName(const std::string& name) override;
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  DbField& Field(int index) { return fields_.at(index); }

  // Rows changed by the last ExecuteStatement, or rows of its result set.
  int64_t RowsAffected() const { return rows_affected_; }
  // The prepared text ("" when there is no statement), for tests.
  const std::string& PreparedStatement() const { return statement_; }
  const std::string& Name() const { return name_; }

 private:
  void Prepare();
  void PrepareFor(EscapeMode mode);
  DbConnection& Connection();
  // Sends the prepared statement with its parameters.
  void Send();
  // Takes `result` as the open result (null: "Nelze otevřít výsledek dotazu").
  void Adopt(st_mysql_res* result);
  void LoadRow();
  [[noreturn]] void Fail(const std::string& message) const;

  DbConnection* connection_;  // used only while session_ has not expired
  std::weak_ptr<const uint64_t> session_;
  uint64_t result_session_ = 0;  // the session the result came from
  std::string name_;
  std::vector<std::string> lines_;
  bool finished_ = false;  // statement_ was set by SetFinishedStatement
  EscapeMode prepared_mode_ = EscapeMode::kBackslash;
  bool has_statement_ = false;
  std::string statement_;
  int parameter_occurrences_ = 0;
  std::vector<std::string> parameter_names_;

  st_mysql_res* result_ = nullptr;
  std::vector<DbField> fields_;
  uint64_t row_count_ = 0;
  bool at_end_ = true;
  int64_t rows_affected_ = 0;
};

}  // namespace larvek
