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
  view.AppendLine("08:05:09  Na\xE8teno z 10.0.0.5: 'STAV;A1'", {});
  view.AppendLine("", {});
  EXPECT_EQ(ReadBack(out), "08:05:09  Na\xC4\x8Dteno z 10.0.0.5: 'STAV;A1'\n\n");
  // The day's file is the record: the view keeps no line, so none is loaded into it.
  EXPECT_EQ(view.KeptLines(), 0u);
  EXPECT_TRUE(view.TypedLines().empty());

  // Loaded lines are not printed.
  view.ReplaceLines({"a", "b"});
  view.ScrollToEnd();
  view.AppendLine("c", {});
  EXPECT_TRUE(view.TypedLines().empty());
  EXPECT_EQ(ReadBack(out), "08:05:09  Na\xC4\x8Dteno z 10.0.0.5: 'STAV;A1'\n\nc\n");
  std::fclose(out);
}

// Held, the lines of a round reach the stream together at Flush, in their order, and none is
// lost when the view ends before the next Flush.
TEST(ConsoleLogViewTest, HeldLinesWaitForFlushAndTheEnd) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    ConsoleLogView view(out);
    view.HoldUntilFlush();
    view.AppendLine("a", {});
    view.AppendLine("\x8A", {});
    EXPECT_EQ(ReadBack(out), "");
    view.Flush();
    EXPECT_EQ(ReadBack(out), "a\n\xC5\xA0\n");
    view.Flush();  // nothing waits: nothing is written
    view.AppendLine("last", {});
    EXPECT_EQ(ReadBack(out), "a\n\xC5\xA0\n");
  }
  EXPECT_EQ(ReadBack(out), "a\n\xC5\xA0\nlast\n");
  std::fclose(out);
}

// Control bytes a terminal sent must not reach the administrator's terminal raw; letters of
// Windows-1250 stay letters and a backslash stays one backslash.
TEST(ConsoleLogViewTest, ControlBytesAreWrittenAsHexEscapes) {
  const struct {
    std::string line, printed;
  } cases[] = {
      {"a\x1B[2Jb", "a\\x1B[2Jb"},                         // escape sequence: clear screen
      {std::string("x\0y", 3), "x\\x00y"},                  // NUL
      {"\x01\x1F\x7F", "\\x01\\x1F\\x7F"},                // edges of the control range
      {"r\rn\nb\b", "r\\x0Dn\\x0Ab\\x08"},                // CR, LF, backspace
      {"tab\tstays", "tab\tstays"},                          // tab is kept
      {"C:\\dir \\x41", "C:\\dir \\x41"},                  // backslashes as they are
      {"\x8A\xE8\x9A\xFD \x80", "\xC5\xA0\xC4\x8D\xC5\xA1\xC3\xBD \xE2\x82\xAC"},  // letters, euro sign
      {" ~", " ~"},
  };
  for (const auto& c : cases) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ConsoleLogView view(out);
    view.AppendLine(c.line, {});
    EXPECT_EQ(ReadBack(out), c.printed + "\n") << c.printed;
    std::fclose(out);
  }
}

// Under a supervisor each line starts with the mark of its priority; told so, the view leaves
// out the lines requests write, and only those.
TEST(ConsoleLogViewTest, MarksPrioritiesAndLeavesOutRequestLinesWhenTold) {
  const LogLineKind kError{LogPriority::kError, false};
  const LogLineKind kWarning{LogPriority::kWarning, false};
  const LogLineKind kRequestInfo{LogPriority::kInfo, true};
  const LogLineKind kRequestError{LogPriority::kError, true};
  const struct {
    const char* what;
    bool marked, request_lines;
    const char* printed;
  } cases[] = {
      {"as in the console", false, true, "e\nw\nr\nf\n"},
      {"marked", true, true, "<3>e\n<4>w\n<6>r\n<3>f\n"},
      {"without request lines", false, false, "e\nw\n"},
      {"marked, without request lines", true, false, "<3>e\n<4>w\n"},
  };
  for (const auto& c : cases) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ConsoleLogView view(out);
    if (c.marked) view.MarkPriorities();
    view.EchoRequestLines(c.request_lines);
    view.AppendLine("e", kError);
    view.AppendLine("w", kWarning);
    view.AppendLine("r", kRequestInfo);
    view.AppendLine("f", kRequestError);
    EXPECT_EQ(ReadBack(out), c.printed) << c.what;
    std::fclose(out);
  }
}

}  // namespace
}  // namespace larvek
