#include "server/activity_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

// A view that records what the log asks of it.
class RecordingView : public LogView {
 public:
  void AppendLine(const std::string& line) override {
    calls.push_back("append");
    if (fail_append) throw std::runtime_error("view broken");
    lines.push_back(line);
  }
  void ReplaceLines(const std::vector<std::string>& l) override { lines = l; }
  std::vector<std::string> Lines() const override { return lines; }
  void ScrollToEnd() override { calls.push_back("scroll"); }
  void FreezeRedraw(bool frozen) override { calls.push_back(frozen ? "freeze" : "thaw"); }

  std::vector<std::string> lines;
  std::vector<std::string> calls;
  bool fail_append = false;
};

LocalDateTime At(int day, int hour, int minute, int second) {
  return LocalDateTime{2024, 3, day, hour, minute, second, 0};
}

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockForTesting(&clock_); }
  void TearDown() override { SetClockForTesting(nullptr); }

  std::string DayFile(int day) const { return DailyLogPath(dir_.Path(), At(day, 0, 0, 0)); }

  TempDir dir_;
  ManualClock clock_{At(7, 8, 5, 9)};
  RecordingView view_;
};

TEST_F(ActivityLogTest, DailyPathHasEightDigitDateDirectory) {
  EXPECT_EQ(DailyLogPath("/opt/larvek/", LocalDateTime{2024, 3, 7, 23, 0, 0, 0}),
            "/opt/larvek/20240307/log.txt");
  EXPECT_EQ(DailyLogPath("/p/", LocalDateTime{987, 12, 31, 0, 0, 0, 0}), "/p/09871231/log.txt");
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
TEST_F(ActivityLogTest, SaveWithoutLoadKeepsTheDaysEarlierLines) {
  dir_.Write("20240307/log.txt", "07:00:00  earlier\r\n");
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("a");
  log.AddLogLine("b");
  log.Save();
  const std::string want = "07:00:00  earlier\r\n08:05:09  a\r\n08:05:09  b\r\n";
  EXPECT_EQ(TempDir::Read(DayFile(7)), want);
  log.Save();  // saving again must not repeat anything
  EXPECT_EQ(TempDir::Read(DayFile(7)), want);
}

// Also when this run logged nothing on the day of exit before saving.
TEST_F(ActivityLogTest, SaveWithoutLoadAfterMidnightKeepsExitDaysLines) {
  dir_.Write("20240308/log.txt", "00:00:30  other run\r\n");
  clock_.Set(At(7, 23, 59, 59));
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("late");
  view_.lines.push_back("typed by hand");  // not journalled, saved with the view
  clock_.Set(At(8, 0, 1, 0));
  log.Save();
  const std::string want = "00:00:30  other run\r\n23:59:59  late\r\ntyped by hand\r\n";
  EXPECT_EQ(TempDir::Read(DayFile(8)), want);
  log.Save();
  EXPECT_EQ(TempDir::Read(DayFile(8)), want);
  EXPECT_EQ(TempDir::Read(DayFile(7)), "23:59:59  late\r\n");
}

TEST_F(ActivityLogTest, LoadThenSaveReplacesTheFileWithTheWholeView) {
  dir_.Write("20240307/log.txt", "07:00:00  one\r\n07:00:01  two\r\n");
  ActivityLog log(view_, dir_.Path());
  log.Load();
  EXPECT_EQ(view_.lines, (std::vector<std::string>{"07:00:00  one", "07:00:01  two"}));
  log.AddLogLine("three");
  view_.lines[0] = "07:00:00  edited";
  log.Save();
  EXPECT_EQ(TempDir::Read(DayFile(7)), "07:00:00  edited\r\n07:00:01  two\r\n08:05:09  three\r\n");
  EXPECT_FALSE(std::filesystem::exists(DayFile(7) + ".tmp"));
}

TEST_F(ActivityLogTest, RunAcrossMidnightSavesWholeViewToExitDay) {
  dir_.Write("20240307/log.txt", "07:00:00  start\r\n");
  clock_.Set(At(7, 23, 59, 59));
  ActivityLog log(view_, dir_.Path());
  log.Load();
  log.AddLogLine("before");
  clock_.Set(At(9, 0, 0, 1));
  log.AddLogLine("after");
  log.Save();
  EXPECT_EQ(TempDir::Read(DayFile(9)),
            "07:00:00  start\r\n23:59:59  before\r\n00:00:01  after\r\n");
  // The starting day's file holds its lines as they were logged; the day between gets none.
  EXPECT_EQ(TempDir::Read(DayFile(7)), "07:00:00  start\r\n23:59:59  before\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "20240308"));
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

TEST_F(ActivityLogTest, UncreatableDayFileFailsSave) {
  dir_.Write("20240307", "a regular file where the day's directory belongs");
  ::testing::internal::CaptureStderr();
  ActivityLog log(view_, dir_.Path());
  log.AddLogLine("one");  // the day file cannot take it either; logging goes on
  log.AddLogLine("two");
  const std::string note = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(view_.lines.size(), 2u);
  EXPECT_EQ(note, "Cannot append to log file \"" + DayFile(7) + "\". Not a directory\n");
  try {
    log.Save();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.ClassName().c_str(), kFileCreateError);
    EXPECT_EQ(e.Message(), "Cannot create file \"" + DayFile(7) + "\". Not a directory");
  }
}

TEST_F(ActivityLogTest, DirectoryInPlaceOfFileFailsSaveWithCreateError) {
  std::filesystem::create_directories(DayFile(7) + "/x");
  ActivityLog log(view_, dir_.Path());
  view_.lines = {"line"};
  try {
    log.Save();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.ClassName().c_str(), kFileCreateError);
    EXPECT_EQ(e.Message().rfind("Cannot create file \"" + DayFile(7) + "\". ", 0), 0u)
        << e.Message();
  }
}

// A full disk during the save must not cost the lines already in the day's file.
TEST_F(ActivityLogTest, WriteErrorFailsSaveAndLeavesTheFile) {
  ActivityLog log(view_, dir_.Path());
  log.Load();
  log.AddLogLine("kept");
  ASSERT_EQ(symlink("/dev/full", (DayFile(7) + ".tmp").c_str()), 0);
  try {
    log.Save();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.ClassName().c_str(), kWriteError);
    EXPECT_EQ(e.Message(), "Stream write error");
  }
  EXPECT_EQ(TempDir::Read(DayFile(7)), "08:05:09  kept\r\n");
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
