// The activity log's view as the rest of the program sees it: an ordered list of
// Windows-1250 text lines. The console and the desktop front ends implement it.
#pragma once

#include <string>
#include <vector>

namespace larvek {

class LogView {
 public:
  virtual ~LogView() = default;
  // Appends one line (Windows-1250 bytes) after the last one.
  virtual void AppendLine(const std::string& line) = 0;
  // Discards every line and shows `lines` instead.
  virtual void ReplaceLines(const std::vector<std::string>& lines) = 0;
  // Every line, in order, including text the user may have typed into the view.
  virtual std::vector<std::string> Lines() const = 0;
  // Scrolls so that the end of the text is visible.
  virtual void ScrollToEnd() = 0;
  // Suspends (true) and resumes (false) redrawing around a change; a view that does not
  // draw ignores it.
  virtual void FreezeRedraw(bool /*frozen*/) {}
};

}  // namespace larvek
