// The activity log: time-stamped lines in a LogView, stored in one file per day
// (program directory + "YYYYMMDD/log.txt", each line followed by CR LF, Windows-1250).
//
// Every line is also appended to its day's file the moment it is logged, so a killed or
// crashed process loses nothing already logged. At a normal end Save writes the whole view
// over the file of the day of exit. When the day's file was never loaded during the run
// (start-up stopped before it), Save keeps the lines the file held before this run wrote
// to it and puts the view's lines after them.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "base/clock.h"
#include "server/log_view.h"

namespace larvek {

// `program_dir` ends with '/'; the result is program_dir + "YYYYMMDD/log.txt".
std::string DailyLogPath(const std::string& program_dir, const LocalDateTime& date);

class ActivityLog {
 public:
  // `view` is not owned and must outlive the log.
  ActivityLog(LogView& view, std::string program_dir);

  // Appends "hh:nn:ss  " + text (the time from larvek::Now()) to the view and scrolls to it;
  // the view is frozen around the change and always unfrozen and scrolled, even when the
  // append throws. The line also goes at once to the file of its own date (the directory is
  // created when missing); a failure there does not disturb logging and is noted once on
  // standard error.
  void AddLogLine(const std::string& text);

  // Replaces the view's lines by those of today's file when it exists (lines end at CR LF,
  // a lone CR or a lone LF). Throws Error::FileOpen ("Cannot open file \"<path>\". <system
  // error text>") when the file exists but cannot be read.
  void Load();

  // Writes the view's lines to the file of the current date, each followed by CR LF. The
  // day's directory is created with its parents (a failure shows in the next step). The text
  // goes to <path>.tmp first, is flushed to disk and is then renamed over the file, so a failed
  // save leaves the file as it was. Throws Error::FileCreate ("Cannot create file \"<path>\".
  // <system error text>") or Error::Write ("Stream write error"); when the file's earlier lines
  // must be kept and cannot be read, throws the Load error and leaves the file alone.
  void Save();

 private:
  void AppendToDayFile(const std::string& path, const std::string& line);

  LogView& view_;
  std::string program_dir_;
  bool loaded_ = false;
  // Per daily file: its size when this run first appended to it, i.e. the earlier lines.
  std::map<std::string, off_t> size_before_run_;
  bool append_failure_noted_ = false;
};

}  // namespace larvek
