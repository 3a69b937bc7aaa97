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

// The duration of a connection as the log line of its end shows it. A connection whose start
// was not kept counts from a midnight, and shows the time of day.
TEST(MainWindowTest, DurationsShowOnTheClockOfOneDay) {
  using namespace std::chrono;
  const std::pair<milliseconds, const char*> cases[] = {
      {0ms, "00:00:00"},
      {999ms, "00:00:00"},
      {1h + 2min + 3s + 999ms, "01:02:03"},
      {23h + 59min + 59s, "23:59:59"},
      {days{1}, "00:00:00"},
      {days{3} + 5s, "00:00:05"},
      {-1500ms, "23:59:58"},
      {-days{1} - 1s, "23:59:59"},
      {local_days{2024y / 3 / 7} + 8h + 5min + 9s - LocalTime{}, "08:05:09"},
  };
  for (const auto& [duration, shown] : cases)
    EXPECT_EQ(FormatDuration(duration), shown) << duration.count();
}

}  // namespace
}  // namespace larvek
