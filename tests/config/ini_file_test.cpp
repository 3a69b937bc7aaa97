#include "config/ini_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/error.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

struct ReadCase {
  const char* name;
  std::string file;
  const char* section;
  const char* key;
  std::optional<std::string> expected;  // nullopt: the default is returned
};

TEST(IniFileTest, ReadsTextByTheFileRules) {
  const std::string long_value(3000, 'x');
  const ReadCase cases[] = {
      {"plain", "[S]\nk=v\n", "S", "k", "v"},
      {"crlf", "[S]\r\nk=v\r\nz=w\r\n", "S", "k", "v"},
      {"no final line end", "[S]\nk=v", "S", "k", "v"},
      {"blanks trimmed", "  [ S ]  \n  k  =  a b  \t\n", "S", "k", "a b"},
      {"section case", "[server]\nk=v\n", "SERVER", "k", "v"},
      {"key case", "[S]\nMax_Time=v\n", "S", "max_time", "v"},
      {"czech case", "[P\xD8\xCDKAZ]\n\x8Eluv=v\n", "p\xF8\xEDkaz", "\x9Eluv", "v"},
      {"requested blanks", "[S]\nk=v\n", " S ", " k ", "v"},
      {"double quotes", "[S]\nk=\" a \"\n", "S", "k", " a "},
      {"single quotes", "[S]\nk=  ' a '  \n", "S", "k", " a "},
      {"quotes not matching", "[S]\nk=\"a'\n", "S", "k", "\"a'"},
      {"single quote char", "[S]\nk=\"\n", "S", "k", "\""},
      {"inner quotes kept", "[S]\nk=a \"b\"\n", "S", "k", "a \"b\""},
      {"blanks only", "[S]\nk=   \n", "S", "k", ""},
      {"empty value", "[S]\nk=\n", "S", "k", ""},
      {"equals in value", "[S]\nk=a=b\n", "S", "k", "a=b"},
      {"missing key", "[S]\nk=v\n", "S", "x", std::nullopt},
      {"missing section", "[S]\nk=v\n", "T", "k", std::nullopt},
      {"key of other section", "[S]\nk=v\n[T]\n", "T", "k", std::nullopt},
      {"before any section", "k=v\n[S]\n", "S", "k", std::nullopt},
      {"comment", "[S]\n;k=v\n", "S", "k", std::nullopt},
      {"indented comment", "[S]\n  ; k=v\n", "S", "; k", std::nullopt},
      {"line without equals", "[S]\nk\n", "S", "k", std::nullopt},
      {"empty key", "[S]\n=v\n", "S", "", std::nullopt},
      {"first key wins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
      {"first section wins", "[S]\na=1\n[s]\na=2\nb=3\n", "S", "b", std::nullopt},
      {"first section value", "[S]\na=1\n[s]\na=2\n", "S", "a", "1"},
      {"empty section name", "[]\nk=v\n", "", "k", "v"},
      {"cut at 2047", "[S]\nk=" + long_value + "\n", "S", "k", std::string(2047, 'x')},
      {"cut after unquoting", "[S]\nk=\"" + long_value + "\"\n", "S", "k", std::string(2047, 'x')},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    IniFile doc(c.file);
    EXPECT_EQ(doc.Find(c.section, c.key), c.expected);
    EXPECT_EQ(doc.ReadText(c.section, c.key, "DEF"), c.expected.value_or("DEF"));
  }
}

TEST(IniFileTest, ParsesIntegers) {
  const struct {
    const char* text;
    std::optional<int32_t> expected;
  } cases[] = {
      {"0", 0},
      {"5000", 5000},
      {"+7", 7},
      {"-7", -7},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"0x1F4", 500},
      {"0X1f4", 500},
      {"$1F4", 500},
      {"$7FFFFFFF", INT32_MAX},
      {"$80000000", std::nullopt},
      {"0x", std::nullopt},  // two characters: read as decimal, not a number
      {"$", std::nullopt},
      {"0x-1", std::nullopt},
      {"0xG", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"abc", std::nullopt},
      {"12abc", std::nullopt},
      {"1 2", std::nullopt},
      {"1.5", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseIniInteger(c.text), c.expected);
  }
  // Numbers are read from the trimmed, unquoted value; a failed read gives the default.
  IniFile doc("[S]\na= 0x1F4 \nb='42'\nc=abc\nd=\n");
  EXPECT_EQ(doc.ReadNumber("S", "a", 1), 500);
  EXPECT_EQ(doc.ReadNumber("S", "b", 1), 42);
  EXPECT_EQ(doc.ReadNumber("S", "c", 1), 1);
  EXPECT_EQ(doc.ReadNumber("S", "d", 1), 1);
  EXPECT_EQ(doc.ReadNumber("S", "none", 1), 1);
}

struct SetCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

TEST(IniFileTest, SetChangesOnlyTheKeysLine) {
  const SetCase cases[] = {
      {"empty file", "", "S", "k", "v", "[S]\r\nk=v\r\n"},
      {"replace keeps lf file", "; top\n[S]\na=1\nk = old  \nz=2\n", "s", "K", "new",
       "; top\n[S]\na=1\nk=new\nz=2\n"},
      {"replace keeps crlf", "[S]\r\nk=old\r\n[T]\r\nk=x\r\n", "S", "k", "7",
       "[S]\r\nk=7\r\n[T]\r\nk=x\r\n"},
      {"replace last line without end", "[S]\nk=old", "S", "k", "7", "[S]\nk=7"},
      {"replace first of duplicates", "[S]\nk=1\nk=2\n", "S", "k", "9", "[S]\nk=9\nk=2\n"},
      {"new key after last line of section", "[S]\na=1\n\n[T]\nb=2\n", "S", "k", "v",
       "[S]\na=1\nk=v\r\n\n[T]\nb=2\n"},
      {"new key in open last line", "[S]\na=1", "S", "k", "v", "[S]\na=1\r\nk=v\r\n"},
      {"new key in empty section", "[S]\n[T]\n", "S", "k", "v", "[S]\nk=v\r\n[T]\n"},
      {"new section", "[S]\na=1\n", "T", "k", "v", "[S]\na=1\n[T]\r\nk=v\r\n"},
      {"new section after open line", "[S]\na=1", "T", "k", "v", "[S]\na=1\r\n[T]\r\nk=v\r\n"},
      {"cp1250 bytes untouched", "[S]\n\x9E=\xE8\xEC\nk=1\n", "S", "k", "\xF8",
       "[S]\n\x9E=\xE8\xEC\nk=\xF8\n"},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.name);
    IniFile doc(c.before);
    ASSERT_TRUE(doc.Set(c.section, c.key, c.value));
    EXPECT_EQ(doc.Bytes(), c.after);
    EXPECT_EQ(doc.ReadText(c.section, c.key, "DEF"), c.value);
  }
}

TEST(IniFileTest, SetRefusesTextThatWouldBreakTheFile) {
  IniFile doc("[S]\nk=1\n");
  EXPECT_FALSE(doc.Set("S", "k", "a\r\n[X]"));
  EXPECT_FALSE(doc.Set("S", "a=b", "1"));
  EXPECT_FALSE(doc.Set("S]", "k", "1"));
  EXPECT_FALSE(doc.Set("S", "", "1"));
  EXPECT_EQ(doc.Bytes(), "[S]\nk=1\n");
}

TEST(IniFileTest, WriteIniValueCreatesAndReplacesInPlace) {
  TempDir dir;
  const std::string path = dir.Path() + "sub.INI";
  WriteIniValue(path, "Tsrvlarvek", "FormVersion", "0");
  EXPECT_EQ(TempDir::Read(path), "[Tsrvlarvek]\r\nFormVersion=0\r\n");

  const std::string original = "; comment\n[ABC]\nPrikaz_SQL1=select 1\n\n[Tsrvlarvek]\nFlags=1\n";
  dir.Write("own.INI", original);
  chmod((dir.Path() + "own.INI").c_str(), 0640);
  WriteIniValue(dir.Path() + "own.INI", "TSRVLARVEK", "flags", "2");
  EXPECT_EQ(TempDir::Read(dir.Path() + "own.INI"),
            "; comment\n[ABC]\nPrikaz_SQL1=select 1\n\n[Tsrvlarvek]\nFlags=2\n");
  struct stat st;
  ASSERT_EQ(stat((dir.Path() + "own.INI").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(IniFile::Load(dir.Path() + "own.INI").ReadText("Tsrvlarvek", "Flags", ""), "2");
}

TEST(IniFileTest, WriteThroughLinkChangesTheTarget) {
  TempDir dir;
  const std::string target = dir.Write("real.INI", "[S]\nk=1\n");
  const std::string link = dir.Path() + "link.INI";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  WriteIniValue(link, "S", "k", "2");
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(TempDir::Read(target), "[S]\nk=2\n");
}

TEST(IniFileTest, FailedWriteReportsThePathAndKeepsTheFile) {
  TempDir dir;
  const std::string missing_dir = dir.Path() + "no/such/dir/own.INI";
  try {
    WriteIniValue(missing_dir, "S", "k", "v");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.ClassName(), kIniFileError);
    EXPECT_EQ(e.Message(), "Unable to write to " + missing_dir);
  }
  // A directory in place of the file cannot be read, so it is not overwritten.
  const std::string directory = dir.Path() + "d.INI";
  mkdir(directory.c_str(), 0755);
  EXPECT_THROW(WriteIniValue(directory, "S", "k", "v"), Error);
  struct stat st;
  ASSERT_EQ(stat(directory.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(IniFileTest, LoadOfMissingOrUnreadableFileIsEmpty) {
  TempDir dir;
  EXPECT_EQ(IniFile::Load(dir.Path() + "none.INI").ReadText("S", "k", "DEF"), "DEF");
  EXPECT_EQ(IniFile::Load(dir.Path()).ReadText("S", "k", "DEF"), "DEF");
}

}  // namespace
}  // namespace larvek
