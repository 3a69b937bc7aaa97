// Helpers shared by the database tests: a connection to the test server and error capture.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <string>

#include "base/error.h"
#include "base/regional.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "mariadb_server.h"

namespace larvek {

// The message of the database error that `f` raises, or "(no error)".
inline std::string DbErrorOf(const std::function<void()>& f, int* code = nullptr) {
  try {
    f();
  } catch (const Error& e) {
    if (e.ClassName() != kDatabaseError) return "wrong class " + e.ClassName();
    if (code) *code = e.Code();
    return e.Message();
  }
  return "(no error)";
}

// Waits for what the operation waits for and continues it until it has finished, then raises
// its failure. A generous bound stops a hang.
inline void Drive(DbConnection& connection, int waits) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (waits != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the operation does not end";
    pollfd watch{connection.Socket(), 0, 0};
    if (waits & kLinkWaitRead) watch.events |= POLLIN;
    if (waits & kLinkWaitWrite) watch.events |= POLLOUT;
    const int wait_ms =
        (waits & kLinkWaitTimeout) ? static_cast<int>(connection.WaitTimeoutMs()) : 1000;
    const int ready = ::poll(&watch, 1, wait_ms);
    int happened = 0;
    if (ready == 0 && (waits & kLinkWaitTimeout)) happened = kLinkWaitTimeout;
    if (watch.revents & (POLLIN | POLLHUP | POLLERR)) happened |= waits & kLinkWaitRead;
    if (watch.revents & (POLLOUT | POLLHUP | POLLERR)) happened |= waits & kLinkWaitWrite;
    if (happened != 0) waits = connection.Continue(happened);
  }
  connection.FinishOperation();
}

// The regional formats values are read with, where no test is about them: the defaults
// (d.m.yyyy, h:nn:ss, ",").
inline const RegionalSettings kDefaultFormats;

inline const std::string kMismatch =
    "Po\xE8"
    "et vstupn\xED"
    "ch parametr\xF9 neodpov\xED"
    "d\xE1 o\xE8"
    "ek\xE1van\xE9mu po\xE8tu";
inline const std::string kEmpty = "SQL dotaz je pr\xE1zdn\xFD";
inline const std::string kNoResult = "Nelze otev\xF8\xEDt v\xFDsledek dotazu";
inline const std::string kBadColon = "Za \":\" n\xE1sleduje nespr\xE1vn\xFD znak";

// A connection to the test server, and a query on it named like the shared one.
class DbTest : public ::testing::Test {
 protected:
  // Changes the connection's settings for its next opening.
  template <typename F>
  void ChangeSettings(F change) {
    LinkSettings settings = connection.Settings();
    change(settings);
    connection.SetSettings(settings);
  }

  DbTest() : server(testing::TestDatabase()), query(connection, "DbQuery1") {
    server.Configure(connection);
  }

  // Opens `sql` (one line) on `query`.
  DbQuery& Open(const std::string& sql) {
    query.SqlClear();
    query.SqlAdd(sql);
    query.Open();
    return query;
  }

  testing::MariaDb& server;
  DbConnection connection;
  DbQuery query;
};

}  // namespace larvek
