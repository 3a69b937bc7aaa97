// The command processor in process: requests go in as reception texts, the reply bytes and log
// lines come out of a fake terminal and the log callback; the statements run on the real test
// database server.
#include "commands/command_processor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "command_database.h"
#include "config/config_store.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "manual_monotonic_clock.h"
#include "mariadb_server.h"
#include "platform/event_loop.h"
#include "platform/timer.h"
#include "temp_dir.h"
#include "terminal_peer.h"

namespace larvek {
namespace {

using testing::CommandDatabase;

constexpr uint64_t kTerminalId = 7;
const char kAddress[] = "127.0.0.5";

// A terminal that appends what it is sent to `sent`.
class FakeTerminal final : public ReplySink {
 public:
  explicit FakeTerminal(std::string& sent) : sent_(sent) {}
  uint64_t Id() const override { return kTerminalId; }
  std::string PeerAddress() const override { return kAddress; }
  void Send(std::string bytes) override { sent_ += bytes; }

 private:
  std::string& sent_;
};

// What one request did: the bytes the terminal got, the log lines, and the error that left
// Handle ("" when none).
struct Outcome {
  std::string sent;
  std::vector<std::string> log;
  std::string error;
};

std::string Sent(const std::string& text) {
  return "Odeslal na " + std::string(kAddress) + ": " + text;
}

std::string Failure(const std::string& text) {
  return "Chyba po\x9E"
         "adavku: " +
         text;
}

std::string CommandFailure(const std::string& text) {
  return "Chyba p\xF8\xEDkazu " + text;
}

struct RequestCase {
  const char* name;
  std::string reception;
  Outcome expected;
};

class CommandProcessorTest : public ::testing::Test {
 protected:
  CommandProcessorTest()
      : query(connection, "DbQuery1"),
        own_file(dir.Path() + "srvlarvek.INI"),
        watchdog(loop),
        processor(
            connection, query, own_file, watchdog, settings,
            [this](const std::string& line) { log.push_back(line); },
            [this](uint64_t id) -> std::unique_ptr<ReplySink> {
              if (!terminal_connected || id != kTerminalId) return nullptr;
              return std::make_unique<FakeTerminal>(sent);
            },
            clock) {
    database.Configure(connection);
    settings.definitions = DefinitionSource::kTable;
    settings.terminator = "#";
  }

  // One reception the way the server hands it over: the link starts opening ahead, then the
  // request is handled.
  Outcome Handle(const std::string& reception) {
    sent.clear();
    log.clear();
    std::string error;
    FakeTerminal terminal(sent);
    try {
      processor.OpenLinkAhead(reception);
      processor.Handle(terminal, reception);
    } catch (const Error& e) {
      error = e.ClassName() + ": " + e.Message();
    }
    return {sent, log, error};
  }

  // Handles the cases in order, each against what the ones before left in the database.
  void Expect(const std::vector<RequestCase>& cases) {
    for (const RequestCase& c : cases) {
      SCOPED_TRACE(c.name);
      const Outcome got = Handle(c.reception);
      EXPECT_EQ(got.sent, c.expected.sent);
      EXPECT_EQ(got.log, c.expected.log);
      EXPECT_EQ(got.error, c.expected.error);
      // Whatever the outcome, the link is closed: the next request gets a session of its own.
      EXPECT_FALSE(connection.Opening());
      EXPECT_FALSE(connection.Connected());
    }
  }

  testing::ManualMonotonicClock clock;
  testing::TempDir dir;
  CommandDatabase database;
  DbConnection connection;
  DbQuery query;
  ConfigStore own_file;
  EventLoop loop;
  Timer watchdog;
  CommandSettings settings;
  std::string sent;
  std::vector<std::string> log;
  bool terminal_connected = true;
  CommandProcessor processor;
};

TEST_F(CommandProcessorTest, RequestsAgainstTheTableOfDefinitions) {
  database.CreateServerTerm();
  database.Define("STAV", 1, "kod|nazev|mnozstvi",
                  "select kod, nazev, mnozstvi from sklad where skupina = %a% order by kod", "",
                  "NENI");
  database.DefineFailing("BAD");
  // Modifying template 1, then template 2 reads back the changed row.
  database.Define("PRIJEM", 2, "kod|mnozstvi",
                  "update sklad set mnozstvi = mnozstvi + %b% where kod = %a%",
                  "select kod, mnozstvi from sklad where kod = %a%", "NENI");
  // Modifying template 1 alone: carried out, answered with a lone CR.
  database.Define("VYDEJ", 2, "", "update sklad set mnozstvi = mnozstvi - %b% where kod = %a%", "",
                  "x");
  // Reading template 1 as a check, template 2 for the reply.
  database.Define("CHECK", 1, "nazev", "select kod from sklad where kod = %a%",
                  "select nazev from sklad where kod = %a%", "NENI");
  database.Define("NULA", 0, "kod", "select kod from sklad", "", "NENI");
  database.Define("SEST", 6, "kod", "select kod from sklad", "", "NENI");

  Expect({
      {"records",
       "STAV;S",
       {"STAV;A1;Sroub;10#STAV;B2;Matice;#\r", {Sent("STAV;A1;Sroub;10#STAV;B2;Matice;#")}, ""}},
      {"empty result", "STAV;Z", {"STAV;NENI\r", {Sent("STAV;NENI")}, ""}},
      {"CR, LF and @ are not part of the request",
       "@ST@AV;Z\n",
       {"STAV;NENI\r", {Sent("STAV;NENI")}, ""}},
      {"unknown command", "ZZZ;1", {"NEZNAMY PRIKAZ!\r", {Sent("NEZNAMY PRIKAZ!")}, ""}},
      {"no parameters counts as unknown",
       "NULA;1",
       {"NEZNAMY PRIKAZ!\r", {Sent("NEZNAMY PRIKAZ!")}, ""}},
      {"more than five parameters: no reply, a log line",
       "SEST;1;2;3;4;5;6",
       {"", {Failure("ERangeError: Range check error (ze_ctecky = 6)")}, ""}},
      {"blank reception: no reply", " \t ", {"", {}, ""}},
      {"statement rejected: error record, then why",
       "BAD;1",
       {"BAD;error#\r",
        {Sent("BAD;error#"),
         CommandFailure("BAD: EDatabaseError: SQL chyba: Table '" + database.Name() +
                        ".no_such_table' doesn't exist (#1146)")},
        ""}},
      {"modifying then reading", "PRIJEM;A1;5", {"PRIJEM;A1;15#\r", {Sent("PRIJEM;A1;15#")}, ""}},
      {"modifying then reading nothing",
       "PRIJEM;Q9;5",
       {"PRIJEM;NENI\r", {Sent("PRIJEM;NENI")}, ""}},
      {"too few fields: nothing runs, a log line",
       "PRIJEM",
       {"", {Failure("EStringListError: List index out of bounds (2)")}, ""}},
      {"a separator too far: the reception does not parse, the link opened ahead is closed",
       "STAV;" + std::string(70000, 'x') + ";",
       {"", {Failure("ERangeError: Range check error")}, ""}},
      {"modifying alone", "VYDEJ;A1;3", {"\r", {Sent("")}, ""}},
      {"check then read", "CHECK;A1", {"CHECK;Sroub#\r", {Sent("CHECK;Sroub#")}, ""}},
      {"check finds nothing", "CHECK;Q9", {"CHECK;NENI\r", {Sent("CHECK;NENI")}, ""}},
      {"the changes were kept", "PRIJEM;A1;0", {"PRIJEM;A1;12#\r", {Sent("PRIJEM;A1;12#")}, ""}},
  });
  // Every answered command ends with the link closed.
  EXPECT_FALSE(connection.Connected());
}

// Each request ends with a value that says how: the server counts these, not log lines.
TEST_F(CommandProcessorTest, EveryRequestEndsWithItsOutcome) {
  using Kind = RequestOutcome::Kind;
  database.CreateServerTerm();
  database.Define("STAV", 1, "kod", "select kod from sklad where skupina = %a% order by kod", "",
                  "NENI");
  database.DefineFailing("BAD");
  database.Define("VYDEJ", 2, "", "update sklad set mnozstvi = mnozstvi - %b% where kod = %a%", "",
                  "x");
  database.Define("SEST", 6, "kod", "select kod from sklad", "", "NENI");
  database.Define("DVOJTECKA", 1, "kod", "select kod from sklad where kod = %a% and 1 = :)", "",
                  "NENI");
  const struct {
    const char* request;
    size_t max_reply;
    Kind kind;
    uint64_t rows;
    std::string failure;  // "class: message (#code)" of the failure; "" for none
  } cases[] = {
      {"STAV;S", kDefaultMaxReplyBytes, Kind::kRecords, 2, ""},
      {"STAV;Z", kDefaultMaxReplyBytes, Kind::kEmptyResult, 0, ""},
      {"VYDEJ;A1;1", kDefaultMaxReplyBytes, Kind::kRecords, 0, ""},
      {"ZZZ;1", kDefaultMaxReplyBytes, Kind::kUnknownCommand, 0, ""},
      {"ST\\AV;1", kDefaultMaxReplyBytes, Kind::kUnknownCommand, 0, ""},
      {" \t ", kDefaultMaxReplyBytes, Kind::kNothing, 0, ""},
      {"BAD;1", kDefaultMaxReplyBytes, Kind::kErrorRecord, 0, "EDatabaseError (#1146)"},
      {"STAV;S", 10, Kind::kErrorRecord, 2, "ERangeError"},
      {"SEST;1;2;3;4;5;6", kDefaultMaxReplyBytes, Kind::kNoReply, 0, "ERangeError"},
      {"VYDEJ", kDefaultMaxReplyBytes, Kind::kNoReply, 0, "EStringListError"},
      {"DVOJTECKA;1", kDefaultMaxReplyBytes, Kind::kNoReply, 0, "EDatabaseError"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    settings.max_reply = c.max_reply;
    FakeTerminal terminal(sent);
    const RequestOutcome outcome = processor.Handle(terminal, c.request);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.rows, c.rows);
    std::string failure;
    if (outcome.failure) {
      failure = outcome.failure->ClassName();
      if (outcome.failure->Code() != 0)
        failure += " (#" + std::to_string(outcome.failure->Code()) + ")";
    }
    EXPECT_EQ(failure, c.failure);
  }
}

TEST_F(CommandProcessorTest, RequestsAgainstTheOwnFile) {
  settings.definitions = DefinitionSource::kOwnFile;
  dir.Write("srvlarvek.INI",
            "[stav]\r\nZe_ctecky=1\r\nDo_ctecky=kod|nazev\r\n"
            "Prikaz_SQL1=select kod, nazev from sklad where kod = %a%\r\n"
            "[NIC]\r\nZe_ctecky=1\r\nPrikaz_SQL1=select kod from sklad where kod = %a%\r\n");
  Expect({
      {"section names in any case", "STAV;A1", {"STAV;A1;Sroub#\r", {Sent("STAV;A1;Sroub#")}, ""}},
      {"a missing Chyba gives *****", "NIC;Q", {"NIC;*****\r", {Sent("NIC;*****")}, ""}},
      {"no section", "JINY;Q", {"NEZNAMY PRIKAZ!\r", {Sent("NEZNAMY PRIKAZ!")}, ""}},
  });
}

// A definition the lookup cannot read gets no reply (the terminal could not fix it), but the
// failure is logged.
TEST_F(CommandProcessorTest, DefinitionsTheLookupCannotRead) {
  const struct {
    const char* name;
    std::string columns;
    std::string row;
    std::string error;
  } cases[] = {
      {"parameter count not a number",
       "operace VARCHAR(20), ze_ctecky VARCHAR(5), do_ctecky VARCHAR(200), prikaz_SQL1 TEXT, "
       "prikaz_SQL2 TEXT, chyba VARCHAR(50)",
       "('STAV', 'abc', 'kod', 'select kod from sklad', '', 'NENI')",
       "EDatabaseError: 'abc' is not a valid integer value"},
      {"count checked before the columns",
       "operace VARCHAR(20), ze_ctecky VARCHAR(5), do_ctecky VARCHAR(200)", "('STAV', 'zz', 'kod')",
       "EDatabaseError: 'zz' is not a valid integer value"},
      {"column missing",
       "operace VARCHAR(20), ze_ctecky INT, do_ctecky VARCHAR(200), prikaz_SQL1 TEXT, "
       "prikaz_SQL2 TEXT",
       "('STAV', 1, 'kod', 'select kod from sklad', '')",
       "EDatabaseError: Field 'chyba' not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    database.Exec("DROP TABLE IF EXISTS server_term");
    database.CreateServerTerm(c.columns);
    database.Exec("INSERT INTO server_term VALUES " + c.row);
    const Outcome got = Handle("STAV;A1");
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.sent, "");
    EXPECT_EQ(got.log, std::vector<std::string>{Failure(c.error)});
  }
}

TEST_F(CommandProcessorTest, WatchdogExpiryTellsTheTerminalOfTheWatchedStatement) {
  database.CreateServerTerm();
  database.DefineFailing("BAD");
  database.Define("STAV", 1, "kod", "select kod from sklad where kod = %a%", "", "NENI");
  const struct {
    const char* name;
    bool watchdog_on;
    std::vector<std::string> requests;
    bool terminal_connected;
    bool armed;           // the watchdog runs after the requests
    std::string timeout;  // sent when it expires
  } cases[] = {
      {"a failed statement leaves it running", true, {"BAD;1"}, true, true, "BAD;timeout#"},
      {"the record names the watched command, not a later one",
       true,
       {"BAD;1", "ZZZ"},
       true,
       true,
       "BAD;timeout#"},
      {"the terminal has gone", true, {"BAD;1"}, false, true, ""},
      {"a successful statement stops it", true, {"BAD;1", "STAV;A1"}, true, false, ""},
      {"switched off", false, {"BAD;1"}, true, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    settings.watchdog_on = c.watchdog_on;
    terminal_connected = c.terminal_connected;
    for (const std::string& r : c.requests) Handle(r);
    EXPECT_EQ(watchdog.Enabled(), c.armed);
    if (!c.armed) continue;

    sent.clear();
    log.clear();
    connection.EnsureOpen();
    const RequestOutcome expired = processor.OnWatchdogExpired();
    EXPECT_EQ(expired.kind, c.timeout.empty() ? RequestOutcome::Kind::kNothing
                                              : RequestOutcome::Kind::kTimeoutRecord);
    EXPECT_FALSE(watchdog.Enabled());
    EXPECT_FALSE(connection.Connected()) << "the expiry drops the database link";
    // No CR after the terminator.
    EXPECT_EQ(sent, c.timeout);
    EXPECT_EQ(log, c.timeout.empty() ? std::vector<std::string>{}
                                     : std::vector<std::string>{Sent(c.timeout)});
  }
}

// A database failure before the definition's own statements (connecting, the lookup) is
// answered with the error record, so the terminal does not wait for its own time-out. When
// start-up could not reach the database, requests probe it again, at most every five seconds,
// and once it answers its table of definitions is used.
TEST_F(CommandProcessorTest, DatabaseDownIsAnsweredAndAFailedStartRecovers) {
  database.CreateServerTerm();
  database.Define("STAV", 1, "kod", "select kod from sklad where kod = %a%", "", "NENI");
  const LinkSettings real = connection.Settings();
  LinkSettings down_settings = real;
  down_settings.hosts[0].port = testing::FreeLoopbackPort();  // nothing listens there
  connection.SetSettings(down_settings);
  const auto down = [&](const std::string& request, const std::string& name) {
    SCOPED_TRACE(request);
    const Outcome got = Handle(request);
    EXPECT_EQ(got.sent, name + ";error#\r");
    ASSERT_EQ(got.log.size(), 2u);
    EXPECT_EQ(got.log[0].rfind(Failure("EDatabaseError: SQL chyba: "), 0), 0u) << got.log[0];
    EXPECT_EQ(got.log[1], Sent(name + ";error#"));
  };
  down("STAV;A1", "STAV");  // definitions known: the lookup cannot connect

  settings.definitions = std::nullopt;  // start-up could not probe the database
  down("STAV;A1", "STAV");              // probes, fails
  connection.SetSettings(real);
  clock.Advance(std::chrono::seconds(4));
  down("NIC", "NIC");  // too soon for the next probe: fails as the last one did
  clock.Advance(std::chrono::seconds(1));
  Expect({{"probed again: the table is used", "STAV;A1", {"STAV;A1#\r", {Sent("STAV;A1#")}, ""}},
          {"and stays", "ZZZ", {"NEZNAMY PRIKAZ!\r", {Sent("NEZNAMY PRIKAZ!")}, ""}}});
}

TEST_F(CommandProcessorTest, UserVariablesOfTheSecondTemplateAreResetAfterTheReply) {
  database.CreateServerTerm();
  database.Define("VAR", 1, "n", "select @k:=kod as k from sklad where kod = %a%",
                  "select nazev as n, @v:=1 as v from sklad where kod = %a%", "NENI");
  testing::MariaDb& db = testing::TestDatabase();
  db.EnableGeneralLog();
  const Outcome got = Handle("VAR;A1");
  db.DisableGeneralLog();
  EXPECT_EQ(got.sent, "VAR;Sroub#\r");
  const std::string general_log = db.GeneralLog();
  auto pos = [&](const std::string& s) { return general_log.find(s); };
  ASSERT_NE(pos("select @v:=null"), std::string::npos) << general_log;
  EXPECT_LT(pos("SET NAMES cp1250"), pos("where kod = \"A1\""));
  EXPECT_LT(pos("select nazev as n"), pos("select @v:=null"));
  EXPECT_EQ(pos("select @k:=null"), std::string::npos) << general_log;
}

}  // namespace
}  // namespace larvek
