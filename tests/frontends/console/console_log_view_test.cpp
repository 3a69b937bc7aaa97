#include "frontends/console/console_log_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace larvek {
namespace {

std::string ReadBack(std::FILE* f) {
  std::rewind(f);
  std::string s;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

TEST(ConsoleLogViewTest, PrintsEachAppendAsUtf8AndKeepsNothing) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ConsoleLogView view(out);
  view.AppendLine("08:05:09  Na\xE8teno z 10.0.0.5: 'STAV;A1'");
  view.AppendLine("");
  EXPECT_EQ(ReadBack(out), "08:05:09  Na\xC4\x8Dteno z 10.0.0.5: 'STAV;A1'\n\n");
  // The day's file is the record: the view keeps no line, so none is loaded into it.
  EXPECT_EQ(view.KeptLines(), 0u);
  EXPECT_TRUE(view.TypedLines().empty());

  // Loaded lines are not printed.
  view.ReplaceLines({"a", "b"});
  view.ScrollToEnd();
  view.AppendLine("c");
  EXPECT_TRUE(view.TypedLines().empty());
  EXPECT_EQ(ReadBack(out), "08:05:09  Na\xC4\x8Dteno z 10.0.0.5: 'STAV;A1'\n\nc\n");
  std::fclose(out);
}

}  // namespace
}  // namespace larvek
