// A link of the loop whose connect is tried again: each try has a socket of its own, often
// with the number of the one before, and the loop must watch the new one.
#include "commands/loop_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/regional.h"
#include "flaky_database.h"
#include "mariadb_server.h"
#include "platform/event_loop.h"

namespace larvek {
namespace {

using testing::FlakyDatabase;
using testing::MariaDb;
using testing::TestDatabase;

// Connects, asks for one value and says what came: the value or the failure's message.
Detached ConnectAndAsk(LoopLink& link, std::optional<std::string>& answer) {
  std::string got;
  try {
    co_await link.Connect();
    ResultRows* rows = co_await link.Open("select 6 as n");
    got = rows->ColumnByName("n").AsString(RegionalSettings());
  } catch (const Error& e) {
    got = "failed: " + e.Message();
  }
  answer = got;
}

// Runs the loop until the link has answered; what it answered.
std::string Answer(EventLoop& loop, LoopLink& link) {
  std::optional<std::string> answer;
  ConnectAndAsk(link, answer);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!answer && std::chrono::steady_clock::now() < give_up) loop.RunOnce(100);
  return answer.value_or("the connect never ended");
}

TEST(LoopLinkTest, AConnectTriedAgainIsWatchedOnItsNewSocket) {
  MariaDb& db = TestDatabase();
  DbConnection configured;
  db.Configure(configured);
  EventLoop loop;
  // A second host right after the first one failed: no pause between, so the new socket
  // usually has the number of the one just closed.
  FlakyDatabase dead(1000, db.Port());
  LinkSettings settings = configured.Settings();
  settings.hosts = {HostPort{"127.0.0.1", dead.Port()}, HostPort{"127.0.0.1", db.Port()}};
  LoopLink listed(loop, settings);
  EXPECT_EQ(Answer(loop, listed), "6");
  EXPECT_EQ(dead.Accepted(), 1);

  // One host, tried again after the pauses, once with success and once in vain.
  const struct {
    int closed_first;
    const char* expected;
  } cases[] = {
      {2, "6"},
      {1000, "failed: SQL chyba: Lost connection"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.closed_first);
    FlakyDatabase flaky(c.closed_first, db.Port());
    settings.hosts = {HostPort{"127.0.0.1", flaky.Port()}};
    LoopLink link(loop, settings);
    const std::string answer = Answer(loop, link);
    EXPECT_EQ(answer.rfind(c.expected, 0), 0u) << answer;
    EXPECT_EQ(flaky.Accepted(), 3);
  }
}

}  // namespace
}  // namespace larvek
