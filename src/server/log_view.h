// The activity log's view as the rest of the program sees it: an ordered list of
// Windows-1250 text lines. The console and the desktop front ends implement it.
//
// The day's file is the record; a view only shows lines and keeps at most KeptLines() of them,
// so its memory does not grow with the run.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace larvek {

class LogView {
 public:
  virtual ~LogView() = default;
  // Appends one line (Windows-1250 bytes), put in by the log, after the last one.
  virtual void AppendLine(const std::string& line) = 0;
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
  // Suspends (true) and resumes (false) redrawing around a change; a view that does not
  // draw ignores it.
  virtual void FreezeRedraw(bool /*frozen*/) {}
};

}  // namespace larvek
