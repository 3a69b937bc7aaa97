#include "db/db_query.h"

#include <gtest/gtest.h>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "db_test_util.h"

namespace larvek {
namespace {

using DbQueryTest = DbTest;

TEST_F(DbQueryTest, SqlTextIsLinesWithCrLf) {
  query.SetSqlText("select 1\nfrom dual\r\nwhere 1\r\r\n");
  EXPECT_EQ(query.SqlText(), "select 1\r\nfrom dual\r\nwhere 1\r\n\r\n");
  query.SqlClear();
  EXPECT_EQ(query.SqlText(), "");
  query.SqlAdd("select 2");
  query.SqlAdd("as two");
  EXPECT_EQ(query.SqlText(), "select 2\r\nas two\r\n");
  query.Open();
  EXPECT_EQ(query.ColumnByName("two").AsString(kDefaultFormats), "2");
  query.SqlAdd("");  // any change closes the query
  EXPECT_FALSE(query.Active());
}

TEST_F(DbQueryTest, StatementsGoToTheServerAsPrepared) {
  server.EnableGeneralLog();
  // Without ":" the text is sent unchanged (the server's log drops the final CR LF).
  query.SetSqlText("SHOW TABLES\r\n  LIKE \"server_term\"");
  query.Open();
  // With a ":" only inside a string it takes the token path: blanks collapse, ends trimmed.
  query.SetSqlText("select ':'\r\n   as c  ");
  query.Open();
  EXPECT_EQ(query.ColumnByName("c").AsString(kDefaultFormats), ":");
  // A named parameter goes as NULL, once per occurrence.
  Open("select :p is null as n, :P as v, 7 as w");
  EXPECT_EQ(query.PreparedStatement(), "select ? is null as n, ? as v, 7 as w");
  EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "1");
  EXPECT_TRUE(query.ColumnByName("v").IsNull());
  // The variable reset's statement has no parameter.
  query.SqlClear();
  query.SqlAdd("select @abc:=null");
  query.ExecuteStatement();
  EXPECT_EQ(query.PreparedStatement(), "select @abc:=null");
  // A zero byte inside a literal reaches the server.
  Open(std::string("select hex('a\0b') as h", 22));
  EXPECT_EQ(query.ColumnByName("h").AsString(kDefaultFormats), "610062");
  server.DisableGeneralLog();

  std::string log = server.GeneralLog();
  EXPECT_NE(log.find("Query\tSHOW TABLES\r\n  LIKE \"server_term\"\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Query\tselect ':' as c\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Query\tselect NULL is null as n, NULL as v, 7 as w\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Query\tselect @abc:=null\n"), std::string::npos) << log;
}

TEST_F(DbQueryTest, PreparationAndParameterFailures) {
  // A bad ":" fails the change itself and leaves no statement.
  query.SqlClear();
  EXPECT_EQ(DbErrorOf([&] { query.SqlAdd("select 12:30"); }), kBadColon);
  EXPECT_EQ(query.SqlText(), "select 12:30\r\n");
  EXPECT_EQ(DbErrorOf([&] { query.Open(); }), kEmpty);
  EXPECT_EQ(DbErrorOf([&] { query.SetSqlText("select 1:"); }), kBadColon);

  // Quoted ":" and "?" are plain text; comments may hold anything.
  Open("select '?' as q, \":\" as c, '::' as d -- :x ?");
  EXPECT_EQ(query.ColumnByName("q").AsString(kDefaultFormats), "?");
  EXPECT_EQ(query.ColumnByName("c").AsString(kDefaultFormats), ":");
  EXPECT_EQ(query.ColumnByName("d").AsString(kDefaultFormats), "::");
  query.SqlClear();
  query.SqlAdd("select 1 as a /* :y ? */ , :z as b # :w");
  query.Open();
  EXPECT_TRUE(query.ColumnByName("b").IsNull());

  // A literal "?" has no value: it fails when sent, and the query stays inactive.
  query.SqlClear();
  query.SqlAdd("select ?");
  EXPECT_EQ(DbErrorOf([&] { query.Open(); }), kMismatch);
  EXPECT_FALSE(query.Active());
  EXPECT_EQ(DbErrorOf([&] { query.ExecuteStatement(); }), kMismatch);
}

TEST_F(DbQueryTest, ServerErrorsCarryTheirNumber) {
  struct Case {
    const char* sql;
    int code;
    const char* message;
  } cases[] = {
      {"select * from nope", 1146, "SQL chyba: Table 'larvek.nope' doesn't exist"},
      {"select 1; select 2", 1064,
       "SQL chyba: You have an error in your SQL syntax; check the manual that corresponds to "
       "your MariaDB server version for the right syntax to use near 'select 2' at line 1"},
  };
  for (const Case& c : cases) {
    int code = 0;
    EXPECT_EQ(DbErrorOf([&] { Open(c.sql); }, &code), c.message);
    EXPECT_EQ(code, c.code) << c.sql;
    EXPECT_FALSE(query.Active());
    EXPECT_TRUE(connection.Connected());  // a failed statement keeps the link
  }
}

TEST_F(DbQueryTest, WalksRowsAndNamesColumns) {
  EXPECT_TRUE(query.NoRows());
  EXPECT_TRUE(query.AtEnd());
  EXPECT_EQ(DbErrorOf([&] { query.NextRow(); }),
            "DbQuery1: Cannot perform this operation on a closed dataset");
  EXPECT_EQ(DbErrorOf([&] { query.ColumnByName("a"); }), "DbQuery1: Field 'a' not found");

  Open("select 1 as a, 2 as A, 3 as a_1, 4 as a, 5 as ze_ctecky union all select 6, 7, 8, 9, 10");
  std::vector<std::string> names;
  for (int i = 0; i < query.FieldCount(); ++i) names.push_back(query.Field(i).Name());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "A_1", "a_1_1", "a_2", "ze_ctecky"}));
  EXPECT_EQ(query.ColumnByName("A").AsString(kDefaultFormats), "1");
  EXPECT_EQ(query.ColumnByName("ZE_CTECKY").AsInteger(), 5);
  EXPECT_FALSE(query.NoRows());
  EXPECT_FALSE(query.AtEnd());
  query.NextRow();
  EXPECT_FALSE(query.AtEnd());
  EXPECT_EQ(query.ColumnByName("a").AsString(kDefaultFormats), "6");
  query.NextRow();  // past the last row: AtEnd, the last row stays current
  EXPECT_TRUE(query.AtEnd());
  EXPECT_EQ(query.ColumnByName("a").AsString(kDefaultFormats), "6");
  query.NextRow();
  EXPECT_TRUE(query.AtEnd());
  EXPECT_EQ(DbErrorOf([&] { query.ColumnByName("b"); }), "DbQuery1: Field 'b' not found");

  // A query without a name has no prefix.
  DbQuery unnamed(connection);
  EXPECT_EQ(DbErrorOf([&] { unnamed.NextRow(); }),
            "Cannot perform this operation on a closed dataset");
  EXPECT_EQ(DbErrorOf([&] { unnamed.ColumnByName("x"); }), "Field 'x' not found");
}

TEST_F(DbQueryTest, SecondOpenWithoutCloseDoesNotRunAgain) {
  Open("select @runs := coalesce(@runs, 0) + 1 as n");
  EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "1");
  query.Open();
  EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "1");
  query.Close();
  query.Close();  // nothing happens on an inactive query
  query.Open();
  EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "2");
}

TEST_F(DbQueryTest, OpenOfAStatementWithoutResultRunsItAndFails) {
  server.Exec(
      "DROP TABLE IF EXISTS larvek.t; CREATE TABLE larvek.t (a INT); "
      "INSERT INTO larvek.t VALUES (1), (2), (3)");
  EXPECT_EQ(DbErrorOf([&] { Open("update t set a = a + 10 where a < 3"); }), kNoResult);
  EXPECT_FALSE(query.Active());
  EXPECT_EQ(server.QueryValue("select group_concat(a order by a) from larvek.t"), "3,11,12");

  query.SqlClear();
  query.SqlAdd("update t set a = a + 1 where a > 10");
  query.ExecuteStatement();
  EXPECT_EQ(query.RowsAffected(), 2);
  query.SqlClear();
  query.SqlAdd("select * from t");
  query.ExecuteStatement();  // rows counted and dropped
  EXPECT_EQ(query.RowsAffected(), 3);
  EXPECT_FALSE(query.Active());
  Open("select count(*) as c from t");
  query.ExecuteStatement();  // closes the open query
  EXPECT_FALSE(query.Active());

  query.SqlClear();
  EXPECT_EQ(DbErrorOf([&] { query.Open(); }), kEmpty);
  EXPECT_EQ(DbErrorOf([&] { query.ExecuteStatement(); }), kEmpty);
}

TEST_F(DbQueryTest, ProcedureResultsAreReadWhole) {
  server.Exec(
      "DROP PROCEDURE IF EXISTS larvek.two_rows; "
      "CREATE PROCEDURE larvek.two_rows() SELECT 1 AS a UNION ALL SELECT 2");
  Open("call two_rows()");
  EXPECT_EQ(query.ColumnByName("a").AsString(kDefaultFormats), "1");
  query.Close();
  query.ExecuteStatement();
  EXPECT_EQ(query.RowsAffected(), 2);
  Open("select 3 as b");  // the link is in step after the procedure's extra result
  EXPECT_EQ(query.ColumnByName("b").AsString(kDefaultFormats), "3");
}

// A query holds only a weak token of its connection: one that outlives the connection fails
// instead of reaching it, and its result of that ended session reads as closed.
TEST_F(DbQueryTest, AQueryThatOutlivesItsConnectionFailsWithoutReachingIt) {
  auto own = std::make_unique<DbConnection>();
  server.Configure(*own);
  DbQuery orphan(*own, "Orphan");
  orphan.SqlAdd("select 1 as a");
  orphan.Open();
  EXPECT_EQ(orphan.ColumnByName("a").AsString(kDefaultFormats), "1");
  own.reset();
  EXPECT_FALSE(orphan.Active());
  EXPECT_TRUE(orphan.AtEnd());
  EXPECT_EQ(DbErrorOf([&] { orphan.ColumnByName("a"); }), "Orphan: Field 'a' not found");
  EXPECT_EQ(DbErrorOf([&] { orphan.Open(); }), "Orphan: Query has no connection");
}

TEST_F(DbQueryTest, DisconnectClosesQueriesAndForgetsTheSession) {
  DbQuery other(connection);
  other.SqlAdd("set @v = 7");
  other.ExecuteStatement();
  Open("select @v as v");
  EXPECT_EQ(query.ColumnByName("v").AsString(kDefaultFormats), "7");
  connection.Disconnect();
  EXPECT_FALSE(connection.Connected());
  EXPECT_FALSE(query.Active());
  EXPECT_EQ(DbErrorOf([&] { query.NextRow(); }),
            "DbQuery1: Cannot perform this operation on a closed dataset");
  connection.Disconnect();  // nothing happens when closed
  query.Open();             // opens a new link; the variable is gone
  EXPECT_TRUE(connection.Connected());
  EXPECT_TRUE(query.ColumnByName("v").IsNull());
}

TEST_F(DbQueryTest, FailedConnectLeavesTheConnectionClosedAndIsRetried) {
  ChangeSettings([](LinkSettings& s) { s.hosts[0].port = 1; });  // nobody listens there
  query.SqlAdd("");
  EXPECT_EQ(DbErrorOf([&] { query.Open(); }), kEmpty);  // before any connect attempt
  int code = 0;
  std::string message = DbErrorOf([&] { query.ExecuteStatement(); }, &code);
  EXPECT_EQ(message.rfind("SQL chyba: Can't connect to server on '127.0.0.1'", 0), 0u) << message;
  EXPECT_EQ(code, 2002);
  EXPECT_FALSE(connection.Connected());

  ChangeSettings([&](LinkSettings& s) {
    s.hosts[0].port = server.Port();
    s.password = "wrong";
  });
  message = DbErrorOf([&] { Open("select 1"); }, &code);
  EXPECT_EQ(message.rfind("SQL chyba: Access denied for user 'larvek'@'", 0), 0u) << message;
  EXPECT_EQ(code, 1045);
  EXPECT_FALSE(connection.Connected());

  ChangeSettings([&](LinkSettings& s) { s.password = server.Password(); });
  Open("select 1 as one");
  EXPECT_TRUE(connection.Connected());
  EXPECT_EQ(query.ColumnByName("one").AsInteger(), 1);
}

TEST_F(DbQueryTest, ALinkTheServerDroppedIsOpenedAnew) {
  Open("select connection_id() as id");
  std::string id = query.ColumnByName("id").AsString(kDefaultFormats);
  server.Exec("KILL " + id);
  int code = 0;
  std::string message = DbErrorOf([&] { Open("select 1 as one"); }, &code);
  EXPECT_EQ(message.rfind("SQL chyba: ", 0), 0u) << message;
  EXPECT_TRUE(code == 2006 || code == 2013 || code == 1927) << code << " " << message;
  EXPECT_FALSE(connection.Connected());
  EXPECT_FALSE(query.Active());

  Open("select connection_id() as id");
  EXPECT_NE(query.ColumnByName("id").AsString(kDefaultFormats), id);

  // The same after a restart of the server, with a second query bound to the link.
  DbQuery other(connection);
  other.SqlAdd("select 1");
  other.Open();
  server.Restart();
  EXPECT_EQ(DbErrorOf([&] { query.ExecuteStatement(); }, &code).rfind("SQL chyba: ", 0), 0u);
  EXPECT_FALSE(connection.Connected());
  EXPECT_FALSE(other.Active());
  Open("select 2 as two");
  EXPECT_EQ(query.ColumnByName("two").AsString(kDefaultFormats), "2");
}

TEST_F(DbQueryTest, QueriesMayOutliveTheirConnection) {
  auto conn = std::make_unique<DbConnection>();
  server.Configure(*conn);
  DbQuery q(*conn, "Q");
  q.SqlAdd("select 1");
  q.Open();
  conn.reset();
  EXPECT_FALSE(q.Active());
  EXPECT_NE(DbErrorOf([&] { q.ExecuteStatement(); }), "(no error)");
}

}  // namespace
}  // namespace larvek

namespace larvek {
namespace {

// A statement that outlives the link's time-out fails like any other and drops the link, so
// the next statement connects anew instead of waiting on a stuck server for ever.
TEST_F(DbQueryTest, AStatementPastTheTimeOutFailsAndDropsTheLink) {
  ChangeSettings([](LinkSettings& s) { s.timeout_seconds = 1; });
  query.SetSqlText("select sleep(5) as s");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(DbErrorOf([&] { query.Open(); }).find("SQL chyba: "), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_FALSE(connection.Connected());
  query.SetSqlText("select 7 as n");
  query.Open();
  EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "7");
}

// The link speaks cp1250 from the handshake on: a lookup before any SET NAMES compares text
// with letters beyond ASCII in a cp1250 column without a collation clash.
TEST_F(DbQueryTest, TheLinkIsCp1250FromTheStart) {
  query.SetSqlText("select @@character_set_client as c");
  query.Open();
  EXPECT_EQ(query.ColumnByName("c").AsString(kDefaultFormats), "cp1250");
}

// A loopback port where the kernel accepts connections that nobody answers: a database that
// never sends its greeting.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, 8) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      ADD_FAILURE() << "cannot listen on loopback";
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() { close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Opening the link ahead ends as opening it at the first statement does: the same link or the
// same failure within the same time-out, and the connection is never left half open.
TEST_F(DbQueryTest, OpeningAheadEndsAsOpeningAtTheFirstStatement) {
  SilentListener silent;
  ChangeSettings([](LinkSettings& s) { s.timeout_seconds = 1; });
  const struct {
    const char* name;
    int port;  // 0: the test server's
    std::string password;
    std::string error_start;  // "" when the statement runs
    int code;
  } cases[] = {
      {"open", 0, server.Password(), "", 0},
      {"nobody listens", 1, server.Password(), "SQL chyba: Can't connect to server on '127.0.0.1'",
       2002},
      {"refused login", 0, "wrong", "SQL chyba: Access denied for user 'larvek'@'", 1045},
      {"no greeting within the time-out", silent.Port(), server.Password(), "SQL chyba: ", 2013},
  };
  for (const auto& c : cases) {
    for (const bool ahead : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (ahead ? ", opened ahead" : ", opened by the statement"));
      ChangeSettings([&](LinkSettings& s) {
        s.hosts[0].port = c.port ? c.port : server.Port();
        s.password = c.password;
      });
      if (ahead) {
        connection.BeginOpen();
        connection.BeginOpen();  // a second call changes nothing
        EXPECT_TRUE(connection.Opening());
        EXPECT_FALSE(connection.Connected());
      }
      const auto start = std::chrono::steady_clock::now();
      int code = 0;
      const std::string message = DbErrorOf([&] { Open("select 7 as n"); }, &code);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
      EXPECT_FALSE(connection.Opening());
      if (c.error_start.empty()) {
        EXPECT_EQ(message, "(no error)");
        EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "7");
        EXPECT_TRUE(connection.Connected());
      } else {
        EXPECT_EQ(message.rfind(c.error_start, 0), 0u) << message;
        EXPECT_EQ(code, c.code) << message;
        EXPECT_FALSE(connection.Connected());
      }
      query.Close();
      connection.Disconnect();
    }
  }
}

// An opening that nothing used ends with Disconnect (or with the connection), and the next
// statement opens a link of its own.
TEST_F(DbQueryTest, DisconnectEndsAnOpeningUnderWay) {
  connection.BeginOpen();
  connection.Disconnect();
  EXPECT_FALSE(connection.Opening());
  EXPECT_FALSE(connection.Connected());
  Open("select 8 as n");
  EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "8");

  DbConnection abandoned;
  server.Configure(abandoned);
  abandoned.BeginOpen();  // ends with the object; a leak or a crash shows under the sanitizers
}

}  // namespace
}  // namespace larvek
