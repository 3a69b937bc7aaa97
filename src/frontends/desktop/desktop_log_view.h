// The activity log's view on the desktop: the editable text view DisplayMemo.
//
// Lines are Windows-1250 inside the program and Unicode in the view. As in a multi-line edit
// control, every appended line is followed by a line break, so after an append the insertion
// point sits at the start of an empty last line; an empty last line is not a line of the log.
// Whatever the user types into the view becomes part of the lines read back.
//
// The view keeps the latest kMaxLines lines; older ones leave it from the top. Each paragraph
// the log put in is marked, so that the lines typed by the user can be told apart from them:
// a typed line is a paragraph without the mark (editing a logged line keeps its mark).
#pragma once

#include <string>
#include <vector>

#include "server/log_view.h"

class QPlainTextEdit;

namespace larvek {

class DesktopLogView : public LogView {
 public:
  static constexpr size_t kMaxLines = 10000;

  // `edit` is not owned and must outlive the view.
  explicit DesktopLogView(QPlainTextEdit& edit);

  // Every line shows alike, whatever its kind.
  void AppendLine(const std::string& line, LogLineKind kind) override;
  void ReplaceLines(const std::vector<std::string>& lines) override;
  size_t KeptLines() const override { return kMaxLines; }
  std::vector<std::string> TypedLines() const override;
  // Every line in the view, in order, typed ones included.
  std::vector<std::string> Lines() const;
  // Puts the insertion point at the end of the text and scrolls it into view.
  void ScrollToEnd() override;
  void FreezeRedraw(bool frozen) override;

 private:
  QPlainTextEdit& edit_;
};

}  // namespace larvek
