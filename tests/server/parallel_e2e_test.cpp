// The parallel mode end to end ([Server] Parallel_requests): the real srvlarvek binary as a
// child process, the test binary's MariaDB server (TestDatabase()), terminals over loopback
// TCP. The server logs in as a user of its own, so its links are the rows of that user in the
// database's process list, and the tests watch them there: how many exist, which statement
// runs, whether a cut statement and its link are gone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/codepage.h"
#include "command_database.h"
#include "mariadb_server.h"
#include "server_process.h"
#include "temp_dir.h"

namespace larvek::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// The server's database user; only its links are counted in the process list.
const char kServerUser[] = "par";
const char kPassword[] = "heslo";
// A second database that a definition may switch its session to.
const char kOtherDatabase[] = "parallel_other";

const std::string kStockReply = "STAV;A1;Sroub#\r";
const std::string kStockError = "STAV;error#\r";

// The start of the parallel mode's start-up line.
const std::string kParallelModeStart = Cp1250ToUtf8("Paraleln\xED re\x9Eim:");

std::string ParallelModeLine(const std::string& count) {
  return Cp1250ToUtf8(
      "Paraleln\xED re\x9Eim: nejv\xFD\x9A"
      "e " +
      count +
      " po\x9E"
      "adavk\xF9 sou\xE8"
      "asn\xEC u datab\xE1ze");
}

std::string InvalidValueLine(const std::string& value) {
  return Cp1250ToUtf8("Chybn\xE1 hodnota [Server] Parallel_requests=" + value +
                      ": plat\xED cel\xE9 \xE8\xEDslo 1 a\x9E 256, po\x9E"
                      "adavky pob\xEC\x9E\xED po jednom");
}

std::string ReceivedLine(const std::string& address, const std::string& request) {
  return Cp1250ToUtf8("Na\xE8teno z " + address + ": '" + request + "'");
}

// Reads until `count` replies (each ended by CR) have come, or the time is up.
std::string ReadReplies(Terminal& t, int count, std::chrono::milliseconds timeout) {
  std::string got;
  const auto deadline = SteadyClock::now() + timeout;
  while (std::count(got.begin(), got.end(), '\r') < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left <= 0ms) break;
    const std::string more = t.ReadUntil("\r", left);
    if (more.empty()) break;
    got += more;
  }
  return got;
}

// Stands on the database's port while the database is down: every connection is accepted and
// reset at once, before any greeting, so a link fails as on a port nobody serves; the
// connections are counted, which shows how often the server tries. The reset leaves no socket
// on the port that would keep the database from listening on it again.
class ClosedDoor {
 public:
  explicit ClosedDoor(int port) : port_(port) {
    // Not inherited by the server, which is started while the door stands.
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) {
      close(fd_);
      throw std::runtime_error("cannot listen on the database's port");
    }
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        ++accepted_;
        const linger reset{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(c);
      }
    });
  }
  ~ClosedDoor() { Close(); }
  ClosedDoor(const ClosedDoor&) = delete;
  ClosedDoor& operator=(const ClosedDoor&) = delete;

  int Accepted() const { return accepted_; }
  int Port() const { return port_; }
  void Close() {
    if (fd_ < 0) return;
    stop_ = true;
    thread_.join();
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  const int port_;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// A database of its own per test (CommandDatabase), with the commands either in its table
// server_term (table mode, the default) or as sections of the own INI file (configuration
// mode).
class ParallelServer : public ::testing::Test {
 protected:
  void SetUp() override {
    MariaDb& db = TestDatabase();
    for (const char* host : {"%", "localhost", "127.0.0.1"}) {
      const std::string account = std::string("'") + kServerUser + "'@'" + host + "'";
      db.Exec("CREATE USER IF NOT EXISTS " + account + " IDENTIFIED BY '" + kPassword + "'");
      db.Exec("GRANT ALL ON " + database_.Name() + ".* TO " + account);
      db.Exec("GRANT ALL ON " + std::string(kOtherDatabase) + ".* TO " + account);
    }
  }
  void TearDown() override {
    MariaDb& db = TestDatabase();
    // A lock the test held in its own transaction would keep a request of the server waiting.
    if (db.Running()) db.Exec("ROLLBACK");
    if (server_->Running()) server_->Stop();
    // The database is shared by the tests after this one.
    if (!db.Running()) db.Start();
  }

  // A command, as a row of server_term or as a section of the own file.
  void Define(const std::string& name, int parameter_count, const std::string& result_columns,
              const std::string& sql1, const std::string& sql2,
              const std::string& empty_result_text) {
    if (table_mode_) {
      if (!server_term_created_) database_.CreateServerTerm();
      server_term_created_ = true;
      database_.Define(name, parameter_count, result_columns, sql1, sql2, empty_result_text);
      return;
    }
    sections_ += "[" + name + "]\r\nZe_ctecky=" + std::to_string(parameter_count) +
                 "\r\nDo_ctecky=" + result_columns + "\r\nPrikaz_SQL1=" + sql1 + "\r\n" +
                 (sql2.empty() ? "" : "Prikaz_SQL2=" + sql2 + "\r\n") +
                 "Chyba=" + empty_result_text + "\r\n";
  }
  // STAV;A1 answers kStockReply.
  void DefineStock() {
    Define("STAV", 1, "kod|nazev", "select kod, nazev from sklad where kod = %a%", "", "NENI");
  }
  // NAME;x answers NAME;0#, after `seconds` on the database.
  void DefineSleep(const std::string& name, const std::string& seconds) {
    Define(name, 1, "s", "select sleep(" + seconds + ") as s", "", "NENI");
  }

  // Starts the server on this test's database; `server_keys` go into [Server].
  void Start(const std::string& server_keys, int sql_timeout = 10) {
    port_ = ServerProcess::FreePort();
    MariaDb& db = TestDatabase();
    server_->WriteSharedConfig(std::string("[LogOn]\r\nUser=") + kServerUser +
                               "\r\nPassword=" + kPassword + "\r\n");
    server_->WriteOwnConfig(
        "[LogOn]\r\nIP=" + ip_ + "\r\nSQLport=" + std::to_string(db.Port()) + "\r\nDatabase=" +
        database_.Name() + "\r\nSQLtimeout=" + std::to_string(sql_timeout) + "\r\n[Server]\r\nServer_port=" + std::to_string(port_) +
        "\r\nUkoncovac=#\r\n" + server_keys + sections_);
    server_->Start();
  }
  // A fresh program directory and log for the next start.
  void NewServer() {
    if (server_->Running()) server_->Stop();
    server_ = std::make_unique<ServerProcess>();
  }
  Terminal Connect() { return ConnectWhenListening(*server_, port_); }
  static std::string Addr() { return ServerProcess::ListenAddress(); }

  // The server's links on the database, or those of them running a statement that starts
  // with `statement`.
  static int ServerLinks(const std::string& statement = "") {
    std::string sql =
        std::string("select count(*) from information_schema.processlist where user = '") +
        kServerUser + "'";
    if (!statement.empty()) sql += " and info like " + CommandDatabase::Literal(statement + "%");
    return std::stoi(TestDatabase().QueryValue(sql));
  }
  static bool WaitForStatements(const std::string& statement, int count,
                                std::chrono::milliseconds timeout = 5s) {
    return WaitUntil([&] { return ServerLinks(statement) >= count; }, timeout, 10ms);
  }
  // The test database writes its log to disk about once a second: a commit of this moment
  // with a flush on commit takes every earlier one to disk, so they survive a kill.
  void MakeCommitsDurable() {
    const std::string table = database_.Name() + ".durable";
    TestDatabase().Exec(
        "SET GLOBAL innodb_flush_log_at_trx_commit = 1; CREATE TABLE IF NOT EXISTS " + table +
        " (n INT) ENGINE=InnoDB; INSERT INTO " + table +
        " VALUES (1); SET GLOBAL innodb_flush_log_at_trx_commit = 0");
  }
  std::string Quantity(const std::string& code) {
    return TestDatabase().QueryValue("select mnozstvi from " + database_.Name() +
                                     ".sklad where kod = '" + code + "'");
  }
  int CountMessages(const std::string& needle) const {
    int n = 0;
    for (const std::string& m : server_->Messages()) n += m.find(needle) != std::string::npos;
    return n;
  }
  std::string AllMessages() const {
    std::string all;
    for (const std::string& m : server_->Messages()) all += m + "\n";
    return all;
  }

  bool table_mode_ = true;
  std::string ip_ = "127.0.0.1";  // [LogOn] IP
  bool server_term_created_ = false;
  std::string sections_;
  CommandDatabase database_;
  std::unique_ptr<ServerProcess> server_ = std::make_unique<ServerProcess>();
  int port_ = 0;
};

// The same behaviour whichever way the commands are defined.
struct DefinitionMode {
  const char* name;
  bool table;
};
void PrintTo(const DefinitionMode& m, std::ostream* os) {
  *os << m.name;
}

class ParallelModes : public ParallelServer, public ::testing::WithParamInterface<DefinitionMode> {
 protected:
  void SetUp() override {
    table_mode_ = GetParam().table;
    ParallelServer::SetUp();
  }
};

// Eight terminals ask while a ninth one's statement runs two seconds: each is answered within
// half that time, so none of them waited for it.
TEST_P(ParallelModes, OthersAreAnsweredWhileOneStatementRuns) {
  DefineStock();
  DefineSleep("SPI", "2");
  Start("Parallel_requests=16\r\n");
  Terminal slow = Connect();
  std::vector<Terminal> others;
  for (int i = 0; i < 8; ++i) others.push_back(Connect());
  EXPECT_TRUE(server_->WaitForMessage(ParallelModeLine("16"))) << AllMessages();

  slow.Send("SPI;x\r");
  ASSERT_TRUE(WaitForStatements("select sleep(2)", 1)) << AllMessages();
  const auto sent = SteadyClock::now();
  for (Terminal& t : others) t.Send("STAV;A1\r");
  for (size_t i = 0; i < others.size(); ++i) {
    EXPECT_EQ(others[i].ReadUntil("\r", 5s), kStockReply) << "terminal " << i;
    EXPECT_LT(SteadyClock::now() - sent, 1s) << "terminal " << i << " waited for the slow one";
  }
  EXPECT_EQ(slow.ReadUntil("\r", 5s), "SPI;0#\r");
}

// What one request leaves in its session: on a kept link the next request must see none of
// it. Each definition reports its link's id (c) beside the state (v), which shows that the
// next request ran on the same link. The definitions name user variables only where the
// server's own reset after the reply can read them (at the end of a template) and read
// session settings without "@@", so that every request ends normally and its link is kept.
struct LeftoverCase {
  std::string name;
  std::string leave_sql1;   // leaves the state behind
  std::string leave_sql2;   // reports it
  std::string left_value;   // v while the state is in force
  std::string probe_sql;    // the next request
  std::string clean_value;  // v in a fresh session; {db} stands for the test's database
  std::string leave_columns = "c|v";
  std::string probe_columns = "c|v";
};

// The link's id and a session setting as the session itself sees it.
std::string IdAndSetting(const std::string& setting) {
  return "select connection_id() as c, (select variable_value from "
         "information_schema.session_variables where variable_name = '" +
         setting + "') as v";
}

const LeftoverCase kLeftoverCases[] = {
    // The server resets the variable its reply template names (@pin), not the other one.
    {"user variable", "set @pin = %a%, @kept = %a% /* update */",
     "select connection_id() as c, @pin", "A1", "select connection_id() as c, @kept", "", "c|@pin",
     "c|@kept"},
    {"session variable", "set session sql_select_limit = 1 /* update */",
     IdAndSetting("SQL_SELECT_LIMIT"), "1", IdAndSetting("SQL_SELECT_LIMIT"),
     "18446744073709551615"},
    // Double quotes read as names: the next request's values would be column names.
    {"sql_mode ANSI_QUOTES", "set session sql_mode = 'ANSI_QUOTES' /* update */",
     IdAndSetting("SQL_MODE"), "ANSI_QUOTES",
     "select connection_id() as c, nazev as v from sklad where kod = %a%", "Sroub"},
    {"autocommit off", "set autocommit = 0 /* update */", IdAndSetting("AUTOCOMMIT"), "OFF",
     IdAndSetting("AUTOCOMMIT"), "ON"},
    {"open transaction holding a row lock", "start transaction /* update */",
     IdAndSetting("IN_TRANSACTION") + " from sklad where kod = %a% for update", "1",
     IdAndSetting("IN_TRANSACTION"), "0"},
    // A temporary table hides the real one of the same name.
    {"temporary table", "create temporary table sklad select 'X9' as kod /* insert */",
     "select connection_id() as c, group_concat(kod order by kod) as v from sklad", "X9",
     "select connection_id() as c, group_concat(kod order by kod) as v from sklad", "A1,B2,C3"},
    {"USE another database", "use parallel_other /* update */",
     "select connection_id() as c, database() as v", kOtherDatabase,
     "select connection_id() as c, database() as v", "{db}"},
    // 'Š' has no latin1 letter: a latin1 session would send '?roub'.
    {"SET NAMES latin1", "set names latin1 /* update */", IdAndSetting("CHARACTER_SET_CLIENT"),
     "latin1", "select connection_id() as c, nazev as v from sklad where kod = %a%", "Sroub"},
};

// "NAME;c;v#" CR as {c, v}; nullopt for any other reply.
std::optional<std::pair<std::string, std::string>> LinkAndValue(const std::string& name,
                                                                const std::string& reply) {
  const std::string head = name + ";";
  if (reply.rfind(head, 0) != 0 || reply.size() < head.size() + 2 ||
      reply.compare(reply.size() - 2, 2, "#\r") != 0)
    return std::nullopt;
  const std::string body = reply.substr(head.size(), reply.size() - head.size() - 2);
  const size_t semicolon = body.find(';');
  if (semicolon == std::string::npos) return std::nullopt;
  return std::make_pair(body.substr(0, semicolon), body.substr(semicolon + 1));
}

TEST_P(ParallelModes, AKeptLinkCarriesNothingOverToTheNextRequest) {
  TestDatabase().Exec(std::string("CREATE DATABASE IF NOT EXISTS ") + kOtherDatabase +
                      " CHARACTER SET cp1250; CREATE TABLE IF NOT EXISTS " + kOtherDatabase +
                      ".sklad (kod VARCHAR(10)) CHARACTER SET cp1250");
  const int cases = static_cast<int>(std::size(kLeftoverCases));
  for (int i = 0; i < cases; ++i) {
    const LeftoverCase& c = kLeftoverCases[i];
    Define("ZANECH" + std::to_string(i), 1, c.leave_columns, c.leave_sql1, c.leave_sql2, "NENI");
    Define("ZJISTI" + std::to_string(i), 1, c.probe_columns, c.probe_sql, "", "NENI");
  }
  Start("Parallel_requests=2\r\n");
  Terminal t = Connect();
  for (int i = 0; i < cases; ++i) {
    const LeftoverCase& c = kLeftoverCases[i];
    SCOPED_TRACE(c.name);
    const std::string leave = "ZANECH" + std::to_string(i), probe = "ZJISTI" + std::to_string(i);
    const std::string left_reply = t.Ask(leave + ";A1");
    const auto left = LinkAndValue(leave, left_reply);
    ASSERT_TRUE(left) << left_reply;
    ASSERT_EQ(left->second, c.left_value) << "the definition left its state";
    const std::string probe_reply = t.Ask(probe + ";A1");
    const auto seen = LinkAndValue(probe, probe_reply);
    ASSERT_TRUE(seen) << probe_reply;
    EXPECT_EQ(seen->first, left->first) << "the next request ran on the kept link";
    const std::string clean = c.clean_value == "{db}" ? database_.Name() : c.clean_value;
    EXPECT_EQ(seen->second, clean);
  }
  // A row lock left in a kept link's transaction is gone once the link was reset.
  TestDatabase().Exec("SET SESSION innodb_lock_wait_timeout = 1; SELECT mnozstvi FROM " +
                      database_.Name() + ".sklad WHERE kod = 'A1' FOR UPDATE; ROLLBACK");
  TestDatabase().Exec(std::string("DROP DATABASE ") + kOtherDatabase +
                      "; SET SESSION innodb_lock_wait_timeout = DEFAULT");
}

INSTANTIATE_TEST_SUITE_P(ParallelDefinitions, ParallelModes,
                         ::testing::Values(DefinitionMode{"Table", true},
                                           DefinitionMode{"OwnFile", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A modifying request waits for a row lock that the test holds in its own transaction; the
// other terminals are answered meanwhile, and once the test commits the row has changed once.
TEST_F(ParallelServer, ARequestWaitingForARowLockHoldsUpOnlyItself) {
  DefineStock();
  Define("PRIJEM", 2, "kod|mnozstvi", "update sklad set mnozstvi = mnozstvi + %b% where kod = %a%",
         "select kod, mnozstvi from sklad where kod = %a%", "NENI");
  Start("Parallel_requests=16\r\n");
  Terminal waiting = Connect();
  std::vector<Terminal> others;
  for (int i = 0; i < 4; ++i) others.push_back(Connect());
  MariaDb& db = TestDatabase();
  db.Exec("USE " + database_.Name() +
          "; BEGIN; SELECT mnozstvi FROM sklad WHERE kod = 'A1' FOR UPDATE");
  waiting.Send("PRIJEM;A1;5\r");
  ASSERT_TRUE(WaitForStatements("update sklad set mnozstvi", 1)) << AllMessages();

  const auto sent = SteadyClock::now();
  for (Terminal& t : others) t.Send("STAV;A1\r");
  for (size_t i = 0; i < others.size(); ++i) {
    EXPECT_EQ(others[i].ReadUntil("\r", 5s), kStockReply) << "terminal " << i;
    EXPECT_LT(SteadyClock::now() - sent, 1s) << "terminal " << i << " waited for the lock";
  }
  EXPECT_EQ(waiting.ReadFor(100ms), "") << "answered while the row is locked";
  db.Exec("COMMIT");
  EXPECT_EQ(waiting.ReadUntil("\r", 5s), "PRIJEM;A1;15#\r");
  EXPECT_EQ(Quantity("A1"), "15");
  EXPECT_EQ(others[0].Ask("STAV;A1"), kStockReply);
  EXPECT_EQ(Quantity("A1"), "15") << "changed exactly once";
}

// With Parallel_requests=3 six one-second requests at once: the process list never shows more
// than three links of the server, three of them run at a time, and all six are answered.
TEST_F(ParallelServer, NeverMoreLinksThanParallelRequests) {
  DefineSleep("SPI1", "1");
  Start("Parallel_requests=3\r\n");
  std::vector<Terminal> terminals;
  for (int i = 0; i < 6; ++i) terminals.push_back(Connect());
  EXPECT_TRUE(server_->WaitForMessage(ParallelModeLine("3"))) << AllMessages();

  std::atomic<bool> done{false};
  int most_links = 0, most_running = 0;
  std::string most_links_seen;  // the process list at that moment
  std::string watch_error;
  std::thread watcher([&] {
    try {
      while (!done) {
        const auto rows = TestDatabase().Query(
            std::string("select id, command, ifnull(info, '') from information_schema.processlist "
                        "where user = '") +
            kServerUser + "'");
        int running = 0;
        for (const auto& row : rows) running += row.at(2).rfind("select sleep(1)", 0) == 0;
        most_running = std::max(most_running, running);
        if (static_cast<int>(rows.size()) > most_links) {
          most_links = static_cast<int>(rows.size());
          most_links_seen.clear();
          for (const auto& row : rows)
            most_links_seen += row.at(0) + " " + row.at(1) + " " + row.at(2) + "\n";
        }
        std::this_thread::sleep_for(10ms);
      }
    } catch (const std::exception& e) {
      watch_error = e.what();
    }
  });
  for (Terminal& t : terminals) t.Send("SPI1;x\r");
  std::vector<std::string> replies;
  for (Terminal& t : terminals) replies.push_back(t.ReadUntil("\r", 15s));
  done = true;
  watcher.join();
  EXPECT_EQ(watch_error, "");
  for (size_t i = 0; i < replies.size(); ++i)
    EXPECT_EQ(replies[i], "SPI1;0#\r") << "terminal " << i;
  EXPECT_LE(most_links, 3) << most_links_seen << AllMessages();
  EXPECT_EQ(most_running, 3);
  EXPECT_LE(ServerLinks(), 3) << "links kept after the requests";
}

// A terminal's second request, sent while its first one runs, is answered after it.
TEST_F(ParallelServer, RepliesToOneTerminalKeepTheOrderOfItsRequests) {
  DefineStock();
  DefineSleep("SPI1", "1");
  Start("Parallel_requests=4\r\n");
  Terminal t = Connect();
  t.Send("SPI1;x\r");
  ASSERT_TRUE(WaitForStatements("select sleep(1)", 1)) << AllMessages();
  t.Send("STAV;A1\r");
  EXPECT_EQ(ReadReplies(t, 2, 10s), "SPI1;0#\r" + kStockReply);
  EXPECT_EQ(t.ReadFor(200ms), "");
}

// With the watchdog on, a statement that runs longer than Max_time is killed on the database
// and its link closed; the terminal gets the timeout record, and its next request is answered.
TEST_F(ParallelServer, TheWatchdogCutsAStatementThatRunsTooLong) {
  DefineStock();
  DefineSleep("LANG", "5");
  Start("Parallel_requests=4\r\nInterval_on=True\r\nMax_time=300\r\n");
  Terminal t = Connect();
  const auto sent = SteadyClock::now();
  t.Send("LANG;x\r");
  std::string link_id;
  WaitUntil(
      [&] {
        link_id = TestDatabase().QueryValue(
            std::string("select id from information_schema.processlist where user = '") +
            kServerUser + "' and info like 'select sleep(5)%'");
        return !link_id.empty();
      },
      2s, 10ms);
  EXPECT_FALSE(link_id.empty()) << "the statement was not seen running";
  EXPECT_EQ(t.ReadUntil("\r", 6s), "LANG;timeout#\r");
  EXPECT_LT(SteadyClock::now() - sent, 3s) << "the statement ran to its end";
  EXPECT_EQ(t.ReadFor(300ms), "") << "nothing after the timeout record";
  EXPECT_TRUE(
      server_->WaitForMessage(Cp1250ToUtf8("P\xF8\xEDkaz LANG p\xF8"
                                           "eru\x9A"
                                           "en: b\xEC\x9E\xED d\xE9le ne\x9E "
                                           "Max_time=300 ms")))
      << AllMessages();
  EXPECT_TRUE(server_->WaitForMessage("Odeslal na " + Addr() + ": LANG;timeout#"));
  // Gone long before the five seconds are over: the statement and the link that ran it.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return ServerLinks("select sleep(5)") == 0 &&
               (link_id.empty() ||
                TestDatabase().QueryValue(
                    "select count(*) from information_schema.processlist where id = " + link_id) ==
                    "0");
      },
      2s));
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
}

// A statement cut by SQLtimeout gets the error record, and is killed on the database so that it
// cannot run on beside the limit.
TEST_F(ParallelServer, AStatementCutBySqlTimeoutIsKilledOnTheDatabase) {
  DefineStock();
  DefineSleep("LANG", "8");
  Start("Parallel_requests=4\r\n", /*sql_timeout=*/1);
  Terminal t = Connect();
  const auto sent = SteadyClock::now();
  EXPECT_EQ(t.Ask("LANG;x"), "LANG;error#\r");
  EXPECT_LT(SteadyClock::now() - sent, 4s);
  EXPECT_TRUE(server_->WaitForMessage(
      Cp1250ToUtf8(" ukon\xE8"
                   "en na datab\xE1zi (KILL QUERY)")))
      << AllMessages();
  EXPECT_TRUE(WaitUntil([&] { return ServerLinks("select sleep(8)") == 0; }, 2s));
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
}

// A terminal that leaves while its modifying request runs: the row is written all the same,
// and the server goes on serving.
TEST_F(ParallelServer, TheRequestOfATerminalThatLeftStillCompletes) {
  DefineStock();
  Define("ZAPIS", 2, "kod|mnozstvi",
         "update sklad set mnozstvi = mnozstvi + %b% + sleep(1) where kod = %a%",
         "select kod, mnozstvi from sklad where kod = %a%", "NENI");
  Start("Parallel_requests=4\r\n");
  const struct {
    const char* name;
    void (*leave)(Terminal&);
  } departures[] = {
      {"closed", [](Terminal& t) { t.Close(); }},
      {"reset", [](Terminal& t) { t.Reset(); }},
  };
  int quantity = 10;
  for (const auto& departure : departures) {
    SCOPED_TRACE(departure.name);
    Terminal t = Connect();
    t.Send("ZAPIS;A1;5\r");
    ASSERT_TRUE(WaitForStatements("update sklad set mnozstvi", 1)) << AllMessages();
    departure.leave(t);
    quantity += 5;
    EXPECT_TRUE(WaitUntil([&] { return Quantity("A1") == std::to_string(quantity); }, 5s))
        << Quantity("A1");
    Terminal other = Connect();
    EXPECT_EQ(other.Ask("STAV;A1"), kStockReply);
  }
  EXPECT_EQ(Quantity("A1"), "20");
}

// SIGTERM while two requests run and a third waits for a link: the server reads and accepts
// nothing more, the two finish and are answered, the third is dropped with a log line, and
// the exit status is 0.
TEST_F(ParallelServer, SigtermLetsTheRequestsInFlightFinish) {
  DefineStock();
  DefineSleep("SPI1", "1");
  Start("Parallel_requests=2\r\n");
  Terminal first = Connect(), second = Connect(), queued = Connect(), idle = Connect();
  first.Send("SPI1;x\r");
  second.Send("SPI1;x\r");
  ASSERT_TRUE(WaitForStatements("select sleep(1)", 2)) << AllMessages();
  queued.Send("SPI1;x\r");
  ASSERT_TRUE(server_->WaitForMessages(ReceivedLine(Addr(), "SPI1;x"), 3)) << AllMessages();
  auto read_reply = [](Terminal& t) {
    return std::async(std::launch::async, [&t] { return t.ReadUntil("\r", 15s); });
  };
  auto first_reply = read_reply(first), second_reply = read_reply(second),
       queued_reply = read_reply(queued);

  ASSERT_EQ(kill(server_->Pid(), SIGTERM), 0);
  std::this_thread::sleep_for(200ms);
  try {
    idle.Send("STAV;A1\r");
  } catch (const std::runtime_error&) {
    // already closed by the server
  }
  Terminal late(Addr(), port_);
  if (late.Connected()) {
    try {
      late.Send("STAV;A1\r");
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_EQ(server_->WaitForExit(15s), std::optional<int>(0)) << server_->Stderr() << AllMessages();
  EXPECT_EQ(first_reply.get(), "SPI1;0#\r");
  EXPECT_EQ(second_reply.get(), "SPI1;0#\r");
  EXPECT_EQ(queued_reply.get(), "");
  EXPECT_EQ(CountMessages(Cp1250ToUtf8("Po\x9E"
                                       "adavek SPI1 z " +
                                       Addr() +
                                       " zru\x9A"
                                       "en: server kon\xE8\xED")),
            1)
      << AllMessages();
  EXPECT_EQ(idle.ReadFor(200ms), "");
  if (late.Connected()) {
    EXPECT_EQ(late.ReadFor(200ms), "");
  }
  EXPECT_EQ(CountMessages(ReceivedLine(Addr(), "STAV;A1")), 0) << "read after SIGTERM";
}

// The database killed under load and started again: the statement in flight and the requests
// meanwhile get error records, nothing is lost, and afterwards every terminal is answered.
TEST_F(ParallelServer, DatabaseKilledUnderLoadGivesErrorRecordsThenRecovers) {
  DefineStock();
  DefineSleep("SPI1", "1");
  Start("Parallel_requests=4\r\n");
  constexpr int kTerminals = 4;
  std::vector<Terminal> terminals;
  for (int i = 0; i < kTerminals; ++i) terminals.push_back(Connect());
  Terminal slow = Connect();

  std::mutex mutex;
  std::vector<std::vector<std::pair<SteadyClock::time_point, std::string>>> replies(kTerminals);
  std::atomic<bool> stop{false};
  std::vector<std::thread> load;
  for (int i = 0; i < kTerminals; ++i)
    load.emplace_back([&, i] {
      while (!stop) {
        std::string reply;
        try {
          reply = terminals[i].Ask("STAV;A1");
        } catch (const std::runtime_error&) {
        }
        {
          std::lock_guard<std::mutex> lock(mutex);
          replies[i].emplace_back(SteadyClock::now(), reply);
        }
        if (reply.empty()) return;  // lost: the terminal has nothing more to say
        std::this_thread::sleep_for(50ms);
      }
    });
  auto each_answered_since = [&](SteadyClock::time_point since) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::all_of(replies.begin(), replies.end(), [&](const auto& of_one) {
      return std::any_of(of_one.begin(), of_one.end(), [&](const auto& r) {
        return r.first >= since && r.second == kStockReply;
      });
    });
  };
  auto error_since = [&](SteadyClock::time_point since) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& of_one : replies)
      for (const auto& r : of_one)
        if (r.first >= since && r.second == kStockError) return true;
    return false;
  };

  MariaDb& db = TestDatabase();
  EXPECT_TRUE(WaitUntil([&] { return each_answered_since(SteadyClock::time_point()); }, 10s));
  slow.Send("SPI1;x\r");
  EXPECT_TRUE(WaitForStatements("select sleep(1)", 1));
  MakeCommitsDurable();
  db.Kill();
  const auto killed = SteadyClock::now();
  EXPECT_EQ(slow.ReadUntil("\r", 10s), "SPI1;error#\r");
  EXPECT_TRUE(WaitUntil([&] { return error_since(killed); }, 10s));
  db.Start();
  const auto started = SteadyClock::now();
  EXPECT_TRUE(WaitUntil([&] { return each_answered_since(started); }, 30s));
  stop = true;
  for (std::thread& t : load) t.join();

  for (int i = 0; i < kTerminals; ++i)
    for (const auto& r : replies[i])
      EXPECT_TRUE(r.second == kStockReply || r.second == kStockError)
          << "terminal " << i << ": '" << r.second << "'";
  EXPECT_EQ(slow.Ask("SPI1;x"), "SPI1;0#\r");
}

// Kept links lost while the server is idle: the next requests are answered normally, each
// on a new link instead of a dead one.
TEST_F(ParallelServer, KeptLinksLostWhileIdleAreReplaced) {
  DefineStock();
  DefineSleep("SPI", "0.3");
  Start("Parallel_requests=4\r\n");
  std::vector<Terminal> terminals;
  for (int i = 0; i < 4; ++i) terminals.push_back(Connect());
  const struct {
    const char* name;
    std::function<void(MariaDb&)> lose;
  } losses[] = {
      {"database restarted", [](MariaDb& db) { db.Restart(); }},
      {"database killed and started",
       [](MariaDb& db) {
         db.Kill();
         db.Start();
       }},
      {"links killed on the database",
       [](MariaDb& db) {
         for (const auto& row :
              db.Query(std::string("select id from information_schema.processlist where user = '") +
                       kServerUser + "'"))
           db.Exec("KILL " + row.at(0));
       }},
  };
  for (const auto& loss : losses) {
    SCOPED_TRACE(loss.name);
    // Four requests at once leave four kept links.
    for (Terminal& t : terminals) t.Send("SPI;x\r");
    for (Terminal& t : terminals) EXPECT_EQ(t.ReadUntil("\r", 10s), "SPI;0#\r");
    EXPECT_EQ(ServerLinks(), 4) << "links kept";
    MakeCommitsDurable();
    loss.lose(TestDatabase());
    for (Terminal& t : terminals) t.Send("STAV;A1\r");
    for (size_t i = 0; i < terminals.size(); ++i)
      EXPECT_EQ(terminals[i].ReadUntil("\r", 10s), kStockReply) << "terminal " << i;
  }
}

// Started while the database is down: each request gets the error record at once, the
// database is tried at most once every five seconds, and once it is up the requests are
// answered from its table server_term.
TEST_F(ParallelServer, DatabaseDownAtStartUpGivesErrorRecordsUntilItIsUp) {
  DefineStock();
  MariaDb& db = TestDatabase();
  db.Stop();
  ClosedDoor door(db.Port());
  Start("Parallel_requests=4\r\n");
  Terminal t = Connect();
  t.ReadUntil("\n", 1s);  // the greeting of a start-up that stopped
  int asked = 0;
  for (const auto begin = SteadyClock::now(); SteadyClock::now() - begin < 3s; ++asked) {
    const auto sent = SteadyClock::now();
    EXPECT_EQ(t.Ask("STAV;A1"), kStockError);
    EXPECT_LT(SteadyClock::now() - sent, 3s);
    std::this_thread::sleep_for(100ms);
  }
  // Within three seconds: the start-up's attempt, and at most one of a request (about 30
  // were asked); each attempt is a connect and its two retries.
  EXPECT_GE(door.Accepted(), 3) << "the start-up tried the database's port";
  EXPECT_LE(door.Accepted(), 6) << "connections to the database's port for " << asked
                                << " requests";
  door.Close();
  db.Start();
  std::string reply;
  const auto started = SteadyClock::now();
  while ((reply = t.Ask("STAV;A1")) != kStockReply && SteadyClock::now() - started < 20s) {
    EXPECT_EQ(reply, kStockError);
    std::this_thread::sleep_for(250ms);
  }
  EXPECT_EQ(reply, kStockReply);
}

// Without the key, with 1 and with an invalid value, requests run one at a time: a fast
// request of a second terminal is answered only after a slow one.
// A host list: a new link skips a host that does not answer, the log says once that it did,
// and later links start at the host that answered. A list that cannot be read stops start-up,
// naming the setting.
TEST_F(ParallelServer, AHostListSkipsAHostThatDoesNotAnswer) {
  DefineStock();
  const int port = TestDatabase().Port();
  for (const char* mode : {"", "Parallel_requests=4\r\n"}) {
    SCOPED_TRACE(*mode ? "parallel" : "one at a time");
    NewServer();
    ClosedDoor dead(ServerProcess::FreePort());
    const std::string dead_host = "127.0.0.1:" + std::to_string(dead.Port());
    ip_ = " " + dead_host + " , 127.0.0.1";
    Start(mode);
    const std::string good_host = "127.0.0.1:" + std::to_string(port);
    EXPECT_TRUE(server_->WaitForMessage(Cp1250ToUtf8("Datab\xE1zov\xE9 servery v po\xF8"
                                                     "ad\xED zkou\x9A"
                                                     "en\xED: ") +
                                        dead_host + ", " + good_host));
    Terminal t = Connect();
    t.ReadUntil("\n", 1s);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
    const std::string retried = Cp1250ToUtf8("Spojen\xED s datab\xE1z\xED nav\xE1z\xE1no na 2. pokus (") +
                                good_host + Cp1250ToUtf8("), p\xF8" "edt\xEDm: SQL chyba: ");
    EXPECT_TRUE(server_->WaitForMessage(retried));
    EXPECT_EQ(dead.Accepted(), 1) << "the later links start at the host that answered";
  }

  NewServer();
  ip_ = "127.0.0.1,,127.0.0.2";
  Start("");
  EXPECT_TRUE(server_->WaitForMessage(
      Cp1250ToUtf8("Chybn\xE1 hodnota [LogOn] IP=127.0.0.1,,127.0.0.2: pr\xE1zdn\xE1 polo\x9Eka")));
  ip_ = "127.0.0.1";
}

TEST_F(ParallelServer, WithoutParallelRequestsOneRequestRunsAtATime) {
  DefineStock();
  DefineSleep("SPI1", "1");
  const struct {
    const char* name;
    const char* keys;
  } settings[] = {
      {"no key", ""},
      {"Parallel_requests=1", "Parallel_requests=1\r\n"},
      {"Parallel_requests=16x", "Parallel_requests=16x\r\n"},
  };
  for (const auto& setting : settings) {
    SCOPED_TRACE(setting.name);
    NewServer();
    Start(setting.keys);
    Terminal slow = Connect(), fast = Connect();
    slow.Send("SPI1;x\r");
    ASSERT_TRUE(WaitForStatements("select sleep(1)", 1)) << AllMessages();
    EXPECT_EQ(fast.Ask("STAV;A1"), kStockReply);
    EXPECT_EQ(slow.ReadUntil("\r", 200ms), "SPI1;0#\r") << "the slow reply did not come first";
    server_->Stop();
  }
}

// The start-up line for each kind of value: the parallel mode with its bound, nothing for 1,
// and the invalid value named for everything else.
TEST_F(ParallelServer, StartUpLineForTheValueOfParallelRequests) {
  DefineStock();
  const struct {
    const char* value;
    std::string line;  // empty: no line about the key
  } values[] = {
      {"16", ParallelModeLine("16")},
      {"256", ParallelModeLine("256")},
      {"1", ""},
      {"0", InvalidValueLine("0")},
      {"257", InvalidValueLine("257")},
      {"300", InvalidValueLine("300")},
      {"16x", InvalidValueLine("16x")},
      {"", InvalidValueLine("")},
      {"-4", InvalidValueLine("-4")},
  };
  for (const auto& v : values) {
    SCOPED_TRACE(std::string("Parallel_requests=") + v.value);
    NewServer();
    Start(std::string("Parallel_requests=") + v.value + "\r\n");
    Terminal t = Connect();
    // Start-up went on; its lines come before the reply's.
    EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
    ASSERT_TRUE(server_->WaitForMessage("Odeslal na " + Addr() + ": STAV;A1"));
    if (!v.line.empty()) {
      EXPECT_EQ(CountMessages(v.line), 1) << AllMessages();
    }
    EXPECT_EQ(CountMessages("Parallel_requests") + CountMessages(kParallelModeStart),
              v.line.empty() ? 0 : 1)
        << AllMessages();
    server_->Stop();
  }
}

// What a node of a Galera cluster answers when it does not take a statement, raised here by
// a procedure that has written its row first: a certification conflict, a node that is not
// ready for clients (also what a node out of the primary component answers) and a commit
// refused without the quorum.
struct ClusterRefusal {
  const char* name;
  int number;
  const char* sqlstate;
  const char* text;
};
const ClusterRefusal kClusterRefusals[] = {
    {"certification conflict", 1213, "40001",
     "Deadlock found when trying to get lock; try restarting transaction"},
    {"node not ready", 1047, "08S01", "WSREP has not yet prepared node for application use"},
    {"commit without quorum", 1180, "HY000",
     "Got error 6 \"No such device or address\" during COMMIT"},
};

// Each refusal is the error record, in both ways a template runs (opened as reading, executed
// as modifying) and in both request modes; the day's log line names the database's number and
// text, and the statement was sent once: its row is there once.
TEST_F(ParallelServer, ClusterRefusalsAreErrorRecordsAndNothingIsSentAgain) {
  database_.Exec("CREATE TABLE zapisy (id INT AUTO_INCREMENT PRIMARY KEY, kod VARCHAR(40))");
  for (const ClusterRefusal& r : kClusterRefusals) {
    const std::string n = std::to_string(r.number);
    database_.Exec("CREATE PROCEDURE odmitni_" + n +
                   "(k VARCHAR(40)) BEGIN INSERT INTO zapisy (kod) VALUES (k); SIGNAL SQLSTATE '" +
                   r.sqlstate + "' SET MYSQL_ERRNO = " + n +
                   ", MESSAGE_TEXT = " + CommandDatabase::Literal(r.text) + "; END");
    Define("CTI" + n, 1, "kod", "call odmitni_" + n + "(%a%)", "", "NENI");
    Define("ZAPIS" + n, 1, "", "call odmitni_" + n + "(%a%) /* insert */", "", "NENI");
  }
  DefineStock();
  for (const char* keys : {"", "Parallel_requests=4\r\n"}) {
    SCOPED_TRACE(*keys ? keys : "one at a time");
    NewServer();
    Start(keys);
    Terminal t = Connect();
    EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);  // a kept link in parallel mode
    for (const ClusterRefusal& r : kClusterRefusals) {
      for (const char* command : {"CTI", "ZAPIS"}) {
        const std::string name = command + std::to_string(r.number);
        SCOPED_TRACE(name);
        const std::string code = name + (*keys ? "-p" : "-1");
        EXPECT_EQ(t.Ask(name + ";" + code), name + ";error#\r");
        const std::string line = "Chyba p\xF8\xEDkazu " + name +
                                 ": EDatabaseError: SQL chyba: " + r.text + " (#" +
                                 std::to_string(r.number) + ")";
        ASSERT_TRUE(server_->WaitForMessage(Cp1250ToUtf8(line))) << AllMessages();
        EXPECT_NE(TempDir::Read(server_->DayLogPath()).find("  " + line + "\r\n"),
                  std::string::npos);
        EXPECT_EQ(TestDatabase().QueryValue("select count(*) from " + database_.Name() +
                                            ".zapisy where kod = '" + code + "'"),
                  "1");
      }
    }
    EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);  // the failed links left nothing behind
    server_->Stop();
  }
}

}  // namespace
}  // namespace larvek::testing
