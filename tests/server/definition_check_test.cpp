// "srvlarvek --check": the definitions of both sources checked against a real database, the
// dry run of requests, and one run of the real binary.
#include "server/definition_check.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "command_database.h"
#include "mariadb_server.h"
#include "temp_dir.h"

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

// A program directory whose own file points at a database of its own.
class CheckTest : public ::testing::Test {
 protected:
  std::string ProgramPath() const { return dir_.Path() + "srvlarvek"; }

  std::string LogOn(const std::string& password = "") const {
    MariaDb& server = TestDatabase();
    return "[LogOn]\r\nIP=" + server.Host() + "\r\nSQLport=" + std::to_string(server.Port()) +
           "\r\nUser=" + server.User() +
           "\r\nPassword=" + (password.empty() ? server.Password() : password) +
           "\r\nDatabase=" + db_.Name() + "\r\n[Server]\r\nUkoncovac=#\r\n";
  }
  void WriteOwnFile(const std::string& sections, const std::string& password = "") {
    dir_.Write("srvlarvek.INI", LogOn(password) + sections);
  }

  // The definitions in `source`; the own file holds only the login when the table is used.
  void Define(Source source, const std::vector<DefinitionCase>& cases) {
    std::string sections;
    if (source == Source::kTable) db_.CreateServerTerm();
    for (const DefinitionCase& c : cases) {
      if (source == Source::kTable) {
        db_.Define(c.name, c.parameter_count, c.result_columns, c.sql1, c.sql2, "NENI");
      } else {
        sections += std::string("[") + c.name +
                    "]\r\nZe_ctecky=" + std::to_string(c.parameter_count) +
                    "\r\nDo_ctecky=" + c.result_columns + "\r\nPrikaz_SQL1=" + c.sql1 +
                    "\r\nPrikaz_SQL2=" + c.sql2 + "\r\nChyba=NENI\r\n";
      }
    }
    WriteOwnFile(sections);
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
