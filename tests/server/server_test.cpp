#include "server/server.h"

#include <gtest/gtest.h>

namespace larvek {
namespace {

TEST(MainWindowTest, ApplicationTitleIsTheFileNameUpToItsFirstDot) {
  const std::pair<const char*, const char*> cases[] = {
      {"/opt/larvek/srvlarvek", "srvlarvek"},
      {"/opt/larvek/SRVLARVEK.EXE", "Srvlarvek"},
      {"/a.b/SrvLarvek.tar.gz", "Srvlarvek"},
      {"Plain", "Plain"},
  };
  for (const auto& [path, title] : cases) EXPECT_EQ(ApplicationTitle(path), title) << path;
}

TEST(MainWindowTest, MessageBoxTextGetsAFinalDotOnlyAfterCharactersSortingAfterIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"Range check error", "Range check error."},
      {"Address already in use (#10048 in Bind)", "Address already in use (#10048 in Bind)"},
      {"Done.", "Done."},
      {"path/", "path/."},
      {"50%", "50%"},
      {"p\xF8ipojen\xED", "p\xF8ipojen\xED."},
      {"", ""},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(MessageBoxText(text), shown) << text;
}

}  // namespace
}  // namespace larvek
