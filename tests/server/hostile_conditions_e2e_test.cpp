// Hostile terminals and database outages end to end: the real srvlarvek binary as a child
// process, terminals over loopback TCP, and a MariaDB server of this test's own that a case may
// freeze, kill or keep down. Each row of the table is one condition; every one must end in a
// reply, an error record or a log line, and the others must go on being served.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mariadb_server.h"
#include "server_process.h"

namespace larvek::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Seconds the server waits for the database on each step of a link.
constexpr int kSqlTimeout = 2;

class HostileConditions;

struct HostileCase {
  const char* name;
  std::function<void(HostileConditions&)> run;
};
void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << c.name;
}

class HostileConditions : public ::testing::TestWithParam<HostileCase> {
 public:
  static void SetUpTestSuite() {
    db_ = new MariaDb();
    // 'Šroub' as Windows-1250 bytes; "VÝDEJ" is 0x56DD44454A.
    db_->Exec(
        "USE larvek;"
        "CREATE TABLE sklad (kod VARCHAR(10), nazev VARCHAR(40), mnozstvi INT NULL) "
        "CHARACTER SET cp1250;"
        "INSERT INTO sklad VALUES ('A1', _cp1250 0x8A726F7562, 10), ('B2', 'Matice', NULL);"
        "CREATE TABLE server_term (operace VARCHAR(20), ze_ctecky INT, do_ctecky VARCHAR(200), "
        "prikaz_SQL1 TEXT, prikaz_SQL2 TEXT, chyba VARCHAR(50)) CHARACTER SET cp1250;"
        "INSERT INTO server_term VALUES "
        "('STAV', 1, 'kod|nazev|mnozstvi', "
        "'select kod, nazev, mnozstvi from sklad where kod = %a%', '', 'NENI'),"
        "(_cp1250 0x56DD44454A, 1, 'kod', 'select kod from sklad where kod = %a%', '', 'NENI'),"
        // Half a second of database work: long enough to freeze or kill the server in it.
        "('POMALU', 1, 'kod', 'select kod, sleep(0.5) as pauza from sklad where kod = %a%', "
        "'', 'NENI'),"
        // A reply of %a% kilobytes.
        "('VELKY', 1, 'v', 'select repeat(''x'', %a% * 1000) as v', '', 'NENI'),"
        "('CHYBA', 1, 'x', 'select x from no_such_table where a = %a%', '', 'NENI')");
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

  static MariaDb& Db() { return *db_; }
  ServerProcess& Server() { return server_; }

  void Start(const std::string& server_section) {
    port_ = ServerProcess::FreePort();
    server_.WriteSharedConfig("[LogOn]\r\nUser=" + db_->User() + "\r\nPassword=" + db_->Password() +
                              "\r\n");
    server_.WriteOwnConfig("[LogOn]\r\nIP=127.0.0.1\r\nSQLport=" + std::to_string(db_->Port()) +
                           "\r\nDatabase=larvek\r\nSQLtimeout=" + std::to_string(kSqlTimeout) +
                           "\r\n[Server]\r\nServer_port=" + std::to_string(port_) +
                           "\r\nUkoncovac=#\r\n" + server_section);
    server_.Start();
  }
  Terminal Connect() { return ConnectWhenListening(server_, port_); }
  static std::string Addr() { return ServerProcess::ListenAddress(); }
  int Port() const { return port_; }

  // Asks and returns the reply with the time it took.
  std::pair<std::string, SteadyClock::duration> TimedAsk(Terminal& t, const std::string& request) {
    const auto begin = SteadyClock::now();
    std::string reply = t.Ask(request);
    return {reply, SteadyClock::now() - begin};
  }

  // The number of log messages that start with `prefix`, once it has reached `expected` (the
  // lines come through a pipe and may trail the replies) or after a few seconds.
  int CountMessages(const std::string& prefix, int expected) const {
    int n = 0;
    for (int i = 0; i < 50 && n != expected; ++i) {
      if (i > 0) std::this_thread::sleep_for(100ms);
      n = 0;
      for (const std::string& m : server_.Messages()) n += m.rfind(prefix, 0) == 0;
    }
    return n;
  }

  // The server's resident memory in KiB, and the most it has held so far.
  long ResidentKiB() const { return StatusKiB("VmRSS:"); }
  long PeakResidentKiB() const { return StatusKiB("VmHWM:"); }
  long StatusKiB(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(server_.Pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
  }

  // Today's day file in the program directory.
  std::string DayFile() const { return server_.DayLogPath(); }

 private:
  static MariaDb* db_;
  ServerProcess server_;
  int port_ = 0;
};

MariaDb* HostileConditions::db_ = nullptr;

const std::string kRequestFailure =
    "Chyba po\xC5\xBE"
    "adavku: ";  // UTF-8 on standard output
const std::string kStockReply = "STAV;A1;Sroub;10#\r";

// A started server and a terminal whose half-second statement is under way.
Terminal TerminalInTheMiddleOfAStatement(HostileConditions& c) {
  c.Start("");
  Terminal t = c.Connect();
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
  t.Send("POMALU;A1\r");
  std::this_thread::sleep_for(200ms);
  return t;
}

// Statement cut off by a frozen database, and a new link that never gets its greeting: both
// answered with the error record within the time-out; once the database goes on, so does
// the server, without a restart.
void FrozenDatabase(HostileConditions& c) {
  Terminal t = TerminalInTheMiddleOfAStatement(c);
  c.Db().Freeze();
  const auto frozen_at = SteadyClock::now();
  EXPECT_EQ(t.ReadUntil("\r", 30s), "POMALU;error#\r");
  EXPECT_LT(SteadyClock::now() - frozen_at, std::chrono::seconds(kSqlTimeout) + 3s);
  auto [reply, took] = c.TimedAsk(t, "STAV;A1");
  EXPECT_EQ(reply, "STAV;error#\r");
  // Connecting and reading the greeting may each take their time-out.
  EXPECT_LT(took, std::chrono::seconds(2 * kSqlTimeout) + 3s);
  c.Db().Thaw();
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
  // The definition's own statement failed: its error record is the log line. The link that
  // never got its greeting failed before: logged with its cause.
  EXPECT_EQ(c.CountMessages("Odeslal na " + c.Addr() + ": POMALU;error#", 1), 1);
  EXPECT_EQ(c.CountMessages(kRequestFailure, 1), 1);
}

// A database killed in the middle of a statement and restarted: the statement in flight and
// the requests during the outage get the error record and a log line; afterwards requests are
// answered again.
void KilledDatabase(HostileConditions& c) {
  Terminal t = TerminalInTheMiddleOfAStatement(c);
  c.Db().Kill();
  EXPECT_EQ(t.ReadUntil("\r", 30s), "POMALU;error#\r");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(t.Ask("STAV;A1"), "STAV;error#\r");
  EXPECT_EQ(c.CountMessages("Odeslal na " + c.Addr() + ": POMALU;error#", 1), 1);
  EXPECT_EQ(c.CountMessages(kRequestFailure, 3), 3);
  c.Db().Start();
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
}

// Started while the database is down: requests get the error record until it is up, then the
// definitions of the table are used, without a restart.
void StartWithoutDatabase(HostileConditions& c) {
  c.Db().Stop();
  c.Start("");
  Terminal t = c.Connect();
  EXPECT_EQ(t.ReadUntil("\r", 2s).empty(), false) << "the greeting of a failed start";
  EXPECT_EQ(t.Ask("STAV;A1"), "STAV;error#\r");
  c.Db().Start();
  std::string reply;
  const auto deadline = SteadyClock::now() + 20s;
  while ((reply = t.Ask("STAV;A1")) != kStockReply && SteadyClock::now() < deadline) {
    EXPECT_EQ(reply, "STAV;error#\r");
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(reply, kStockReply);
}

// 100,000 separators after a request: two receptions, the first answered as the request, while
// another terminal keeps being answered.
void HundredThousandSeparators(HostileConditions& c) {
  c.Start("");
  Terminal hostile = c.Connect();
  Terminal other = c.Connect();
  const auto begin = SteadyClock::now();
  hostile.Send("STAV;A1" + std::string(100000, ';') + "\r");
  for (int i = 0; i < 20; ++i) EXPECT_EQ(other.Ask("STAV;A1"), kStockReply);
  // Everything the hostile terminal gets, until it has been quiet for a second.
  std::string got;
  for (std::string more = "x"; !more.empty() && SteadyClock::now() - begin < 30s;)
    got += more = hostile.ReadFor(1000ms);
  // The first reception is answered as the request; the rest of the bytes formed receptions of
  // their own (how many depends on how they arrived), each with an empty command name.
  ASSERT_EQ(got.substr(0, kStockReply.size()), kStockReply);
  const std::string rest = got.substr(kStockReply.size());
  EXPECT_FALSE(rest.empty());
  for (size_t at = 0; at < rest.size(); at += 16)
    EXPECT_EQ(rest.substr(at, 16), "NEZNAMY PRIKAZ!\r");
  // Long receptions are logged cut, with their length.
  EXPECT_TRUE(c.Server().WaitForMessage("bajtů)"));
  EXPECT_EQ(other.Ask("STAV;A1"), kStockReply);
  // A bound that catches a hang, also under the sanitizers; no speed measurement.
  EXPECT_LT(SteadyClock::now() - begin, 30s);
}

// Under the address sanitizer freed memory waits in a quarantine; kept small, the server's
// resident memory is what it holds.
void KeepSanitizerQuarantineSmall(HostileConditions& c) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  c.Server().SetEnvironment("ASAN_OPTIONS",
                            std::string(asan ? asan : "") + ":quarantine_size_mb=1");
}

// A terminal that keeps asking for a megabyte and never reads is disconnected before its
// replies can fill the server's memory; the others are served meanwhile.
void TerminalThatDoesNotRead(HostileConditions& c) {
  KeepSanitizerQuarantineSmall(c);
  c.Start("");
  Terminal other = c.Connect();
  ASSERT_EQ(other.Ask("STAV;A1"), kStockReply);
  const long before = c.ResidentKiB();
  Terminal hostile = c.Connect();
  bool disconnected = false;
  for (int i = 0; i < 400 && !disconnected; ++i) {
    try {
      hostile.Send("VELKY;1000\r");
    } catch (const std::runtime_error&) {
      disconnected = true;
    }
    std::this_thread::sleep_for(20ms);
    if (c.Server().WaitForMessage("nečte odpovědi", 0ms)) disconnected = true;
  }
  EXPECT_TRUE(disconnected);
  EXPECT_TRUE(c.Server().WaitForMessage("Odpojen klient " + c.Addr() + ": nečte odpovědi"));
  EXPECT_EQ(other.Ask("STAV;A1"), kStockReply);
  // Each request asks for a megabyte; the server holds at most about one of them.
  EXPECT_LT(c.ResidentKiB() - before, 16 * 1024) << "KiB grown";
}

// Many terminals that each ask for two replies of 4 MB and read nothing: each stays within
// its own limit (the network holds most of the first reply, so the second is queued), together
// they would fill the memory. Once their unsent replies pass 64 MiB the largest backlogs are
// dropped as slow readers, and a terminal that reads is still answered.
void ManySlowReadersOfLargeReplies(HostileConditions& c) {
  KeepSanitizerQuarantineSmall(c);
  c.Start("");
  Terminal other = c.Connect();
  ASSERT_EQ(other.Ask("STAV;A1"), kStockReply);
  const long before = c.PeakResidentKiB();
  // 40 x 4 MB would wait in the server without the cap.
  constexpr int kReaders = 40;
  std::vector<Terminal> readers;
  for (int i = 0; i < kReaders; ++i) readers.push_back(c.Connect());
  // The second request goes once the first was read, so that it is a request of its own.
  // All replies have the same size, so the memory of one can serve the next.
  const std::string request = "VELKY;4000";
  auto ask_all = [&](int round) {
    for (Terminal& t : readers) t.Send(request + "\r");
    // Asked behind all of them: answered in its turn. A bound that catches a terminal starved
    // or blocked behind the others, not a speed measurement.
    const auto begin = SteadyClock::now();
    other.Send("STAV;A1\r");
    EXPECT_EQ(other.ReadUntil("\r", 60s), kStockReply);
    EXPECT_LT(SteadyClock::now() - begin, 60s);
    ASSERT_TRUE(c.Server().WaitForMessages("Na\xC4\x8Dteno z " + c.Addr() + ": '" + request + "'",
                                           static_cast<size_t>(round * kReaders), 120s));
  };
  ask_all(1);
  ask_all(2);
  // The readers' backlogs do not hold up a terminal that reads.
  auto [reply, took] = c.TimedAsk(other, "STAV;A1");
  EXPECT_EQ(reply, kStockReply);
  EXPECT_LT(took, 5s);
  EXPECT_TRUE(c.Server().WaitForMessage("Odpojen klient " + c.Addr() + ": nečte odpovědi"));
  // 64 MiB of unsent replies and the copies that building one reply takes: some 120 MB at
  // the peak; without the cap the 40 backlogs come on top, some 200 MB.
  EXPECT_LT(c.PeakResidentKiB() - before, 160 * 1024) << "KiB grown at the peak";
  readers.clear();
  EXPECT_EQ(other.Ask("STAV;A1"), kStockReply);
}

// A terminal (or a serial converter) that sends each character as it is typed: with
// Request_end=CR the characters form one request and get one reply.
void RequestTypedByteByByte(HostileConditions& c) {
  c.Start("Request_end=CR\r\n");
  Terminal t = c.Connect();
  for (char ch : std::string("STAV;A1\r")) {
    t.Send(std::string(1, ch));
    std::this_thread::sleep_for(30ms);
  }
  EXPECT_EQ(t.ReadUntil("\r", 5s), kStockReply);
  EXPECT_EQ(t.ReadFor(500ms), "") << "one request, one reply";
  EXPECT_EQ(c.CountMessages("Načteno z " + c.Addr() + ": 'STAV;A1'", 1), 1);
  EXPECT_EQ(c.CountMessages("Načteno z ", 1), 1);
  // Without its CR a request goes after two seconds of silence.
  t.Send("STAV;A1");
  EXPECT_EQ(t.ReadUntil("\r", 10s), kStockReply);
}

// With Max_clients=2 a third terminal is closed at once, without a greeting or a connection
// line; the refusal is logged with the key and its limit, and the others are served.
void MoreTerminalsThanMaxClients(HostileConditions& c) {
  c.Start("Max_clients=2\r\n");
  Terminal first = c.Connect();
  Terminal second = c.Connect();
  ASSERT_EQ(first.Ask("STAV;A1"), kStockReply);
  ASSERT_EQ(second.Ask("STAV;A1"), kStockReply);
  Terminal third(c.Addr(), c.Port());
  ASSERT_TRUE(third.Connected()) << "accepted by the system, then closed by the server";
  const auto begin = SteadyClock::now();
  EXPECT_EQ(third.ReadFor(5s), "");
  EXPECT_LT(SteadyClock::now() - begin, 4s) << "closed at once, not left waiting";
  EXPECT_TRUE(
      c.Server().WaitForMessage("Odmítnuto 1 připojení: překročen limit [Server] Max_clients=2"));
  EXPECT_EQ(c.CountMessages("Připojeno. Klient", 2), 2);
  EXPECT_EQ(first.Ask("STAV;A1"), kStockReply);
  // A place set free is taken again.
  second.Close();
  ASSERT_TRUE(c.Server().WaitForMessage("Odpojení klienta"));
  Terminal fourth = c.Connect();
  EXPECT_EQ(fourth.Ask("STAV;A1"), kStockReply);
}

// A name beyond ASCII is looked up on a link that already speaks cp1250.
void NameBeyondAscii(HostileConditions& c) {
  c.Start("");
  Terminal t = c.Connect();
  EXPECT_EQ(t.Ask("V\xDD"
                  "DEJ;A1"),
            "VYDEJ;A1#\r");
}

// A dump file that cannot be written is logged once; the requests are served as usual.
void UnwritableDumpFile(HostileConditions& c) {
  std::filesystem::create_directories(c.Server().WorkDir() + "u.txt");
  c.Start("");
  Terminal t = c.Connect();
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
  EXPECT_EQ(t.Ask("STAV;A1"), kStockReply);
  EXPECT_TRUE(c.Server().WaitForMessage("Nelze zapsat u.txt: "));
  ASSERT_EQ(c.CountMessages("Odeslal na ", 2), 2);
  EXPECT_EQ(c.CountMessages("Nelze zapsat", 1), 1) << "logged once until it can be written again";
}

// The timeout record names the command that armed the watchdog and goes to its terminal, not
// to the terminal that asked last.
void TimeoutRecordGoesToItsTerminal(HostileConditions& c) {
  c.Start("Max_time=1000\r\nInterval_on=True\r\n");
  Terminal failing = c.Connect();
  Terminal other = c.Connect();
  EXPECT_EQ(failing.Ask("CHYBA;1"), "CHYBA;error#\r");
  EXPECT_EQ(other.Ask("XYZ"), "NEZNAMY PRIKAZ!\r");
  EXPECT_EQ(failing.ReadUntil("#", 5s), "CHYBA;timeout#");
  EXPECT_EQ(other.ReadFor(500ms), "");
}

// A day file that ends in the middle of a line (a torn write) gets the next line on a line of
// its own.
void PartialLastLineOfTheDayFile(HostileConditions& c) {
  const std::string path = c.DayFile();
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << "01:02:03  whole\r\n02:1";
  c.Start("");
  Terminal t = c.Connect();
  ASSERT_EQ(t.Ask("STAV;A1"), kStockReply);
  ASSERT_TRUE(c.Server().WaitForMessage("Odeslal na "));
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string day = text.str();
  ASSERT_EQ(day.rfind("01:02:03  whole\r\n02:1\r\n", 0), 0u) << day.substr(0, 80);
  // The line after the torn one is a whole time-stamped line.
  EXPECT_EQ(day.substr(23, 4).find(':'), 2u) << day.substr(0, 80);
}

const HostileCase kCases[] = {
    {"FrozenDatabase", FrozenDatabase},
    {"KilledDatabase", KilledDatabase},
    {"StartWithoutDatabase", StartWithoutDatabase},
    {"HundredThousandSeparators", HundredThousandSeparators},
    {"TerminalThatDoesNotRead", TerminalThatDoesNotRead},
    {"ManySlowReadersOfLargeReplies", ManySlowReadersOfLargeReplies},
    {"RequestTypedByteByByte", RequestTypedByteByByte},
    {"MoreTerminalsThanMaxClients", MoreTerminalsThanMaxClients},
    {"NameBeyondAscii", NameBeyondAscii},
    {"UnwritableDumpFile", UnwritableDumpFile},
    {"TimeoutRecordGoesToItsTerminal", TimeoutRecordGoesToItsTerminal},
    {"PartialLastLineOfTheDayFile", PartialLastLineOfTheDayFile},
};

TEST_P(HostileConditions, EndsInAReplyOrALogLineAndOthersAreServed) {
  GetParam().run(*this);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileConditions, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace larvek::testing
