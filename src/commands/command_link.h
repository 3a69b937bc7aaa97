// The database as the command flow sees it: one call for each operation that talks to the
// database, each a task the flow co_awaits. Statements arrive finished (prepared, bound and
// filled by the flow for the mode the session confirmed); the link sends them as they are.
// A failed operation throws the database layer's Error out of the co_await.
//
// DatabaseLink completes every operation before returning (it blocks, as the whole server
// does one request at a time); a link that waits in the event loop can complete them later
// without the flow changing.
#pragma once

#include <optional>
#include <string>

#include "base/task.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "db/result_rows.h"
#include "db/sql_statement.h"

namespace larvek {

// What a statement is in the flow; links that show or count statements tell them apart by it.
enum class StatementRole { kProbe, kSetNames, kLookup, kTemplate1, kTemplate2, kReset };

class CommandLink {
 public:
  virtual ~CommandLink() = default;

  // Opens the link; nothing happens when it is open. The flow connects before its first
  // statement.
  virtual Task<void> Connect() = 0;
  // The escaping mode the session has confirmed, if any (see DbConnection::ConfirmedMode).
  virtual std::optional<EscapeMode> ConfirmedMode() const = 0;
  // The confirmed mode; a link without one learns it first with a statement of its own.
  virtual Task<EscapeMode> Mode() = 0;
  // Sends a statement; a result set it returns is fetched whole and dropped.
  virtual Task<void> Execute(std::string statement, StatementRole role) = 0;
  // Sends a statement and fetches its whole result. The rows stay readable until the next
  // operation of the link.
  virtual Task<ResultRows*> Open(std::string statement, StatementRole role) = 0;
  // Closes the link; nothing happens when it is closed. Never fails.
  virtual void Close() = 0;
};

// The link of the running server: a DbConnection and the query the command's own statements
// run on (SET NAMES, the templates, the resets); both must outlive it. The lookup and the probe
// run on a query of the link's own. The connection may have begun opening ahead
// (DbConnection::BeginOpen); Connect finishes it.
class DatabaseLink final : public CommandLink {
 public:
  DatabaseLink(DbConnection& connection, DbQuery& query)
      : connection_(connection), query_(query), lookup_(connection) {}

  Task<void> Connect() override;
  std::optional<EscapeMode> ConfirmedMode() const override;
  Task<EscapeMode> Mode() override;
  Task<void> Execute(std::string statement, StatementRole role) override;
  Task<ResultRows*> Open(std::string statement, StatementRole role) override;
  void Close() override;

 private:
  DbQuery& QueryFor(StatementRole role);

  DbConnection& connection_;
  DbQuery& query_;
  DbQuery lookup_;
};

}  // namespace larvek
