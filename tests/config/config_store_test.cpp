#include "config/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/error.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

// Sets the file's modification time far into the past, so the store trusts its kept copy.
void MakeOld(const std::string& path) {
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(IniStorageTest, EachStoreReadsItsFileAndAnEmptySectionNameIsTheWindowSection) {
  TempDir dir;
  const std::string own = dir.Write("srvlarvek.INI", "[Tsrvlarvek]\nk=own\n[X]\nk=x\n");
  const std::string other = dir.Write("other.ini", "[Tsrvlarvek]\nk=other\n");
  const ConfigStore ini(own);
  EXPECT_EQ(ini.ReadText("", "k", "DEF"), "own");
  EXPECT_EQ(ini.ReadText(kWindowSection, "k", "DEF"), "own");
  EXPECT_EQ(ini.ReadText("x", "K", "DEF"), "x");
  EXPECT_EQ(ini.ReadText("none", "k", "DEF"), "DEF");
  EXPECT_EQ(ConfigStore(other).ReadText("", "k", "DEF"), "other");
  const ConfigStore missing(dir.Path() + "none.ini");
  EXPECT_EQ(missing.ReadText("", "k", "DEF"), "DEF");
  EXPECT_EQ(missing.ReadNumber("", "k", -3), -3);
}

TEST(IniStorageTest, EveryReadSeesTheCurrentContent) {
  TempDir dir;
  const std::string own = dir.Write("srvlarvek.INI", "[ABC]\nChyba=1\n");
  ConfigStore ini(own);

  // A change of the same size right after the first read.
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "1");
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=2\n");
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "2");

  // An old file whose edit keeps the size and even the modification time.
  MakeOld(own);
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "2");
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=3\n");
  MakeOld(own);
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "3");

  // A new file renamed over the old one.
  const std::string fresh = dir.Write("fresh.tmp", "[ABC]\nChyba=4\n");
  MakeOld(fresh);
  ASSERT_EQ(rename(fresh.c_str(), own.c_str()), 0);
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "4");

  // Removed, then created again.
  ASSERT_EQ(unlink(own.c_str()), 0);
  EXPECT_EQ(ini.ReadText("abc", "Chyba", "*****"), "*****");
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=5\n");
  EXPECT_EQ(ini.ReadText("abc", "Chyba", "*****"), "5");
}

// Told the rounds, the store looks at the file at the first read of a round only; a write
// and a new round make the next read look again, and outside a round every read looks.
TEST(IniStorageTest, ReadsOfOneRoundShareOneLookAtTheFile) {
  TempDir dir;
  const std::string own = dir.Write("srvlarvek.INI", "[ABC]\nChyba=1\n");
  ConfigStore ini(own);
  std::optional<uint64_t> round = 7;
  ini.ShareLooksWithinRounds([&round] { return round; });

  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "1");
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=2\n");
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "1") << "the round's look";
  round = 8;
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "2");

  ASSERT_EQ(unlink(own.c_str()), 0);
  EXPECT_EQ(ini.ReadText("abc", "Chyba", "*"), "2");
  round = 9;
  EXPECT_EQ(ini.ReadText("abc", "Chyba", "*"), "*");
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=3\n");
  EXPECT_EQ(ini.ReadText("abc", "Chyba", "*"), "*") << "a missing file counts as a look too";

  ini.WriteText("abc", "Chyba", "4");
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "4") << "the store's own write, same round";

  round = std::nullopt;
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=5\n");
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "5");
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=6\n");
  EXPECT_EQ(ini.ReadText("abc", "Chyba", ""), "6");
}

// Snapshots of one look share a version; any other content comes with a new one, whether an
// edit, the store's own write or a file gone.
TEST(IniStorageTest, EachContentReadHasAVersionOfItsOwn) {
  TempDir dir;
  const std::string own = dir.Write("srvlarvek.INI", "[ABC]\nChyba=1\n");
  ConfigStore ini(own);
  std::optional<uint64_t> round = 1;
  ini.ShareLooksWithinRounds([&round] { return round; });
  const uint64_t first = ini.Now().Version();
  EXPECT_EQ(ini.Now().Version(), first);
  dir.Write("srvlarvek.INI", "[ABC]\nChyba=2\n");
  round = 2;
  const uint64_t edited = ini.Now().Version();
  EXPECT_NE(edited, first);
  EXPECT_EQ(ini.Now().ReadText("abc", "Chyba", ""), "2");
  ini.WriteText("abc", "Chyba", "3");
  const uint64_t written = ini.Now().Version();
  EXPECT_NE(written, edited);
  ASSERT_EQ(unlink(own.c_str()), 0);
  round = 3;
  EXPECT_NE(ini.Now().Version(), written);
}

TEST(IniStorageTest, WritesAreSeenByTheNextRead) {
  TempDir dir;
  const std::string own = dir.Write("srvlarvek.INI", "[ABC]\nChyba=x\n");
  MakeOld(own);
  ConfigStore ini(own);
  EXPECT_EQ(ini.ReadNumber("", "Flags", 0), 0);
  ini.WriteNumber("", "Flags", -12);
  EXPECT_EQ(ini.ReadNumber("", "Flags", 0), -12);
  ini.WriteText("", "Flags", "0x10");
  EXPECT_EQ(ini.ReadNumber("", "Flags", 0), 16);
  EXPECT_EQ(TempDir::Read(own), "[ABC]\nChyba=x\n[Tsrvlarvek]\r\nFlags=0x10\r\n");
}

TEST(IniStorageTest, FailedWriteNamesTheFile) {
  TempDir dir;
  ConfigStore ini(dir.Path() + "missing/srvlarvek.INI");
  try {
    ini.WriteNumber("", "FormVersion", 0);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.ClassName(), kIniFileError);
    EXPECT_EQ(e.Message(), "Unable to write to " + dir.Path() + "missing/srvlarvek.INI");
  }
}

}  // namespace
}  // namespace larvek
