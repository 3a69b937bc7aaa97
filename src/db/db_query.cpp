#include "db/db_query.h"

#include <mysql.h>

#include "base/text.h"
#include "db/db_connection.h"
#include "db/db_error.h"
#include "db/sql_statement.h"

namespace larvek {
DbQuery::DbQuery(DbConnection& connection, std::string name)
    : connection_(&connection), session_(connection.SessionToken()), name_(std::move(name)) {}

DbQuery::~DbQuery() {
  Close();
}

bool DbQuery::Active() const {
  if (!result_) return false;
  const std::shared_ptr<const uint64_t> session = session_.lock();
  return session && *session == result_session_;
}

DbConnection& DbQuery::Connection() {
  if (session_.expired()) Fail("Query has no connection");
  return *connection_;
}

void DbQuery::SqlClear() {
  lines_.clear();
  Prepare();
}

void DbQuery::SqlAdd(const std::string& line) {
  lines_.push_back(line);
  Prepare();
}

std::string DbQuery::SqlText() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\r\n";
  return text;
}

void DbQuery::SetSqlText(const std::string& text) {
  lines_ = SplitLines(text);
  Prepare();
}

void DbQuery::SetFinishedStatement(std::string statement) {
  Close();
  lines_.clear();  // the text is the statement itself, not lines of a template
  parameter_occurrences_ = 0;
  parameter_names_.clear();
  has_statement_ = !statement.empty();
  statement_ = std::move(statement);
  finished_ = true;
}

void DbQuery::Prepare() {
  Close();
  // The mode the link has confirmed, or else the one prepared for last: Send prepares again when
  // the link turns out to read backslashes the other way.
  const std::optional<EscapeMode> confirmed =
      !session_.expired() ? connection_->ConfirmedMode() : std::nullopt;
  PrepareFor(confirmed.value_or(prepared_mode_));
}

void DbQuery::PrepareFor(EscapeMode mode) {
  finished_ = false;
  prepared_mode_ = mode;
  has_statement_ = false;
  statement_.clear();
  parameter_occurrences_ = 0;
  parameter_names_.clear();
  PreparedSql prepared = PrepareSql(SqlText(), mode);
  has_statement_ = prepared.has_statement;
  statement_ = std::move(prepared.statement);
  parameter_occurrences_ = prepared.parameter_occurrences;
  parameter_names_ = std::move(prepared.parameter_names);
}

void DbQuery::Send() {
  DbConnection& connection = Connection();
  if (finished_) {
    connection.Execute(statement_);
    return;
  }
  // The text was prepared for the mode of the link known then; a link in the other mode reads
  // backslashes in the template's strings differently.
  const EscapeMode mode = connection.ConfirmedMode().value_or(prepared_mode_);
  if (mode != prepared_mode_) {
    PrepareFor(mode);
    if (!has_statement_) ThrowDatabaseError(kEmptyStatement);
  }
  connection.Execute(BindNullParameters(statement_, parameter_occurrences_, mode));
}

void DbQuery::Open() {
  if (Active()) return;
  Close();  // a result of an ended session
  if (!has_statement_) ThrowDatabaseError(kEmptyStatement);
  DbConnection& connection = Connection();
  connection.EnsureOpen();
  Send();
  MYSQL* mysql = connection.Handle();
  MYSQL_RES* result = mysql_store_result(mysql);
  if (!result && mysql_field_count(mysql) != 0) connection.RaiseLinkError();
  try {
    Adopt(result);
  } catch (...) {
    connection.DiscardMoreResults();
    throw;
  }
  try {
    connection.DiscardMoreResults();  // a procedure's status result, for one
  } catch (...) {
    Close();
    throw;
  }
}

void DbQuery::OpenStored() {
  Close();
  Adopt(Connection().TakeStoredResult());
}

void DbQuery::Adopt(MYSQL_RES* result) {
  if (!result) ThrowDatabaseError(kNoResultSet);
  std::vector<DbField> fields;
  try {
    unsigned count = mysql_num_fields(result);
    MYSQL_FIELD* columns = mysql_fetch_fields(result);
    fields.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
      const MYSQL_FIELD& c = columns[i];
      FieldKind kind = FieldKindFor(c.type, c.flags, c.length, c.decimals);
      // A name seen before (letter case ignored) gets "_1", "_2"... until it is unique.
      std::string name = c.name;
      auto taken = [&](const std::string& n) {
        for (const DbField& f : fields)
          if (EqualIgnoringAsciiCase(f.Name(), n)) return true;
        return false;
      };
      for (int n = 1; taken(name); ++n) name = std::string(c.name) + "_" + std::to_string(n);
      fields.emplace_back(std::move(name), kind);
    }
  } catch (...) {
    mysql_free_result(result);
    throw;
  }
  result_ = result;
  if (const std::shared_ptr<const uint64_t> session = session_.lock()) result_session_ = *session;
  fields_ = std::move(fields);
  row_count_ = mysql_num_rows(result);
  at_end_ = row_count_ == 0;
  if (!at_end_) LoadRow();
}

void DbQuery::ExecuteStatement() {
  DbConnection& connection = Connection();
  connection.EnsureOpen();
  Close();
  if (!has_statement_) ThrowDatabaseError(kEmptyStatement);
  Send();
  MYSQL* mysql = connection.Handle();
  int64_t rows;
  if (MYSQL_RES* result = mysql_store_result(mysql)) {
    rows = static_cast<int64_t>(mysql_num_rows(result));
    mysql_free_result(result);
  } else {
    if (mysql_field_count(mysql) != 0) connection.RaiseLinkError();
    rows = static_cast<int64_t>(mysql_affected_rows(mysql));
  }
  connection.DiscardMoreResults();
  rows_affected_ = rows;
}

void DbQuery::ExecuteStored() {
  Close();
  DbConnection& connection = Connection();
  if (MYSQL_RES* result = connection.TakeStoredResult()) {
    rows_affected_ = static_cast<int64_t>(mysql_num_rows(result));
    mysql_free_result(result);
  } else {
    rows_affected_ = static_cast<int64_t>(mysql_affected_rows(connection.Handle()));
  }
}

void DbQuery::Close() {
  if (!result_) return;
  mysql_free_result(result_);
  result_ = nullptr;
  fields_.clear();
  row_count_ = 0;
  at_end_ = true;
}

void DbQuery::NextRow() {
  if (!Active()) Fail(kClosedDataset);
  if (!at_end_) LoadRow();
}

void DbQuery::FirstRow() {
  if (!Active()) Fail(kClosedDataset);
  mysql_data_seek(result_, 0);
  at_end_ = row_count_ == 0;
  if (!at_end_) LoadRow();
}

void DbQuery::LoadRow() {
  MYSQL_ROW row = mysql_fetch_row(result_);
  if (!row) {
    at_end_ = true;
    return;
  }
  unsigned long* lengths = mysql_fetch_lengths(result_);
  for (size_t i = 0; i < fields_.size(); ++i) fields_[i].Load(row[i], lengths[i]);
}

DbField& DbQuery::ColumnByName(const std::string& name) {
  // A closed result has no fields, also one whose session ended.
  if (Active()) {
    for (DbField& f : fields_)
      if (EqualIgnoringAsciiCase(f.Name(), name)) return f;
  }
  Fail("Field '" + name + "' not found");
}

void DbQuery::Fail(const std::string& message) const {
  ThrowDatabaseError(name_.empty() ? message : name_ + ": " + message);
}

}  // namespace larvek
