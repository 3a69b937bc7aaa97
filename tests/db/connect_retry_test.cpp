// A connect that the database does not take up is tried again; one it answers with a refusal,
// and any statement, is not. Both the blocking opening and the non-blocking one the loop
// drives go through the same tries, over every host of the list.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "db_test_util.h"
#include "flaky_database.h"

namespace larvek {
namespace {

using testing::FlakyDatabase;

class ConnectRetryTest : public DbTest {
 protected:
  ConnectRetryTest() {
    connection.SetOpenedHandler([this](const LinkOpening& opening) { opened.push_back(opening); });
  }
  // Opens the link blocking, or without blocking as the loop does; "" or the failure's
  // message, with its number in `code`.
  std::string OpenLink(bool blocking, int* code) {
    return DbErrorOf(
        [&] {
          if (blocking)
            connection.EnsureOpen();
          else
            Drive(connection, connection.StartConnect());
        },
        code);
  }
  std::vector<LinkOpening> opened;
};

TEST_F(ConnectRetryTest, AConnectTheDatabaseDidNotTakeUpIsTriedTwiceMore) {
  const struct {
    const char* name;
    int closed_first;  // connections closed before the greeting
    bool right_password;
    int code;      // 0: the link opens
    int accepted;  // connections the database saw
  } cases[] = {
      {"closed twice, then answered", 2, true, 0, 3},
      {"closed every time", 1000, true, 2013, 3},
      {"a refused login is an answer", 0, false, 1045, 1},
  };
  for (const auto& c : cases) {
    for (const bool blocking : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (blocking ? ", blocking" : ", non-blocking"));
      FlakyDatabase flaky(c.closed_first, server.Port());
      ChangeSettings([&](LinkSettings& s) {
        s.hosts = {HostPort{"127.0.0.1", flaky.Port()}};
        s.password = c.right_password ? server.Password() : "wrong";
      });
      opened.clear();
      int code = 0;
      const std::string message = OpenLink(blocking, &code);
      EXPECT_EQ(flaky.Accepted(), c.accepted);
      if (c.code == 0) {
        ASSERT_EQ(message, "(no error)");
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0].failed_tries, c.closed_first);
        EXPECT_EQ(opened[0].last_failure.rfind("SQL chyba: Lost connection", 0), 0u)
            << opened[0].last_failure;
        Open("select 5 as n");
        EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "5");
      } else {
        EXPECT_EQ(code, c.code) << message;
        EXPECT_FALSE(connection.Connected());
        EXPECT_TRUE(opened.empty());
      }
      query.Close();
      connection.Disconnect();
    }
  }
}

// A list is walked in order from the host that answered last; a round over it counts as one
// try, so a list of dead hosts is tried three times in all.
TEST_F(ConnectRetryTest, AHostListMovesOnAndStartsWhereTheLastLinkOpened) {
  FlakyDatabase dead(1000, server.Port());
  const HostPort refused{"127.0.0.1", 1};
  const HostPort good{"127.0.0.1", server.Port()};
  for (const bool blocking : {true, false}) {
    SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
    // A list of its own for each pass, so the other pass's choice does not carry over.
    ChangeSettings([&](LinkSettings& s) {
      s.hosts = {HostPort{"127.0.0.1", dead.Port()}, good};
      if (!blocking) s.hosts.push_back(refused);
    });
    const int before = dead.Accepted();
    opened.clear();
    int code = 0;
    ASSERT_EQ(OpenLink(blocking, &code), "(no error)");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].host, good);
    EXPECT_EQ(opened[0].failed_tries, 1);
    EXPECT_EQ(dead.Accepted(), before + 1);
    connection.Disconnect();

    // The next link, on another connection object too, goes to the host that answered.
    DbConnection other;
    other.SetSettings(connection.Settings());
    other.SetOpenedHandler([this](const LinkOpening& opening) { opened.push_back(opening); });
    other.EnsureOpen();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1].failed_tries, 0);
    EXPECT_EQ(dead.Accepted(), before + 1);
  }

  ChangeSettings([&](LinkSettings& s) { s.hosts = {refused, HostPort{"127.0.0.1", dead.Port()}}; });
  const int before = dead.Accepted();
  int code = 0;
  const std::string message = OpenLink(true, &code);
  EXPECT_EQ(code, 2013) << message;  // the last host's failure
  EXPECT_EQ(dead.Accepted(), before + 3);
}

// The tries share the time-out: a pause that would end after it is not taken.
TEST_F(ConnectRetryTest, NoTryStartsAfterTheTimeOut) {
  FlakyDatabase silent(0, 0);
  ChangeSettings([&](LinkSettings& s) {
    s.hosts = {HostPort{"127.0.0.1", silent.Port()}};
    s.timeout_seconds = 1;
  });
  for (const bool blocking : {true, false}) {
    SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
    const int before = silent.Accepted();
    int code = 0;
    const std::string message = OpenLink(blocking, &code);
    EXPECT_EQ(code, 2013) << message;
    EXPECT_EQ(silent.Accepted(), before + 1);
  }
}

}  // namespace
}  // namespace larvek
