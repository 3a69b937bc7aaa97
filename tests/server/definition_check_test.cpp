// "srvlarvek --check": the definitions of both sources checked against a real database, the
// dry run of requests, and one run of the real binary.
#include "server/definition_check.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "command_database.h"
#include "mariadb_server.h"
#include "temp_dir.h"
#include "terminal_peer.h"

namespace larvek::testing {
namespace {

struct DefinitionCase {
  const char* name;
  int parameter_count;
  const char* result_columns;
  const char* sql1;
  const char* sql2;
  const char* warning;  // a part of the one warning expected; "" for a clean definition
};

// One definition per warning, and clean ones.
const DefinitionCase kDefinitions[] = {
    {"STAV", 1, "kod|nazev", "select kod, nazev from sklad where kod = %a%", "", ""},
    {"DOPLN", 2, "kod|mnozstvi", "update sklad set mnozstvi = %b% where kod = %a%",
     "select kod, mnozstvi from sklad where kod = %a%", ""},
    {"SLOUPEC", 1, "kod", "select kod from sklad where kod = %a% and @p:=1", "", ""},
    {"NAVIC", 2, "kod", "select kod from sklad where kod = %a% or kod = %c%", "",
     "%c% stays in the statement as written (ze_ctecky is 2)"},
    {"VELKA", 1, "kod", "UPDATE sklad SET mnozstvi = 1 WHERE kod = %a%", "",
     "UPDATE not in small letters: not treated as modifying"},
    {"DVOJTECKA", 1, "kod", "select kod from sklad where kod = %a% and 1 = :x", "",
     ":x outside a string becomes NULL"},
    {"ZLOMENA", 1, "kod", "select kod from sklad where kod = %a% and 1 = :)", "",
     "names no parameter"},
    {"OTAZNIK", 1, "kod", "select kod from sklad where kod = %a% and 1 = ?", "",
     "a \"?\" outside a string fails when sent"},
    {"APOSTROF", 1, "kod", "select kod from sklad where kod = '%a%'", "",
     "%a% inside quotes: the value arrives quoted twice"},
    {"UVOZOVKY", 1, "kod", "select kod from sklad where kod = \"%a%\" or 1", "",
     "%a% inside double quotes: the statement is refused"},
    {"ROZSAH", 7, "kod", "select kod from sklad where kod = %a%", "",
     "ze_ctecky 7 is outside 0..5"},
    {"PRAZDNA", 1, "kod", "", "", "template 1 is empty"},
    {"POSLEDNI", 1, "last_update", "select kod as last_update from sklad where kod = %a%", "",
     "treated as modifying, its rows are not sent"},
    {"Pismena", 1, "kod", "select kod from sklad where kod = %a%", "", "same name"},
    {"PISMENA", 1, "kod", "select kod from sklad where kod = %a%", "", "same name"},
};

enum class Source { kTable, kFile };

std::string SourceName(const ::testing::TestParamInfo<Source>& info) {
  return info.param == Source::kTable ? "Table" : "File";
}

// The login to `database` on `server`, and the terminator.
std::string LogOnTo(const MariaDb& server, const std::string& database,
                    const std::string& password = "") {
  return "[LogOn]\r\nIP=" + server.Host() + "\r\nSQLport=" + std::to_string(server.Port()) +
         "\r\nUser=" + server.User() +
         "\r\nPassword=" + (password.empty() ? server.Password() : password) +
         "\r\nDatabase=" + database + "\r\n[Server]\r\nUkoncovac=#\r\n";
}

// The definitions as sections of the own file.
std::string Sections(const std::vector<DefinitionCase>& cases) {
  std::string sections;
  for (const DefinitionCase& c : cases)
    sections += std::string("[") + c.name + "]\r\nZe_ctecky=" + std::to_string(c.parameter_count) +
                "\r\nDo_ctecky=" + c.result_columns + "\r\nPrikaz_SQL1=" + c.sql1 +
                "\r\nPrikaz_SQL2=" + c.sql2 + "\r\nChyba=NENI\r\n";
  return sections;
}

// A program directory whose own file points at a database of its own.
class CheckTest : public ::testing::Test {
 protected:
  std::string ProgramPath() const { return dir_.Path() + "srvlarvek"; }

  std::string LogOn(const std::string& password = "") const {
    return LogOnTo(TestDatabase(), db_.Name(), password);
  }
  void WriteOwnFile(const std::string& sections, const std::string& password = "") {
    dir_.Write("srvlarvek.INI", LogOn(password) + sections);
  }

  // The definitions in `source`; the own file holds only the login when the table is used.
  void Define(Source source, const std::vector<DefinitionCase>& cases) {
    if (source == Source::kFile) {
      WriteOwnFile(Sections(cases));
      return;
    }
    db_.CreateServerTerm();
    for (const DefinitionCase& c : cases)
      db_.Define(c.name, c.parameter_count, c.result_columns, c.sql1, c.sql2, "NENI");
    WriteOwnFile("");
  }

  // The lines of the block that starts with the definition's name.
  static std::vector<std::string> Block(const std::string& text, const std::string& name) {
    std::vector<std::string> block;
    std::istringstream in(text);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with(name + "  ("))
        inside = true;
      else if (line.empty())
        inside = false;
      if (inside) block.push_back(line);
    }
    return block;
  }

  CommandDatabase db_;
  TempDir dir_;
};

class DefinitionCheckTest : public CheckTest, public ::testing::WithParamInterface<Source> {};

TEST_P(DefinitionCheckTest, EachDefinitionGetsItsWarning) {
  Define(GetParam(), std::vector<DefinitionCase>(std::begin(kDefinitions), std::end(kDefinitions)));
  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 1) << outcome.text;
  for (const DefinitionCase& c : kDefinitions) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> block = Block(outcome.text, c.name);
    ASSERT_FALSE(block.empty()) << outcome.text;
    std::vector<std::string> warnings;
    for (const std::string& line : block)
      if (line.find("warning: ") != std::string::npos) warnings.push_back(line);
    if (*c.warning == '\0') {
      EXPECT_TRUE(warnings.empty()) << outcome.text;
    } else {
      ASSERT_EQ(warnings.size(), 1u) << outcome.text;
      EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << outcome.text;
    }
  }
  const std::string where =
      GetParam() == Source::kTable ? "table server_term" : "sections of the own file";
  EXPECT_NE(outcome.text.find(where), std::string::npos);
}

TEST_P(DefinitionCheckTest, CleanDefinitionsExitWithZero) {
  Define(GetParam(), {kDefinitions[0], kDefinitions[1], kDefinitions[2]});
  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 0) << outcome.text;
  EXPECT_NE(outcome.text.find("3 definitions, 0 warnings"), std::string::npos) << outcome.text;
}

INSTANTIATE_TEST_SUITE_P(Sources, DefinitionCheckTest,
                         ::testing::Values(Source::kTable, Source::kFile), SourceName);

TEST_F(CheckTest, FileSectionsOfSettingsAreNoCommands) {
  WriteOwnFile(
      "[Regional]\r\nDecimalSeparator=,\r\n[Tsrvlarvek]\r\nLeft=1\r\n[Poznamka]\r\nx=1\r\n");
  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 0) << outcome.text;
  EXPECT_NE(outcome.text.find("0 definitions, 0 warnings"), std::string::npos) << outcome.text;
}

// A value typed in a UTF-8 editor is named with its file, section and key, beside what the
// server makes of it; Czech text in Windows-1250 is not. The definitions are checked as ever.
TEST_F(CheckTest, ValuesThatLookLikeUtf8AreNamed) {
  WriteOwnFile(
      "[STAV]\r\nZe_ctecky=1\r\nDo_ctecky=kod\r\n"
      "Prikaz_SQL1=select kod from sklad where kod = %a%\r\nChyba=NEN\xC3\x8D\r\n"
      "[HLEDEJ]\r\nZe_ctecky=1\r\nDo_ctecky=kod\r\n"
      "Prikaz_SQL1=select kod from sklad where kod = %a%\r\nChyba=P\xD8\xCD\x8AT\xCD\r\n");
  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 1) << outcome.text;
  EXPECT_NE(outcome.text.find("warning: " + dir_.Path() +
                              "srvlarvek.INI [STAV] Chyba=\"NENÍ\" looks like UTF-8: the file is "
                              "read as Windows-1250, so the server takes \"NENĂŤ\"\n"),
            std::string::npos)
      << outcome.text;
  EXPECT_NE(outcome.text.find("2 definitions, 1 warning\n"), std::string::npos) << outcome.text;
  EXPECT_FALSE(Block(outcome.text, "STAV").empty()) << outcome.text;
}

TEST_F(CheckTest, UnreadableConfigurationOrDatabaseExitWithTwo) {
  WriteOwnFile("", "wrong");
  EXPECT_EQ(CheckDefinitions(ProgramPath()).status, 2);
  EXPECT_EQ(CheckRequest(ProgramPath(), "STAV;A1").status, 2);
  dir_.Write("srvlarvek.INI", LogOn() + "Max_time=-1\r\n");
  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.text.find("configuration cannot be read"), std::string::npos) << outcome.text;
}

struct RequestCase {
  const char* request;                // UTF-8
  std::vector<const char*> expected;  // parts of the output, in this order
  int status;
};

const RequestCase kRequests[] = {
    {"STAV;A1",
     {"1. SET NAMES cp1250", "2. template 1: select kod, nazev from sklad where kod = \"A1\"",
      "run: rows", "reply       STAV;A1;Sroub#\\r  (records)"},
     0},
    {"STAV;Z9", {"run: no rows", "reply       STAV;NENI\\r  (the empty-result text)"}, 0},
    {"DOPLN;A1;99",
     {"flow        modifying",
      "2. template 1: update sklad set mnozstvi = \"99\" where kod = \"A1\"",
      "not run here (modifying): the reply depends on it",
      "3. template 2: select kod, mnozstvi from sklad where kod = \"A1\"", "run: rows",
      "(the result depends on template 1, which was not run)", "reply       DOPLN;A1;10#\\r"},
     0},
    {"SLOUPEC;A1",
     {"run: rows", "Field 'kod' not found", "the terminal would get no reply", "reply       none"},
     1},
    {"ZLOMENA;A1", {"template 1: not sent", "reply       none"}, 1},
    {"OTAZNIK;A1",
     {"template 1: not sent", "reply       OTAZNIK;error#\\r  (the error record)"},
     1},
    {"NIKDO;1", {"unknown command \"NIKDO\"", "reply       NEZNAMY PRIKAZ!\\r"}, 1},
    {"NAVIC;A1", {"or kod = %c%", "run: failed", "reply       NAVIC;error#\\r"}, 1},
    {"DOPLN", {"reply       none: too few parameters"}, 1},
    {"Šroub;x", {"unknown command \"Šroub\""}, 1},
};

class RequestCheckTest : public CheckTest, public ::testing::WithParamInterface<Source> {};

TEST_P(RequestCheckTest, DryRunShowsStatementsAndReply) {
  std::vector<DefinitionCase> cases(std::begin(kDefinitions), std::end(kDefinitions));
  cases[2].result_columns = "kod";
  cases[2].sql1 = "select nazev from sklad where kod = %a%";  // its column is missing
  Define(GetParam(), cases);
  for (const RequestCase& c : kRequests) {
    SCOPED_TRACE(c.request);
    const CheckOutcome outcome = CheckRequest(ProgramPath(), c.request);
    EXPECT_EQ(outcome.status, c.status) << outcome.text;
    size_t at = 0;
    for (const char* part : c.expected) {
      const size_t found = outcome.text.find(part, at);
      ASSERT_NE(found, std::string::npos) << part << "\n" << outcome.text;
      at = found;
    }
  }
  // The modifying template was never sent: the stock of A1 is as it was.
  EXPECT_EQ(
      TestDatabase().QueryValue("select mnozstvi from " + db_.Name() + ".sklad where kod = 'A1'"),
      "10");
}

TEST_P(RequestCheckTest, ModifyingStatementWithoutReadingOneChangesNothing) {
  Define(GetParam(),
         {{"SMAZ", 1, "", "delete from sklad where kod = %a%", "", ""},
          {"SMAZ2", 1, "kod", "select kod from sklad where kod = %a%; DROP TABLE sklad", "", ""}});
  CheckOutcome outcome = CheckRequest(ProgramPath(), "SMAZ;A1");
  EXPECT_EQ(outcome.status, 0) << outcome.text;
  EXPECT_NE(outcome.text.find("reply       \\r  (an empty record set"), std::string::npos)
      << outcome.text;
  outcome = CheckRequest(ProgramPath(), "SMAZ2;A1");
  EXPECT_NE(outcome.text.find("not run here (more than one statement)"), std::string::npos)
      << outcome.text;
  EXPECT_EQ(TestDatabase().QueryValue("select count(*) from " + db_.Name() + ".sklad"), "3");
}

INSTANTIATE_TEST_SUITE_P(Sources, RequestCheckTest,
                         ::testing::Values(Source::kTable, Source::kFile), SourceName);

// Definitions whose templates write tables of each kind that matters to a Galera cluster.
const DefinitionCase kClusterDefinitions[] = {
    {"PRIJEM", 2, "kod|mnozstvi", "update sklad set mnozstvi = mnozstvi + %b% where kod = %a%",
     "select kod, mnozstvi from sklad where kod = %a%", ""},
    {"ARCHIV", 1, "", "insert into archiv select * from sklad where kod = %a%", "", ""},
    {"POHYB", 2, "", "insert pohyby (kod, mnozstvi) values (%a%, %b%)", "", ""},
    {"DENIK", 1, "", "delete from denik where kod = %a%", "", ""},
    {"CENA", 2, "",
     "update centrala.ceny c join sklad s on s.kod = c.kod set c.cena = %b% where s.kod = %a%", "",
     ""},
    {"CENA2", 2, "", "replace into `centrala`.`ceny` (kod, cena) values (%a%, %b%)", "", ""},
    {"NIKDE", 1, "", "delete from nikde where kod = %a%", "", ""},
    {"CTENI", 1, "kod", "select kod from denik where kod = %a%", "", ""},
};

// The tables they write in the database of the login (sklad aside): MyISAM with a primary key,
// InnoDB without one, MyISAM without one. nikde does not exist.
const char kWrittenTables[] =
    "CREATE TABLE archiv (kod VARCHAR(10) PRIMARY KEY, mnozstvi INT) ENGINE=MyISAM; "
    "CREATE TABLE pohyby (kod VARCHAR(10), mnozstvi INT) ENGINE=InnoDB; "
    "CREATE TABLE denik (kod VARCHAR(10), mnozstvi INT) ENGINE=MyISAM";

const char kClusterLine[] = "cluster     Galera (wsrep_on=ON)\n";

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& start) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(start)) lines.push_back(line);
  return lines;
}

// A database that replicates nothing (wsrep_on OFF, as a plain server has it) gets no
// warning about its tables, whatever they are.
TEST_F(CheckTest, TablesGetNoWarningWithoutACluster) {
  db_.Exec(kWrittenTables);
  Define(Source::kTable, std::vector<DefinitionCase>(std::begin(kClusterDefinitions),
                                                     std::end(kClusterDefinitions)));
  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 0) << outcome.text;
  EXPECT_EQ(outcome.text.find(kClusterLine), std::string::npos) << outcome.text;
  EXPECT_NE(outcome.text.find("8 definitions, 0 warnings"), std::string::npos) << outcome.text;
}

const char kGaleraProvider[] = "/usr/lib/galera/libgalera_smm.so";

// A one-node Galera cluster (wsrep_on ON) for the tests of this suite: its only node
// bootstraps it, in a few seconds, with the provider of the Debian package galera-4.
class ClusterCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!std::filesystem::exists(kGaleraProvider)) return;
    const std::string group = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    node_ = std::make_unique<MariaDb>(std::vector<std::string>{
        "--wsrep-on=ON", std::string("--wsrep-provider=") + kGaleraProvider,
        "--wsrep-cluster-address=gcomm://", "--wsrep-node-address=" + group,
        "--wsrep-provider-options=gmcast.listen_addr=tcp://" + group + ";gcache.size=8M",
        "--binlog-format=ROW", "--innodb-autoinc-lock-mode=2"});
  }
  static void TearDownTestSuite() { node_.reset(); }

  // The node's database larvek, empty, and centrala beside it, both open to the login.
  void SetUp() override {
    if (!node_) GTEST_SKIP() << "no Galera provider: " << kGaleraProvider << " (galera-4)";
    node_->Exec(
        "DROP DATABASE IF EXISTS larvek; CREATE DATABASE larvek CHARACTER SET cp1250; "
        "DROP DATABASE IF EXISTS centrala; CREATE DATABASE centrala");
    for (const char* host : {"127.0.0.1", "localhost", "%"})
      node_->Exec(std::string("GRANT ALL ON centrala.* TO 'larvek'@'") + host + "'");
  }
  void WriteOwnFile(const std::string& sections) {
    dir_.Write("srvlarvek.INI", LogOnTo(*node_, "larvek") + sections);
  }
  std::string ProgramPath() const { return dir_.Path() + "srvlarvek"; }

  static std::unique_ptr<MariaDb> node_;
  TempDir dir_;
};

std::unique_ptr<MariaDb> ClusterCheckTest::node_;

class ClusterTablesCheckTest : public ClusterCheckTest,
                               public ::testing::WithParamInterface<Source> {};

// One warning per table and reason, naming the definitions that write it; server_term (in
// table mode) is checked too. A table that exists nowhere, one that is only read and one that
// is InnoDB with a primary key get none.
TEST_P(ClusterTablesCheckTest, WarnsOfTablesTheClusterReplicatesBadly) {
  node_->Exec(std::string("USE larvek; ") + kWrittenTables +
              "; CREATE TABLE sklad (kod VARCHAR(10) PRIMARY KEY, mnozstvi INT) ENGINE=InnoDB; "
              "CREATE TABLE centrala.ceny (kod VARCHAR(10) PRIMARY KEY, cena DECIMAL(10, 2)) "
              "ENGINE=MyISAM");
  const std::vector<DefinitionCase> cases(std::begin(kClusterDefinitions),
                                          std::end(kClusterDefinitions));
  std::vector<std::string> expected;
  const std::string not_innodb =
      " je MyISAM, ne InnoDB: cluster Galera změny v ní nepřenáší na ostatní uzly";
  const std::string no_key =
      " nemá primární klíč: ostatní uzly clusteru Galera hledají každý změněný řádek v celé "
      "tabulce";
  if (GetParam() == Source::kTable) {
    std::string rows;
    for (const DefinitionCase& c : cases)
      rows += (rows.empty() ? "" : ", ") + CommandDatabase::DefinitionRow(c.name, c.parameter_count,
                                                                          c.result_columns, c.sql1,
                                                                          c.sql2, "NENI");
    node_->Exec(std::string("USE larvek; CREATE TABLE server_term (") + kServerTermColumns +
                ") CHARACTER SET cp1250; INSERT INTO server_term VALUES " + rows);
    WriteOwnFile("");
    expected.push_back("warning: tabulka larvek.server_term (definice příkazů)" + no_key);
  } else {
    WriteOwnFile(Sections(cases));
  }
  expected.push_back("warning: tabulka larvek.archiv (zapisuje ARCHIV)" + not_innodb);
  expected.push_back("warning: tabulka larvek.pohyby (zapisuje POHYB)" + no_key);
  expected.push_back("warning: tabulka larvek.denik (zapisuje DENIK)" + not_innodb);
  expected.push_back("warning: tabulka larvek.denik (zapisuje DENIK)" + no_key);
  expected.push_back("warning: tabulka centrala.ceny (zapisuje CENA, CENA2)" + not_innodb);

  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 1) << outcome.text;
  EXPECT_NE(outcome.text.find(kClusterLine), std::string::npos) << outcome.text;
  EXPECT_EQ(LinesStartingWith(outcome.text, "warning: tabulka"), expected) << outcome.text;
  EXPECT_NE(outcome.text.find("8 definitions, " + std::to_string(expected.size()) + " warnings"),
            std::string::npos)
      << outcome.text;
}

INSTANTIATE_TEST_SUITE_P(Sources, ClusterTablesCheckTest,
                         ::testing::Values(Source::kTable, Source::kFile), SourceName);

// The sample databases load into a node of a cluster, and nothing of them needs a warning.
TEST_F(ClusterCheckTest, SampleSchemaIsReadyForACluster) {
  node_->Exec(TempDir::Read(LARVEK_SOURCE_DIR "/data/sample_schema.sql"));
  WriteOwnFile("");
  const CheckOutcome outcome = CheckDefinitions(ProgramPath());
  EXPECT_EQ(outcome.status, 0) << outcome.text;
  EXPECT_NE(outcome.text.find(kClusterLine), std::string::npos) << outcome.text;
  EXPECT_NE(outcome.text.find("definitions table server_term"), std::string::npos) << outcome.text;
  EXPECT_EQ(node_->QueryValue("select count(*) from information_schema.TABLES where "
                              "TABLE_SCHEMA like 'larvek%' and ENGINE <> 'InnoDB'"),
            "0");
}

// The real binary, once: the option reaches the checker and its status becomes the exit status.
TEST_F(CheckTest, BinaryExitsWithTheCheckStatus) {
  const char* binary = std::getenv("LARVEK_SRVLARVEK");
  if (!binary) GTEST_SKIP() << "LARVEK_SRVLARVEK is not set";
  std::filesystem::copy_file(binary, ProgramPath());
  Define(Source::kFile, {kDefinitions[0], kDefinitions[3]});
  auto run = [&](const std::string& args, std::string& out) {
    FILE* pipe = ::popen((ProgramPath() + " --check " + args + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out;
  EXPECT_EQ(run("", out), 1) << out;
  EXPECT_NE(out.find("%c% stays in the statement"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(run("'STAV;A1'", out), 0) << out;
  EXPECT_NE(out.find("STAV;A1;Sroub#\\r"), std::string::npos) << out;
}

}  // namespace
}  // namespace larvek::testing
