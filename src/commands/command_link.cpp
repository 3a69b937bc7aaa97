#include "commands/command_link.h"

#include "db/db_connection.h"
#include "db/db_query.h"

namespace larvek {

Task<void> DatabaseLink::Connect() {
  connection_.EnsureOpen();
  co_return;
}

std::optional<EscapeMode> DatabaseLink::ConfirmedMode() const {
  return connection_.ConfirmedMode();
}

Task<EscapeMode> DatabaseLink::Mode() {
  co_return connection_.Mode();
}

DbQuery& DatabaseLink::QueryFor(StatementRole role) {
  return role == StatementRole::kLookup || role == StatementRole::kProbe ? lookup_ : query_;
}

Task<void> DatabaseLink::Execute(std::string statement, StatementRole role) {
  DbQuery& query = QueryFor(role);
  query.SetFinishedStatement(std::move(statement));
  query.ExecuteStatement();
  co_return;
}

Task<ResultRows*> DatabaseLink::Open(std::string statement, StatementRole role) {
  DbQuery& query = QueryFor(role);
  query.SetFinishedStatement(std::move(statement));
  query.Open();
  co_return &query;
}

void DatabaseLink::Close() {
  lookup_.Close();
  query_.Close();
  connection_.Disconnect();
}

}  // namespace larvek
