// The non-blocking operations of a link, driven here by poll the way the event loop drives
// them: a reset gives the state of a fresh link, a statement's further results are read to
// the end, and failures and time-outs come out as the blocking calls raise them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "db_test_util.h"

namespace larvek {
namespace {

class NonBlockingLinkTest : public DbTest {
 protected:
  void Connect() { Drive(connection, connection.StartConnect()); }
  void Execute(const std::string& statement) {
    Drive(connection, connection.StartStatement(statement));
    query.ExecuteStored();
  }
  // The first row's first column of `statement`'s result, "NULL" for NULL, "(error)" when the
  // database refuses it.
  std::string Value(const std::string& statement) {
    try {
      Drive(connection, connection.StartStatement(statement));
    } catch (const Error&) {
      return "(error)";
    }
    query.OpenStored();
    if (query.NoRows()) return "(no row)";
    DbField& field = query.Field(0);
    return field.IsNull() ? "NULL" : field.AsString(kDefaultFormats);
  }
};

TEST_F(NonBlockingLinkTest, AResetLeavesTheSessionAsAFreshLinkHasIt) {
  Connect();
  const std::string fresh_mode = Value("select @@session.sql_mode");
  const struct {
    const char* change;  // what a template left behind
    const char* check;   // what the next request would see
    const char* fresh;   // as on a fresh link
  } cases[] = {
      {"set @carried = 'x'", "select @carried", "NULL"},
      {"set session sql_mode = 'ANSI_QUOTES'", "select @@session.sql_mode = @@global.sql_mode", "1"},
      {"create temporary table carried (x int)", "select count(*) from carried", "(error)"},
      {"use information_schema", "select database()", "larvek"},
      {"set names latin1", "select @@character_set_client", "cp1250"},
      {"set names latin1", "select @@character_set_results", "cp1250"},
      {"create table if not exists kept (x int) engine=InnoDB", "select count(*) from kept", "0"},
      {"start transaction", "select @@in_transaction", "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    Execute(c.change);
    Drive(connection, connection.StartReset());
    EXPECT_TRUE(connection.Connected());
    EXPECT_EQ(Value(c.check), c.fresh);
  }
  // A transaction left open is rolled back, not committed, by the reset.
  Execute("start transaction");
  Execute("insert into kept values (1)");
  Drive(connection, connection.StartReset());
  EXPECT_EQ(Value("select count(*) from kept"), "0");
  EXPECT_EQ(Value("select @@session.sql_mode"), fresh_mode);
  Execute("drop table kept");
}

TEST_F(NonBlockingLinkTest, AProcedureIsReadToItsEndAndTheFirstResultKept) {
  server.Exec("use larvek; drop procedure if exists two_results");
  server.Exec(
      "create procedure larvek.two_results() begin select 'first' as v; select 'second' as v; "
      "end");
  Connect();
  EXPECT_EQ(Value("call two_results()"), "first");
  // The link is ready for the next statement: nothing of the procedure is left unread.
  EXPECT_EQ(Value("select 'next'"), "next");
  EXPECT_TRUE(connection.ConfirmedMode().has_value());
  server.Exec("drop procedure larvek.two_results");
}

TEST_F(NonBlockingLinkTest, FailuresComeOutAsTheBlockingCallsRaiseThem) {
  Connect();
  int code = 0;
  // A statement the database refuses: its number, and the link stays for the next one.
  EXPECT_EQ(DbErrorOf([&] { Execute("selec 1"); }, &code).rfind("SQL chyba: ", 0), 0u);
  EXPECT_EQ(code, 1064);
  EXPECT_TRUE(connection.Connected());
  EXPECT_FALSE(connection.TimedOut());
  EXPECT_EQ(Value("select 2"), "2");

  // A statement beyond the time-out: the wait times out and the link is closed.
  Drive(connection, connection.StartClose());
  EXPECT_FALSE(connection.Connected());
  ChangeSettings([](LinkSettings& s) { s.timeout_seconds = 1; });
  Connect();
  const auto started = std::chrono::steady_clock::now();
  code = 0;
  EXPECT_NE(DbErrorOf([&] { Execute("select sleep(5)"); }, &code), "(no error)");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  EXPECT_EQ(code, 2013);
  EXPECT_TRUE(connection.TimedOut());
  EXPECT_FALSE(connection.Connected());

  // A connect that is refused leaves the link closed with the failure.
  ChangeSettings([](LinkSettings& s) {
    s.hosts = {HostPort{"127.0.0.1", 1}};
  });
  EXPECT_NE(DbErrorOf([&] { Connect(); }), "(no error)");
  EXPECT_FALSE(connection.Connected());
}

}  // namespace
}  // namespace larvek
