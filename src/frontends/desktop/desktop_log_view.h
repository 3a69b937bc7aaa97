// The activity log's view on the desktop: the editable text view DisplayMemo.
//
// Lines are Windows-1250 inside the program and Unicode in the view. As in a multi-line edit
// control, every appended line is followed by a line break, so after an append the insertion
// point sits at the start of an empty last line; an empty last line is not a line of the log.
// Whatever the user types into the view becomes part of the lines read back.
#pragma once

#include <string>
#include <vector>

#include "server/log_view.h"

class QPlainTextEdit;

namespace larvek {

class DesktopLogView : public LogView {
 public:
  // `edit` is not owned and must outlive the view.
  explicit DesktopLogView(QPlainTextEdit& edit) : edit_(edit) {}

  void AppendLine(const std::string& line) override;
  void ReplaceLines(const std::vector<std::string>& lines) override;
  std::vector<std::string> Lines() const override;
  // Puts the insertion point at the end of the text and scrolls it into view.
  void ScrollToEnd() override;
  void FreezeRedraw(bool frozen) override;

 private:
  QPlainTextEdit& edit_;
};

}  // namespace larvek
