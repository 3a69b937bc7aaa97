// The activity log's view as the rest of the program sees it: an ordered list of
// Windows-1250 text lines. The console and the desktop front ends implement it.
//
// The day's file is the record; a view only shows lines and keeps at most KeptLines() of them,
// so its memory does not grow with the run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "server/log_line_kind.h"

namespace larvek {

class LogView {
 public:
  virtual ~LogView() = default;
  // Appends one line (Windows-1250 bytes), put in by the log, after the last one. `kind` says
  // what the line is about, for a view that writes lines apart by it (the console's standard
  // output under a supervisor); a view that shows every line alike ignores it.
  virtual void AppendLine(const std::string& line, LogLineKind kind) = 0;
  // Discards every line and shows `lines` (the end of the day's file) instead; they count as
  // put in by the log. A view that keeps no lines ignores it.
  virtual void ReplaceLines(const std::vector<std::string>& lines) = 0;
  // How many of the latest lines the view keeps; 0 for a view that keeps none.
  virtual size_t KeptLines() const = 0;
  // The lines in the view that the log did not put there (text the user typed), in order.
  // Edits inside lines the log put in are not among them.
  virtual std::vector<std::string> TypedLines() const { return {}; }
  // Scrolls so that the end of the text is visible.
  virtual void ScrollToEnd() = 0;
  // Whether the lines requests write (LogLineKind::of_request) reach the view's output
  // ([Server] Journal_requests; on until told otherwise). Only the console's standard output
  // leaves them out; a view that shows every line (the desktop's window) ignores it.
  virtual void EchoRequestLines(bool /*echoed*/) {}
  // Suspends (true) and resumes (false) redrawing around a change; a view that does not
  // draw ignores it.
  virtual void FreezeRedraw(bool /*frozen*/) {}
};

}  // namespace larvek
