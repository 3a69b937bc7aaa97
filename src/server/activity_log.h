// The activity log: time-stamped lines in a LogView, stored in one file per day
// (program directory + "YYYYMMDD/log.txt", each line followed by CR LF, Windows-1250).
//
// The day's file is the record. Each line is appended to the file of the day it is logged on
// the moment it is logged, by one write() on a descriptor held open in append mode, so a killed
// or crashed process loses nothing already logged. The view only shows the latest lines; at
// start-up it gets the end of the day's file, read from the end, and at a normal end only the
// lines typed into the view are appended. Neither step depends on the file's size.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "base/clock.h"
#include "base/result.h"
#include "server/log_view.h"

namespace larvek {

// `program_dir` ends with '/'; the result is program_dir + "YYYYMMDD/log.txt".
std::string DailyLogPath(const std::string& program_dir, std::chrono::year_month_day date);

class ActivityLog {
 public:
  // `view` is not owned and must outlive the log.
  ActivityLog(LogView& view, std::string program_dir);
  ~ActivityLog();
  ActivityLog(const ActivityLog&) = delete;
  ActivityLog& operator=(const ActivityLog&) = delete;

  // Appends "hh:nn:ss  " + text (the time from larvek::Now()) to the view, with the kind of
  // the text (KindOfLogLine), and scrolls to it; the view is frozen around the change and
  // always unfrozen and scrolled, even when the append throws. The line also goes at once to the
  // file of its own date (the directory is created when missing); a failure there does not disturb
  // logging, is noted once on standard error and shows in AllLinesWritten().
  void AddLogLine(const std::string& text);

  // Shows the last view.KeptLines() lines of today's file in the view when the file exists
  // (lines end at CR LF, a lone CR or a lone LF); only the end of the file is read. Throws
  // Error::FileOpen ("Cannot open file \"<path>\". <system error text>") when the file exists
  // but cannot be read.
  void Load();

  // The normal end: appends the lines typed into the view (LogView::TypedLines) to the file of
  // the current date, each as a line of its own. A failure counts like that of a logged line.
  // Only the first call appends.
  void AppendTypedLines();

  // The next line opens the day's file anew at its path (a file moved away keeps what it
  // has), also within the second of the last check.
  void ReopenDayFile() { CloseDayFile(); }

  // False when some line of the run could not be written to its file.
  bool AllLinesWritten() const { return !write_failed_; }
  // Lines of the run that could not be written to their day file.
  uint64_t UnwrittenLines() const { return unwritten_lines_; }

 private:
  // Appends `line` + CR LF; `line` is the same again when it returns.
  void AppendToDayFile(LocalTime now, std::string& line);
  // Makes fd_ the open descriptor of `path`. Whether the file ends inside a line (a line break
  // is then due first); fails when it cannot be opened.
  Result<bool> OpenDayFile(const std::string& path);
  // A line could not be appended to the file at `path` for the system's reason `error`.
  void NoteAppendFailure(const std::string& path, int error);
  // Whether the open descriptor is still the file at its path (not moved away or deleted).
  bool OpenFileStillAtPath() const;
  void CloseDayFile();

  LogView& view_;
  std::string program_dir_;
  int fd_ = -1;
  std::string open_path_;                    // the path fd_ was opened at
  std::chrono::year_month_day open_date_{};  // the day of that path
  LocalTime last_check_{};                   // the moment of the last identity check
  std::string spare_line_;                   // the buffer of the last line, kept for the next
  uint64_t unwritten_lines_ = 0;
  bool write_failed_ = false;
  bool typed_appended_ = false;
  bool append_failure_noted_ = false;
};

}  // namespace larvek
