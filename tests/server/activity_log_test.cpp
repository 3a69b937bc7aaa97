#include "server/activity_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

// A view that records what the log asks of it.
class RecordingView : public LogView {
 public:
  void AppendLine(const std::string& line, LogLineKind kind) override {
    calls.push_back("append");
    if (fail_append) throw std::runtime_error("view broken");
    lines.push_back(line);
    kinds.push_back(kind);
  }
  void ReplaceLines(const std::vector<std::string>& l) override { lines = l; }
  size_t KeptLines() const override { return kept; }
  std::vector<std::string> TypedLines() const override { return typed; }
  void ScrollToEnd() override { calls.push_back("scroll"); }
  void FreezeRedraw(bool frozen) override { calls.push_back(frozen ? "freeze" : "thaw"); }

  std::vector<std::string> lines;
  std::vector<LogLineKind> kinds;  // of the appended lines
  std::vector<std::string> typed;  // what the user typed, as the view tells it apart
  std::vector<std::string> calls;
  bool fail_append = false;
  size_t kept = 100000;
};

LocalTime At(int day, int hour, int minute, int second) {
  using namespace std::chrono;
  return local_days{2024y / 3 / day} + hours{hour} + minutes{minute} + seconds{second};
}

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockForTesting(&clock_); }
  void TearDown() override { SetClockForTesting(nullptr); }

  std::string DayFile(int day) const { return DailyLogPath(dir_.Path(), DateOf(At(day, 0, 0, 0))); }

  TempDir dir_;
  ManualClock clock_{At(7, 8, 5, 9)};
  RecordingView view_;
};

TEST_F(ActivityLogTest, DailyPathHasEightDigitDateDirectory) {
  using namespace std::chrono_literals;
  EXPECT_EQ(DailyLogPath("/opt/larvek/", 2024y / 3 / 7), "/opt/larvek/20240307/log.txt");
  EXPECT_EQ(DailyLogPath("/p/", std::chrono::year{987} / 12 / 31), "/p/09871231/log.txt");
}

TEST_F(ActivityLogTest, LinesCarryTwoDigitTimeAndTwoBlanks) {
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("Odeslal na 10.0.0.5: OK");
  clock_.Set(At(7, 20, 5, 9));
  log.AddLogLine("");
  EXPECT_EQ(view_.lines,
            (std::vector<std::string>{"08:05:09  Odeslal na 10.0.0.5: OK", "20:05:09  "}));
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"freeze", "append", "thaw", "scroll", "freeze",
                                                   "append", "thaw", "scroll"}));
}

// The kind comes from the text, not from the stamped line the view gets.
TEST_F(ActivityLogTest, EachLineGoesToTheViewWithTheKindOfItsText) {
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("Odeslal na 10.0.0.5: OK");
  log.AddLogLine("Chyba serveru: ESocketException: x");
  ASSERT_EQ(view_.kinds.size(), 2u);
  EXPECT_TRUE(view_.kinds[0].of_request);
  EXPECT_EQ(view_.kinds[0].priority, LogPriority::kInfo);
  EXPECT_FALSE(view_.kinds[1].of_request);
  EXPECT_EQ(view_.kinds[1].priority, LogPriority::kError);
}

TEST_F(ActivityLogTest, FailedAppendStillThawsAndScrolls) {
  ActivityLog log(view_, dir_.Path());
  view_.fail_append = true;
  EXPECT_THROW(log.AddLogLine("x"), std::runtime_error);
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"freeze", "append", "thaw", "scroll"}));
}

// A killed process never reaches Save; what was logged must already be in the day's file.
TEST_F(ActivityLogTest, KilledRunKeepsEveryLoggedLine) {
  {
    ActivityLog log(view_, dir_.Path());
    log.Load();  // no file yet
    log.AddLogLine("P\xF8ipojen 10.0.0.5");
    clock_.Set(At(7, 8, 5, 10));
    log.AddLogLine("second");
    EXPECT_EQ(TempDir::Read(DayFile(7)), "08:05:09  P\xF8ipojen 10.0.0.5\r\n08:05:10  second\r\n");
  }
  EXPECT_EQ(TempDir::Read(DayFile(7)), "08:05:09  P\xF8ipojen 10.0.0.5\r\n08:05:10  second\r\n");
}

// Start-up stopped before the load: the day's earlier lines stay ahead of this run's.
TEST_F(ActivityLogTest, NormalEndWithoutLoadKeepsTheDaysEarlierLines) {
  dir_.Write("20240307/log.txt", "07:00:00  earlier\r\n");
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("a");
  log.AddLogLine("b");
  log.AppendTypedLines();
  const std::string want = "07:00:00  earlier\r\n08:05:09  a\r\n08:05:09  b\r\n";
  EXPECT_EQ(TempDir::Read(DayFile(7)), want);
  log.AppendTypedLines();  // a second end must not repeat anything
  EXPECT_EQ(TempDir::Read(DayFile(7)), want);
  EXPECT_TRUE(log.AllLinesWritten());
}

// Typed lines go to the file of the day of exit, after what is there; logged lines stay in
// the file of the day they were logged on.
TEST_F(ActivityLogTest, TypedLinesAfterMidnightGoToTheExitDay) {
  dir_.Write("20240308/log.txt", "00:00:30  other run\r\n");
  clock_.Set(At(7, 23, 59, 59));
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("late");
  view_.typed = {"typed by hand", ""};
  clock_.Set(At(8, 0, 1, 0));
  log.AppendTypedLines();
  const std::string want = "00:00:30  other run\r\ntyped by hand\r\n\r\n";
  EXPECT_EQ(TempDir::Read(DayFile(8)), want);
  log.AppendTypedLines();
  EXPECT_EQ(TempDir::Read(DayFile(8)), want);
  EXPECT_EQ(TempDir::Read(DayFile(7)), "23:59:59  late\r\n");
}

// The file is the record: edits of lines already logged stay in the view.
TEST_F(ActivityLogTest, NormalEndLeavesTheFileAsLoggedWhatEverTheView) {
  dir_.Write("20240307/log.txt", "07:00:00  one\r\n07:00:01  two\r\n");
  ActivityLog log(view_, dir_.Path());
  log.Load();
  EXPECT_EQ(view_.lines, (std::vector<std::string>{"07:00:00  one", "07:00:01  two"}));
  log.AddLogLine("three");
  view_.lines[0] = "07:00:00  edited";
  log.AppendTypedLines();
  EXPECT_EQ(TempDir::Read(DayFile(7)), "07:00:00  one\r\n07:00:01  two\r\n08:05:09  three\r\n");
  EXPECT_FALSE(std::filesystem::exists(DayFile(7) + ".tmp"));
}

TEST_F(ActivityLogTest, RunAcrossMidnightWritesEachLineToItsOwnDay) {
  dir_.Write("20240307/log.txt", "07:00:00  start\r\n");
  clock_.Set(At(7, 23, 59, 59));
  ActivityLog log(view_, dir_.Path());
  log.Load();
  log.AddLogLine("before");
  clock_.Set(At(9, 0, 0, 1));
  log.AddLogLine("after");
  clock_.Set(At(9, 0, 0, 2));
  log.AddLogLine("later");
  log.AppendTypedLines();
  // Nothing of the first day is copied into the last one, nor the other way round.
  EXPECT_EQ(TempDir::Read(DayFile(9)), "00:00:01  after\r\n00:00:02  later\r\n");
  EXPECT_EQ(TempDir::Read(DayFile(7)), "07:00:00  start\r\n23:59:59  before\r\n");
  // The day between gets none.
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "20240308"));
  EXPECT_EQ(view_.lines, (std::vector<std::string>{"07:00:00  start", "23:59:59  before",
                                                   "00:00:01  after", "00:00:02  later"}));
}

// The day's file moved away or deleted while the log runs: from the next second on, lines go
// to a new file at the day's path.
TEST_F(ActivityLogTest, FileMovedAwayOrDeletedIsFollowedByANewOne) {
  const struct {
    const char* what;
    bool deleted;
  } cases[] = {{"moved", false}, {"deleted", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    clock_.Set(At(7, 8, 5, 9));
    ActivityLog log(view_, dir.Path());
    log.AddLogLine("a");
    const std::string day_file = DailyLogPath(dir.Path(), DateOf(At(7, 0, 0, 0)));
    const std::string moved = dir.Path() + "old.txt";
    if (c.deleted)
      std::filesystem::remove(day_file);
    else
      std::filesystem::rename(day_file, moved);
    clock_.Set(At(7, 8, 5, 10));
    log.AddLogLine("b");
    EXPECT_EQ(TempDir::Read(day_file), "08:05:10  b\r\n");
    if (!c.deleted) {
      EXPECT_EQ(TempDir::Read(moved), "08:05:09  a\r\n");
    }
    EXPECT_TRUE(log.AllLinesWritten());
  }
}

// Start-up reads only the end of the day's file: the last lines the view keeps, whatever
// the file's size and wherever the pieces read from the end cut the lines.
TEST_F(ActivityLogTest, LoadShowsTheLastLinesTheViewKeeps) {
  std::string body;
  for (int i = 0; i < 7000; ++i) {
    char line[16];
    std::snprintf(line, sizeof line, "line %05d\r\n", i);  // 12 bytes
    body += line;
  }
  const struct {
    size_t kept;
    std::string head;  // shifts where the 64 KiB piece starts: inside a line, at CR, at LF
  } cases[] = {
      {3, ""},          {3, "x"},          {3, "xx"},
      {3, "xxxxxxxxx"}, {3, "xxxxxxxxxx"}, {3, "xxxxxxxxxxx"},
      {6000, ""},       {6000, "\r"},      {6000, "xxxxxxxxxx"},
      {6999, "x"},      {7001, "h"},       {8000, "h"},
      {1, "x\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.kept << " '" << c.head << "'");
    const std::string file = c.head + "\r\n" + body;
    dir_.Write("20240307/log.txt", file);
    std::vector<std::string> all = SplitLines(file);
    std::vector<std::string> want(all.end() - std::min(c.kept, all.size()), all.end());
    view_.kept = c.kept;
    view_.lines = {"stale"};
    ActivityLog log(view_, dir_.Path());
    log.Load();
    EXPECT_EQ(view_.lines, want);
  }
}

// A view that keeps no lines gets none, and the file is not read.
TEST_F(ActivityLogTest, LoadGivesAViewThatKeepsNoLinesNothing) {
  dir_.Write("20240307/log.txt", "07:00:00  one\r\n");
  view_.kept = 0;
  view_.lines = {"kept"};
  ActivityLog log(view_, dir_.Path());
  log.Load();
  EXPECT_EQ(view_.lines, (std::vector<std::string>{"kept"}));
}

TEST_F(ActivityLogTest, LoadSplitsAtCrLfLoneCrAndLoneLf) {
  struct Case {
    std::string file;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\n\rb\r\r\n", {"a", "", "b", ""}},
      {"\n", {""}},
      {"", {}},
  };
  for (const auto& c : cases) {
    dir_.Write("20240307/log.txt", c.file);
    view_.lines = {"stale"};
    ActivityLog log(view_, dir_.Path());
    log.Load();
    EXPECT_EQ(view_.lines, c.lines) << "file '" << c.file << "'";
  }
}

TEST_F(ActivityLogTest, LoadWithoutFileLeavesViewAndCreatesNothing) {
  view_.lines = {"kept"};
  ActivityLog log(view_, dir_.Path());
  log.Load();
  EXPECT_EQ(view_.lines, (std::vector<std::string>{"kept"}));
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "20240307"));
}

TEST_F(ActivityLogTest, UnreadableDayFileFailsLoad) {
  std::filesystem::create_directories(DayFile(7));  // a directory where the file belongs
  ActivityLog log(view_, dir_.Path());
  try {
    log.Load();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.ClassName().c_str(), kFileOpenError);
    EXPECT_EQ(e.Message(), "Cannot open file \"" + DayFile(7) + "\". Is a directory");
  }
}

TEST_F(ActivityLogTest, UncreatableDayFileFailsTheRun) {
  dir_.Write("20240307", "a regular file where the day's directory belongs");
  ::testing::internal::CaptureStderr();
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("one");  // the day file cannot take it; logging goes on
  log.AddLogLine("two");
  view_.typed = {"typed"};
  log.AppendTypedLines();
  const std::string note = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(view_.lines.size(), 2u);
  EXPECT_EQ(note, "Cannot append to log file \"" + DayFile(7) + "\". Not a directory\n");
  EXPECT_FALSE(log.AllLinesWritten());
}

TEST_F(ActivityLogTest, DirectoryInPlaceOfFileFailsTheRun) {
  std::filesystem::create_directories(DayFile(7) + "/x");
  ::testing::internal::CaptureStderr();
  ActivityLog log(view_, dir_.Path());
  view_.typed = {"line"};
  log.AppendTypedLines();
  const std::string note = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(note, "Cannot append to log file \"" + DayFile(7) + "\". Is a directory\n");
  EXPECT_FALSE(log.AllLinesWritten());
}

// A full disk costs the lines that do not fit, not those already in the day's file, and the
// run ends failed.
TEST_F(ActivityLogTest, WriteErrorFailsTheRunAndLeavesTheFile) {
  ActivityLog log(view_, dir_.Path());
  log.Load();
  log.AddLogLine("kept");
  EXPECT_TRUE(log.AllLinesWritten());
  ASSERT_EQ(rename(DayFile(7).c_str(), (DayFile(7) + ".kept").c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", DayFile(7).c_str()), 0);
  clock_.Set(At(7, 8, 5, 10));  // the next second: the log finds the path changed
  ::testing::internal::CaptureStderr();
  log.AddLogLine("lost");
  const std::string note = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(note, "Cannot append to log file \"" + DayFile(7) + "\". No space left on device\n");
  EXPECT_FALSE(log.AllLinesWritten());
  EXPECT_EQ(TempDir::Read(DayFile(7) + ".kept"), "08:05:09  kept\r\n");
}

}  // namespace
}  // namespace larvek

namespace larvek {
namespace {

// A day file that ends inside a line (a torn write) gets a line break before the next line;
// a file that ends with any line break gets none.
TEST_F(ActivityLogTest, ANewLineIsNeverGluedToAPartialLastLine) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"02:10", "02:10\r\n08:05:09  x\r\n"},
      {"01:00:00  a\r\n", "01:00:00  a\r\n08:05:09  x\r\n"},
      {"01:00:00  a\n", "01:00:00  a\n08:05:09  x\r\n"},
      {"01:00:00  a\r", "01:00:00  a\r08:05:09  x\r\n"},
      {"", "08:05:09  x\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    std::filesystem::create_directories(std::filesystem::path(DayFile(7)).parent_path());
    dir_.Write(DayFile(7).substr(dir_.Path().size()), c.before);
    ActivityLog log(view_, dir_.Path());
    log.AddLogLine("x");
    EXPECT_EQ(TempDir::Read(DayFile(7)), c.after);
  }
}

}  // namespace
}  // namespace larvek
