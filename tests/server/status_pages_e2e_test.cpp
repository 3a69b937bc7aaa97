// The status listener end to end ([Server] Status_port): the real srvlarvek binary, a MariaDB
// server of this suite's own (so that it can be stopped and frozen), terminals and HTTP clients
// over loopback. The metrics page is checked by promtool, Prometheus's own parser.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"
#include "mariadb_server.h"
#include "server_process.h"

namespace larvek::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

const std::string kStockReply = "STAV;A1;Sroub#\r";

// The samples of a metrics page by their name with labels, as written.
std::map<std::string, double> Samples(const std::string& page) {
  std::map<std::string, double> samples;
  std::istringstream lines(page);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return samples;
}

class StatusPages : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    db_ = new MariaDb();
    db_->Exec(
        "USE larvek;"
        "CREATE TABLE sklad (kod VARCHAR(10) PRIMARY KEY, nazev VARCHAR(40), mnozstvi INT NULL) "
        "CHARACTER SET cp1250;"
        "INSERT INTO sklad VALUES ('A1', _cp1250 0x8A726F7562, 10), ('B2', 'Matice', NULL);"
        "CREATE TABLE server_term (operace VARCHAR(20), ze_ctecky INT, do_ctecky VARCHAR(200), "
        "prikaz_SQL1 TEXT, prikaz_SQL2 TEXT, chyba VARCHAR(50)) CHARACTER SET cp1250;"
        "INSERT INTO server_term VALUES "
        "('STAV', 1, 'kod|nazev', 'select kod, nazev from sklad where kod = %a%', '', 'NENI'),"
        "('CHYBA', 1, 'x', 'select x from no_such_table where a = %a%', '', 'NENI'),"
        // A modifying statement that runs %a% seconds: the watchdog cuts it.
        "('POMALU', 1, 'x', 'update sklad set mnozstvi = mnozstvi where sleep(%a%) = 1', '', "
        "'NENI'),"
        "('SPI', 1, 's', 'select sleep(%a%) as s', '', 'NENI'),"
        // A reply of %a% kilobytes.
        "('VELKY', 1, 'v', 'select repeat(''x'', %a% * 1000) as v', '', 'NENI'),"
        // The definition's own name has small letters; the lookup ignores case.
        "('Male', 1, 'kod', 'select kod from sklad where kod = %a%', '', 'NENI')");
  }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  void TearDown() override {
    if (server_.Running()) server_.Stop();
    db_->Thaw();
    db_->Start();
  }

  // Starts the server with the status listener on a free port; `server_keys` go into [Server].
  void Start(const std::string& server_keys, bool service = false) {
    port_ = ServerProcess::FreePort();
    status_port_ = ServerProcess::FreePort();
    server_.WriteSharedConfig("[LogOn]\r\nUser=" + db_->User() + "\r\nPassword=" +
                              db_->Password() + "\r\n");
    server_.WriteOwnConfig("[LogOn]\r\nIP=127.0.0.1\r\nSQLport=" + std::to_string(db_->Port()) +
                           "\r\nDatabase=larvek\r\nSQLtimeout=2\r\n[Server]\r\nServer_port=" +
                           std::to_string(port_) + "\r\nUkoncovac=#\r\nStatus_port=" +
                           std::to_string(status_port_) + "\r\n" + server_keys);
    if (service) server_.SetArguments({"--service"});
    server_.Start();
  }
  Terminal Connect() { return ConnectWhenListening(server_, port_); }
  HttpAnswer Get(const std::string& path, std::chrono::milliseconds timeout = 10s) {
    return HttpGet("127.0.0.1", status_port_, path, timeout);
  }
  // Waits until the status listener answers (it starts after the terminal listener).
  void AwaitStatusPages() {
    ASSERT_TRUE(WaitUntil([&] { return Get("/health", 1s).status != 0; }, 10s))
        << server_.Stderr();
  }
  // How long until /ready answers `status`, polled every 100 ms for at most `limit`.
  std::chrono::milliseconds TimeUntilReady(int status, std::chrono::milliseconds limit) {
    const auto begin = SteadyClock::now();
    WaitUntil([&] { return Get("/ready", 5s).status == status; }, limit, 100ms);
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - begin);
  }
  long ResidentKiB() const {
    std::ifstream status("/proc/" + std::to_string(server_.Pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
  }

  static MariaDb& Db() { return *db_; }

 protected:
  static MariaDb* db_;
  ServerProcess server_;
  int port_ = 0;
  int status_port_ = 0;
};

MariaDb* StatusPages::db_ = nullptr;

// A known mix of requests in parallel mode: each outcome, the counts per command under the
// definition's own name, the database's error number, the watchdog's cut and a terminal that
// does not read; every histogram counts each request once, and promtool accepts the page.
TEST_F(StatusPages, CountersMatchWhatWasSent) {
  Start("Parallel_requests=4\r\nMax_time=300\r\nInterval_on=True\r\n");
  Terminal t = Connect();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(t.Ask("STAV;A1"), kStockReply);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(t.Ask("STAV;ZZ"), "STAV;NENI\r");
  ASSERT_EQ(t.Ask("MALE;A1"), "MALE;A1#\r");
  ASSERT_EQ(t.Ask("CHYBA;1"), "CHYBA;error#\r");
  for (int i = 0; i < 2; ++i) ASSERT_EQ(t.Ask("NIC;1"), "NEZNAMY PRIKAZ!\r");
  ASSERT_EQ(t.Ask("POMALU;2"), "POMALU;timeout#\r");
  // A terminal that asks for a megabyte again and again and reads nothing.
  {
    Terminal hostile = Connect();
    for (int i = 0; i < 400; ++i) {
      try {
        hostile.Send("VELKY;1000\r");
      } catch (const std::runtime_error&) {
        break;
      }
      std::this_thread::sleep_for(20ms);
      if (server_.WaitForMessage("nečte odpovědi", 0ms)) break;
    }
    ASSERT_TRUE(server_.WaitForMessage("nečte odpovědi"));
  }
  // The counts settle once every request has ended; the big requests are as many as the log
  // has receptions of them.
  std::map<std::string, double> s;
  std::string page;
  int velky = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        page = Get("/metrics").body;
        s = Samples(page);
        velky = static_cast<int>(s["srvlarvek_command_requests_total{command=\"VELKY\"}"]);
        return s["srvlarvek_requests_in_flight"] == 0 &&
               s["srvlarvek_request_duration_seconds_count"] == 10 + velky;
      },
      20s))
      << page;
  const int requests = 10 + velky;
  EXPECT_GE(velky, 1);
  // Sent back to back, two requests may arrive as one reception, which is one request.
  const std::string received = "Na\xC4\x8Dteno z " + ServerProcess::ListenAddress() + ": 'VELKY";
  EXPECT_TRUE(server_.WaitForMessages(received, static_cast<size_t>(velky)));
  int logged = 0;
  for (const std::string& m : server_.Messages()) logged += m.find(received) != m.npos;
  EXPECT_EQ(logged, velky);
  EXPECT_EQ(PromtoolCheckMetrics(page), "");
  EXPECT_EQ(s["srvlarvek_requests_total{outcome=\"empty\"}"], 2);
  EXPECT_EQ(s["srvlarvek_requests_total{outcome=\"error\"}"], 1);
  EXPECT_EQ(s["srvlarvek_requests_total{outcome=\"unknown_command\"}"], 2);
  EXPECT_EQ(s["srvlarvek_requests_total{outcome=\"timeout\"}"], 1);
  EXPECT_EQ(s["srvlarvek_requests_total{outcome=\"cut\"}"], 0);
  // The big replies were records, or found their terminal gone.
  EXPECT_EQ(s["srvlarvek_requests_total{outcome=\"records\"}"] +
                s["srvlarvek_requests_total{outcome=\"no_reply\"}"],
            4 + velky);
  EXPECT_EQ(s["srvlarvek_command_requests_total{command=\"STAV\"}"], 5);
  EXPECT_EQ(s["srvlarvek_command_errors_total{command=\"STAV\"}"], 0);
  EXPECT_EQ(s["srvlarvek_command_requests_total{command=\"Male\"}"], 1);
  EXPECT_EQ(s["srvlarvek_command_errors_total{command=\"CHYBA\"}"], 1);
  EXPECT_EQ(s["srvlarvek_command_errors_total{command=\"POMALU\"}"], 1);
  EXPECT_EQ(s.count("srvlarvek_command_requests_total{command=\"NIC\"}"), 0u);
  EXPECT_EQ(s["srvlarvek_database_errors_total{code=\"1146\"}"], 1);
  EXPECT_EQ(s["srvlarvek_watchdog_expiries_total"], 1);
  EXPECT_EQ(s["srvlarvek_slow_terminals_disconnected_total"], 1);
  EXPECT_EQ(s["srvlarvek_connections_accepted_total"], 2);
  EXPECT_EQ(s["srvlarvek_terminals_connected"], 1);
  EXPECT_EQ(s["srvlarvek_request_duration_seconds_bucket{le=\"+Inf\"}"], requests);
  EXPECT_GE(s["srvlarvek_link_open_duration_seconds_count"], 1);
  EXPECT_LE(s["srvlarvek_links_open"], 4);
  EXPECT_EQ(s["srvlarvek_database_up"], 1);
  EXPECT_EQ(s["srvlarvek_definition_source_info{source=\"table\"}"], 1);
  EXPECT_GT(s["process_resident_memory_bytes"], 0);
  EXPECT_GT(s["process_open_fds"], 0);
  EXPECT_GT(s["process_start_time_seconds"], 1.7e9);
}

// /health follows the server, /ready the database too: stopped, frozen, back.
TEST_F(StatusPages, ReadinessFollowsTheDatabaseAndHealthDoesNot) {
  Start("");
  AwaitStatusPages();
  EXPECT_EQ(Get("/health").body, "ok\n");
  EXPECT_EQ(Get("/ready").status, 200);
  Terminal t = Connect();
  ASSERT_EQ(t.Ask("STAV;A1"), kStockReply);

  Db().Stop();
  EXPECT_LT(TimeUntilReady(503, 10s), 3500ms);
  EXPECT_EQ(Get("/health").status, 200);
  Db().Start();
  EXPECT_LT(TimeUntilReady(200, 10s), 3500ms);
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);

  Db().Freeze();
  // A bound of the answer's own: the probe must not wait for the frozen database.
  EXPECT_LT(TimeUntilReady(503, 10s), 3500ms);
  const auto begin = SteadyClock::now();
  EXPECT_EQ(Get("/health").status, 200);
  EXPECT_LT(SteadyClock::now() - begin, 1s);
  Db().Thaw();
  EXPECT_LT(TimeUntilReady(200, 10s), 3500ms);
  EXPECT_EQ(Get("/health").status, 200);
  EXPECT_EQ(server_.Stop(), 0);
}

// During the normal end both pages say so, while the request in flight still gets its reply.
TEST_F(StatusPages, BothAreUnavailableDuringTheNormalEnd) {
  Start("Parallel_requests=4\r\n");
  AwaitStatusPages();
  Terminal t = Connect();
  t.Send("SPI;1\r");
  ASSERT_TRUE(WaitUntil([&] { return server_.WaitForMessage("'SPI;1'", 0ms); }, 5s));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(kill(server_.Pid(), SIGTERM), 0);
  HttpAnswer health, ready;
  ASSERT_TRUE(WaitUntil([&] { return (health = Get("/health", 2s)).status == 503; }, 2s));
  ready = Get("/ready", 2s);
  EXPECT_EQ(ready.status, 503);
  EXPECT_EQ(health.body, "the server is ending\n");
  EXPECT_EQ(t.ReadUntil("\r", 10s), "SPI;0#\r");
  EXPECT_EQ(server_.WaitForExit(15s), 0);
}

// Hostile HTTP clients: the listener's bounds hold, nothing crashes, terminals are served.
TEST_F(StatusPages, HostileClientsDoNotHoldUpTheTerminals) {
  Start("");
  AwaitStatusPages();
  Terminal bystander = Connect();
  ASSERT_EQ(bystander.Ask("STAV;A1"), kStockReply);
  const long before = ResidentKiB();
  auto bystander_is_served = [&] {
    const auto begin = SteadyClock::now();
    EXPECT_EQ(bystander.Ask("STAV;A1"), kStockReply);
    EXPECT_LT(SteadyClock::now() - begin, 5s);
  };

  struct Case {
    const char* name;
    std::string request;
    bool refused;  // answered with an error status or closed without one
  };
  const std::string huge_line = "GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n";
  std::string header_flood = "GET /health HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 5000; ++i) header_flood += "X-" + std::to_string(i) + ": y\r\n";
  header_flood += "\r\n";
  const Case cases[] = {
      {"a request line of 1 MB", huge_line, true},
      {"a flood of headers", header_flood, true},
      {"POST", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", true},
      {"HEAD", "HEAD /health HTTP/1.1\r\nHost: x\r\n\r\n", true},
      {"DELETE", "DELETE /health HTTP/1.1\r\nHost: x\r\n\r\n", true},
      {"a path with ..", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", true},
      {"a path with .. to a page", "GET /x/../metrics/.. HTTP/1.1\r\nHost: x\r\n\r\n", true},
      {"not HTTP", "\x01\x02\x03\r\n\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpAnswer answer = HttpExchange("127.0.0.1", status_port_, c.request, 15s);
    EXPECT_TRUE(answer.status == 0 || answer.status >= 400) << answer.status;
    bystander_is_served();
  }

  // 100 connections that send nothing, and a slow sender: more than the listener takes at
  // once; the terminals are served meanwhile, and the pages answer once they have gone.
  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) {
    // Without waiting: beyond the listener's limit and its backlog, a connect would block.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(status_port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    idle.push_back(fd);
  }
  std::thread slow([&] {
    HttpExchange("127.0.0.1", status_port_, "G", 3s);  // then nothing for three seconds
  });
  bystander_is_served();
  slow.join();
  bystander_is_served();
  for (int fd : idle) close(fd);
  // Those the listener took time out at the latest (10 s), the rest it finds closed.
  EXPECT_TRUE(WaitUntil([&] { return Get("/health", 2s).status == 200; }, 60s));
  bystander_is_served();
  EXPECT_LT(ResidentKiB() - before, 32 * 1024) << "KiB grown";
  EXPECT_EQ(server_.Stop(), 0);
}

// A status port that cannot be bound: the log names the key and value, and the service ends
// with status 1 as for the terminal port.
TEST_F(StatusPages, AStatusPortInUseEndsTheService) {
  const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  socklen_t len = sizeof a;
  getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));

  server_.WriteSharedConfig("[LogOn]\r\nUser=" + Db().User() + "\r\nPassword=" +
                            Db().Password() + "\r\n");
  server_.WriteOwnConfig("[LogOn]\r\nIP=127.0.0.1\r\nSQLport=" + std::to_string(Db().Port()) +
                         "\r\n[Server]\r\nServer_port=" +
                         std::to_string(ServerProcess::FreePort()) + "\r\nStatus_port=" + port +
                         "\r\n");
  server_.SetArguments({"--service"});
  server_.Start();
  EXPECT_TRUE(server_.WaitForMessage("Nelze naslouchat ([Server] Status_port=" + port +
                                     "): bind: Address already in use"))
      << server_.Stderr();
  EXPECT_EQ(server_.WaitForExit(15s), 1);
  close(taken);
}

}  // namespace
}  // namespace larvek::testing
