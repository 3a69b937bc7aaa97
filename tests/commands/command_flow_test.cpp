// The command flow over a link of the test's own: which statements it sends in which order,
// what the terminal gets and how the request ends, for every branch of the two templates and
// a failure at each step. No database is involved.
#include "commands/command_flow.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "db/db_error.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using Kind = RequestOutcome::Kind;
using Rows = std::vector<std::vector<std::string>>;

// Rows of columns named by the first row, of the given kinds (text when none is given), loaded
// from their texts as the server sends them.
class FakeRows final : public ResultRows {
 public:
  FakeRows(const Rows& table, const std::vector<FieldKind>& kinds) : table_(table) {
    for (size_t i = 0; i < table_.front().size(); ++i)
      fields_.emplace_back(table_.front()[i], i < kinds.size() ? kinds[i] : FieldKind::kText);
    FirstRow();
  }
  bool NoRows() const override { return table_.size() == 1; }
  bool AtEnd() const override { return at_ >= table_.size(); }
  void NextRow() override {
    ++at_;
    Load();
  }
  void FirstRow() override {
    at_ = 1;
    Load();
  }
  DbField& ColumnByName(const std::string& name) override {
    for (DbField& f : fields_)
      if (f.Name() == name) return f;
    ThrowDatabaseError("Field '" + name + "' not found");
  }

 private:
  void Load() {
    if (AtEnd()) return;
    for (size_t i = 0; i < fields_.size(); ++i)
      fields_[i].Load(table_[at_][i].data(), table_[at_][i].size());
  }
  Rows table_;
  std::vector<DbField> fields_;
  size_t at_ = 1;
};

// Answers each statement from a script by its role: rows to open, or a failure. Records every
// statement as "role: text", byte for byte (a text without ":" keeps the CR LF that ends the
// template's line, as the query layer has always sent it).
class FakeLink final : public CommandLink {
 public:
  std::map<StatementRole, Rows> rows;
  std::vector<FieldKind> kinds;  // of the columns of every result
  std::map<StatementRole, Error> failures;
  std::vector<std::string> sent;
  int connects = 0;

  Task<void> Connect() override {
    ++connects;
    co_return;
  }
  std::optional<EscapeMode> ConfirmedMode() const override { return EscapeMode::kBackslash; }
  Task<EscapeMode> Mode() override { co_return EscapeMode::kBackslash; }
  Task<void> Execute(std::string statement, StatementRole role) override {
    Send(statement, role);
    co_return;
  }
  Task<ResultRows*> Open(std::string statement, StatementRole role) override {
    Send(statement, role);
    auto it = rows.find(role);
    result_.emplace(it == rows.end() ? Rows{{"x"}} : it->second, kinds);
    co_return &*result_;
  }
  void Close() override {}

 private:
  void Send(const std::string& statement, StatementRole role) {
    static const char* const kNames[] = {"probe", "names", "lookup", "t1", "t2", "reset"};
    sent.push_back(std::string(kNames[static_cast<int>(role)]) + ": " + statement);
    if (auto it = failures.find(role); it != failures.end()) throw it->second;
  }
  std::optional<FakeRows> result_;
};

// A terminal that collects what it is sent.
struct TextTerminal final : ReplySink {
  std::string& got;
  explicit TextTerminal(std::string& g) : got(g) {}
  uint64_t Id() const override { return 1; }
  std::string PeerAddress() const override { return "127.0.0.9"; }
  void Send(std::string bytes) override { got += bytes; }
};

class FakeHost final : public CommandFlow::Host {
 public:
  DefinitionSource source = DefinitionSource::kOwnFile;
  int started = 0, ended = 0;
  Task<DefinitionSource> DecideSource(CommandLink&) override { co_return source; }
  void StatementStarts() override { ++started; }
  void StatementEnded() override { ++ended; }
};

struct FlowCase {
  const char* name;
  std::string request;
  std::map<StatementRole, Rows> rows;
  std::map<StatementRole, Error> failures;
  std::vector<std::string> sent;
  std::string reply;
  Kind kind;
  uint64_t record_rows;
  int statements_ended;  // template statements that ended without a failure
};

const Error kLockWait = Error::Database("SQL chyba: Lock wait timeout exceeded", 1205);

TEST(CommandFlow, RunsTheTemplatesInTheOrderOfTheirBranch) {
  testing::TempDir dir;
  dir.Write("srvlarvek.INI",
            "[CTI]\r\nZe_ctecky=1\r\nDo_ctecky=kod\r\nChyba=NENI\r\n"
            "Prikaz_SQL1=select kod from sklad where kod = %a%\r\n"
            "[DVA]\r\nZe_ctecky=1\r\nDo_ctecky=n\r\nChyba=NENI\r\n"
            "Prikaz_SQL1=select @k:=kod as k from sklad where kod = %a%\r\n"
            "Prikaz_SQL2=select nazev as n, @v:=1 as v from sklad where kod = %a%\r\n"
            "[ZMEN]\r\nZe_ctecky=2\r\nDo_ctecky=m\r\nChyba=NENI\r\n"
            "Prikaz_SQL1=update sklad set m = %b% where kod = %a%\r\n"
            "Prikaz_SQL2=select m from sklad where kod = %a%\r\n"
            "[ODPIS]\r\nZe_ctecky=2\r\n"
            "Prikaz_SQL1=update sklad set m = m - %b% where kod = %a%\r\n");
  const ConfigStore own_file(dir.Path() + "srvlarvek.INI");
  const std::string names = "names: SET NAMES cp1250\r\n";
  const std::string cti = "t1: select kod from sklad where kod = \"A1\"\r\n";
  const std::string dva1 = "t1: select @k:=kod as k from sklad where kod = \"A1\"";
  const std::string dva2 = "t2: select nazev as n, @v:=1 as v from sklad where kod = \"A1\"";
  const std::string zmen1 = "t1: update sklad set m = \"5\" where kod = \"A1\"\r\n";
  const std::string zmen2 = "t2: select m from sklad where kod = \"A1\"\r\n";
  const Rows kod = {{"kod"}, {"A1"}, {"B2"}};
  const Rows none = {{"kod"}};

  const FlowCase cases[] = {
      {"reading, rows",
       "CTI;A1",
       {{StatementRole::kTemplate1, kod}},
       {},
       {names, cti},
       "CTI;A1#CTI;B2#\r",
       Kind::kRecords,
       2,
       1},
      {"reading, no rows",
       "CTI;A1",
       {{StatementRole::kTemplate1, none}},
       {},
       {names, cti},
       "CTI;NENI\r",
       Kind::kEmptyResult,
       0,
       1},
      {"template 2 after rows, its variables reset",
       "DVA;A1",
       {{StatementRole::kTemplate1, {{"k"}, {"A1"}}},
        {StatementRole::kTemplate2, {{"n"}, {"Sroub"}}}},
       {},
       {names, dva1, dva2, "reset: select @v:=null"},
       "DVA;Sroub#\r",
       Kind::kRecords,
       1,
       2},
      {"no rows from template 1: template 2 not sent",
       "DVA;A1",
       {{StatementRole::kTemplate1, {{"k"}}}},
       {},
       {names, dva1},
       "DVA;NENI\r",
       Kind::kEmptyResult,
       0,
       1},
      {"no rows from template 2: template 1's variables reset",
       "DVA;A1",
       {{StatementRole::kTemplate1, {{"k"}, {"A1"}}}, {StatementRole::kTemplate2, {{"n"}}}},
       {},
       {names, dva1, dva2, "reset: select @k:=null"},
       "DVA;NENI\r",
       Kind::kEmptyResult,
       0,
       2},
      {"modifying, then reading",
       "ZMEN;A1;5",
       {{StatementRole::kTemplate2, {{"m"}, {"5"}}}},
       {},
       {names, zmen1, zmen2},
       "ZMEN;5#\r",
       Kind::kRecords,
       1,
       2},
      {"modifying alone: a lone CR",
       "ODPIS;A1;1",
       {},
       {},
       {names, "t1: update sklad set m = m - \"1\" where kod = \"A1\"\r\n"},
       "\r",
       Kind::kRecords,
       0,
       1},
      {"SET NAMES fails: the error record",
       "CTI;A1",
       {},
       {{StatementRole::kSetNames, kLockWait}},
       {names},
       "CTI;error#\r",
       Kind::kErrorRecord,
       0,
       0},
      {"template 1 fails",
       "ZMEN;A1;5",
       {},
       {{StatementRole::kTemplate1, kLockWait}},
       {names, zmen1},
       "ZMEN;error#\r",
       Kind::kErrorRecord,
       0,
       0},
      {"template 2 fails",
       "ZMEN;A1;5",
       {},
       {{StatementRole::kTemplate2, kLockWait}},
       {names, zmen1, zmen2},
       "ZMEN;error#\r",
       Kind::kErrorRecord,
       0,
       1},
      {"the reset after no rows fails",
       "DVA;A1",
       {{StatementRole::kTemplate1, {{"k"}, {"A1"}}}, {StatementRole::kTemplate2, {{"n"}}}},
       {{StatementRole::kReset, kLockWait}},
       {names, dva1, dva2, "reset: select @k:=null"},
       "DVA;error#\r",
       Kind::kErrorRecord,
       0,
       2},
      {"unknown in the own file: nothing is sent",
       "NIC;1",
       {},
       {},
       {},
       "NEZNAMY PRIKAZ!\r",
       Kind::kUnknownCommand,
       0,
       0},
      {"too few fields: no reply", "ZMEN", {}, {}, {}, "", Kind::kNoReply, 0, 0},
      {"a blank reception is no request", "  ", {}, {}, {}, "", Kind::kNothing, 0, 0},
  };
  for (const FlowCase& c : cases) {
    SCOPED_TRACE(c.name);
    CommandSettings settings;
    settings.terminator = "#";
    std::vector<std::string> log;
    FakeHost host;
    CommandCache cache(own_file);
    CommandFlow flow(
        cache, settings, [&log](const std::string& l) { log.push_back(l); }, host);
    FakeLink link;
    link.rows = c.rows;
    link.failures = c.failures;
    std::string reply;
    TextTerminal terminal(reply);
    const RequestOutcome outcome = RunToCompletion(flow.Run(link, terminal, c.request));
    EXPECT_EQ(link.sent, c.sent);
    // Connected once, before the first statement; not at all when nothing is sent.
    EXPECT_EQ(link.connects, c.sent.empty() ? 0 : 1);
    EXPECT_EQ(reply, c.reply);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.rows, c.record_rows);
    EXPECT_EQ(outcome.failure.has_value(),
              c.kind == Kind::kErrorRecord || c.kind == Kind::kNoReply);
    // A failed template statement leaves the watchdog armed: it started, it did not end.
    EXPECT_EQ(host.ended, c.statements_ended);
    if (c.kind == Kind::kErrorRecord && !c.failures.count(StatementRole::kSetNames)) {
      EXPECT_EQ(log.back(), std::string("Chyba p\xF8\xEDkazu ") +
                                c.request.substr(0, c.request.find(';')) +
                                ": EDatabaseError: SQL chyba: Lock wait timeout exceeded (#1205)");
    }
  }
}

// In the table the name is looked up after SET NAMES; a name that could not be a command's is
// not looked up at all.
TEST(CommandFlow, LooksNamesUpInTheTableAfterSetNames) {
  testing::TempDir dir;
  const ConfigStore own_file(dir.Path() + "srvlarvek.INI");
  CommandSettings settings;
  FakeHost host;
  host.source = DefinitionSource::kTable;
  std::vector<std::string> log;
  CommandCache cache(own_file);
  CommandFlow flow(
      cache, settings, [&log](const std::string& l) { log.push_back(l); }, host);
  const Rows row = {{"ze_ctecky", "do_ctecky", "prikaz_SQL1", "prikaz_SQL2", "chyba"},
                    {"1", "kod", "select kod from sklad where kod = %a%", "", "NENI"}};
  struct Case {
    const char* request;
    std::vector<std::string> sent;
    std::string reply;
  } cases[] = {
      {"STAV;A1",
       {"names: SET NAMES cp1250\r\n",
        "lookup: select * from server_term where operace = \"STAV\"\r\n",
        "t1: select kod from sklad where kod = \"A1\"\r\n"},
       "STAV;A1\r"},
      {"ST\"AV;A1", {}, "NEZNAMY PRIKAZ!\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    FakeLink link;
    link.rows = {{StatementRole::kLookup, row}, {StatementRole::kTemplate1, {{"kod"}, {"A1"}}}};
    std::string reply;
    TextTerminal terminal(reply);
    RunToCompletion(flow.Run(link, terminal, c.request));
    EXPECT_EQ(link.sent, c.sent);
    EXPECT_EQ(reply, c.reply);
  }
}

// Values that are not text become text by the regional formats of the settings, and the reply
// is measured against Max_reply in the same formats: a limit of its exact length sends it, one
// byte less refuses it.
TEST(CommandFlow, RecordsShowValuesInTheRegionalFormatsOfTheSettings) {
  testing::TempDir dir;
  dir.Write("srvlarvek.INI",
            "[CTI]\r\nZe_ctecky=1\r\nDo_ctecky=cena|kdy\r\n"
            "Prikaz_SQL1=select cena, kdy from sklad where kod = %a%\r\n");
  const ConfigStore own_file(dir.Path() + "srvlarvek.INI");
  const struct {
    RegionalSettings formats;
    std::string reply;
  } cases[] = {
      {RegionalSettings{}, "CTI;12,5;5.1.2024 8:20:30\r"},
      {RegionalSettings{"yyyy-mm-dd", "hh:nn", "::"}, "CTI;12::5;2024-01-05 08:20\r"},
  };
  for (const auto& c : cases) {
    for (const bool fits : {true, false}) {
      SCOPED_TRACE(c.reply + (fits ? " fits" : " one byte over"));
      CommandSettings settings;
      settings.regional = c.formats;
      settings.max_reply = c.reply.size() - (fits ? 0 : 1);
      FakeHost host;
      CommandCache cache(own_file);
      CommandFlow flow(
          cache, settings, [](const std::string&) {}, host);
      FakeLink link;
      link.rows = {
          {StatementRole::kTemplate1, {{"cena", "kdy"}, {"12.50", "2024-01-05 08:20:30"}}}};
      link.kinds = {FieldKind::kFloat, FieldKind::kDateTime};
      std::string reply;
      TextTerminal terminal(reply);
      const RequestOutcome outcome = RunToCompletion(flow.Run(link, terminal, "CTI;A1"));
      EXPECT_EQ(reply, fits ? c.reply : "CTI;error\r");
      EXPECT_EQ(outcome.kind, fits ? Kind::kRecords : Kind::kErrorRecord);
    }
  }
}

}  // namespace
}  // namespace larvek
