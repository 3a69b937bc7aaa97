// The own file's definitions as requests find them: kept while the file reads the same, and
// never kept past an edit.
#include "commands/command_catalog.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "config/config_store.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

TEST(OwnFileDefinitions, KeepsWhatWasFoundUntilTheFileChanges) {
  TempDir dir;
  const std::string path = dir.Write(
      "srvlarvek.INI", "[STAV]\r\nZe_ctecky=1\r\nDo_ctecky=kod\r\nPrikaz_SQL1=select 1\r\n");
  ConfigStore store(path);
  std::optional<uint64_t> round = 1;
  store.ShareLooksWithinRounds([&round] { return round; });
  OwnFileDefinitions definitions(store);

  // Each name finds the section whatever its letter case, under the name the request used;
  // within one version of the file the next request of a name takes the kept definition.
  for (const char* name : {"stav", "Stav", "STAV"}) {
    SCOPED_TRACE(name);
    const std::shared_ptr<const CommandDefinition> found = definitions.Find(name);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name, name);
    EXPECT_EQ(found->own_name, "STAV");
    EXPECT_EQ(found->statement1, "select 1");
    EXPECT_EQ(found->empty_result_text, "*****");
    EXPECT_EQ(definitions.Find(name), found);
  }
  EXPECT_FALSE(definitions.Find("ZMEN"));
  const std::shared_ptr<const CommandDefinition> first = definitions.Find("stav");

  // An edit shows with the next look: a changed template, a new command, a command gone.
  dir.Write("srvlarvek.INI",
            "[STAV]\r\nZe_ctecky=1\r\nPrikaz_SQL1=select 2\r\n[ZMEN]\r\nZe_ctecky=2\r\n");
  round = 2;
  EXPECT_EQ(definitions.Find("stav")->statement1, "select 2");
  EXPECT_EQ(first->statement1, "select 1") << "a request keeps what it found";
  EXPECT_EQ(definitions.Find("zmen")->parameter_count, 2);
  dir.Write("srvlarvek.INI", "[ZMEN]\r\nZe_ctecky=2\r\n");
  round = 3;
  EXPECT_FALSE(definitions.Find("STAV"));
  ASSERT_EQ(unlink(path.c_str()), 0);
  round = 4;
  EXPECT_FALSE(definitions.Find("ZMEN"));
}

// Names that differ only in their blanks all find the one section; what is kept stays bounded.
TEST(OwnFileDefinitions, KeepsABoundedNumberOfNames) {
  TempDir dir;
  ConfigStore store(dir.Write("srvlarvek.INI", "[STAV]\r\nZe_ctecky=1\r\n"));
  store.ShareLooksWithinRounds([] { return std::optional<uint64_t>(1); });
  OwnFileDefinitions definitions(store);
  for (size_t i = 0; i < 3 * OwnFileDefinitions::kMaxKept; ++i) {
    const std::string name = std::string(i % OwnFileDefinitions::kMaxKeptName, ' ') +
                             std::string(i / OwnFileDefinitions::kMaxKeptName, '\t') + "STAV";
    ASSERT_TRUE(definitions.Find(name)) << i;
    ASSERT_LE(definitions.Kept(), OwnFileDefinitions::kMaxKept);
  }
  // A long name is found and not kept.
  const size_t kept = definitions.Kept();
  EXPECT_TRUE(definitions.Find(std::string(100'000, ' ') + "STAV"));
  EXPECT_EQ(definitions.Kept(), kept);
}

}  // namespace
}  // namespace larvek
