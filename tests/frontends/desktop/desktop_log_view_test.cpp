#include "frontends/desktop/desktop_log_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>

#include "base/clock.h"
#include "server/activity_log.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using Lines = std::vector<std::string>;

class DesktopLogViewTest : public ::testing::Test {
 protected:
  QPlainTextEdit edit;
  DesktopLogView view{edit};
};

TEST_F(DesktopLogViewTest, AppendedLinesReadBackAsWindows1250Bytes) {
  // Czech letters, a non-breaking space (a plain-text export would turn it into a blank) and
  // a reply of several records, whose inner CRs must survive the view.
  const Lines lines = {"08:05:09  Na\xE8teno z 10.1.2.3: 'P\xD8\xCDLI\x8A;\x9E'",
                       "non\xA0"
                       "breaking",
                       "", "Odeslal na 10.1.2.3: rec1\rrec2\nrec3", "   blanks kept   "};
  for (const std::string& line : lines) view.AppendLine(line);
  EXPECT_EQ(view.Lines(), lines);
  EXPECT_EQ(edit.toPlainText().left(19), QString::fromUtf8("08:05:09  Na\xC4\x8Dteno z"));
  // Like an edit control after adding lines: the text ends with a line break.
  EXPECT_TRUE(edit.toPlainText().endsWith(QChar('\n')));
}

TEST_F(DesktopLogViewTest, TextTypedByTheUserBecomesPartOfTheLines) {
  view.AppendLine("first");
  edit.moveCursor(QTextCursor::End);
  edit.insertPlainText("typed without Enter");
  EXPECT_EQ(view.Lines(), (Lines{"first", "typed without Enter"}));
  // The next log line starts a line of its own after the typed text.
  view.AppendLine("second");
  EXPECT_EQ(view.Lines(), (Lines{"first", "typed without Enter", "second"}));
  // Enter on the empty last line makes an empty line that is kept.
  edit.moveCursor(QTextCursor::End);
  edit.insertPlainText("\n");
  view.AppendLine("third");
  EXPECT_EQ(view.Lines(), (Lines{"first", "typed without Enter", "second", "", "third"}));
  // Typed Czech text is stored as Windows-1250.
  edit.moveCursor(QTextCursor::Start);
  edit.insertPlainText(QString::fromUtf8("\xC5\xBEluf "));
  EXPECT_EQ(view.Lines().front(), "\x9Eluf first");
}

TEST_F(DesktopLogViewTest, ReplaceLinesTakesThePlaceOfEverything) {
  view.AppendLine("old");
  view.ReplaceLines({"a", "\xE8", ""});
  EXPECT_EQ(view.Lines(), (Lines{"a", "\xE8", ""}));
  view.AppendLine("b");
  EXPECT_EQ(view.Lines(), (Lines{"a", "\xE8", "", "b"}));
  view.ReplaceLines({});
  EXPECT_TRUE(view.Lines().empty());
  EXPECT_TRUE(edit.toPlainText().isEmpty());
}

TEST_F(DesktopLogViewTest, ActivityLogKeepsTheViewScrolledToTheEndAndRedrawing) {
  edit.setLineWrapMode(QPlainTextEdit::NoWrap);
  edit.resize(200, 100);
  edit.show();
  testing::TempDir dir;
  ActivityLog log(view, dir.Path());
  log.AddLogLine(std::string(300, 'w'));  // wider than the view
  for (int i = 0; i < 200; ++i) log.AddLogLine("line " + std::to_string(i));
  QApplication::processEvents();
  EXPECT_TRUE(edit.updatesEnabled());
  EXPECT_EQ(edit.verticalScrollBar()->value(), edit.verticalScrollBar()->maximum());
  EXPECT_GT(edit.verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(edit.horizontalScrollBar()->value(), 0);
  EXPECT_TRUE(edit.textCursor().atEnd());
  // The user scrolls up; the next line brings the end back into view.
  edit.verticalScrollBar()->setValue(0);
  log.AddLogLine("latest");
  EXPECT_EQ(edit.verticalScrollBar()->value(), edit.verticalScrollBar()->maximum());
  EXPECT_EQ(view.Lines().size(), 202u);
}

TEST_F(DesktopLogViewTest, SavedDayFileHoldsTheViewWithTypedText) {
  testing::TempDir dir;
  ActivityLog log(view, dir.Path());
  const std::string path = DailyLogPath(dir.Path(), Now());
  dir.Write(path.substr(dir.Path().size()), "earlier \xE8\r\nsecond\r\n");
  log.Load();
  EXPECT_EQ(view.Lines(), (Lines{"earlier \xE8", "second"}));
  edit.moveCursor(QTextCursor::End);
  edit.insertPlainText(QString::fromUtf8("pozn\xC3\xA1mka"));
  log.Save();
  EXPECT_EQ(testing::TempDir::Read(path), "earlier \xE8\r\nsecond\r\npozn\xE1mka\r\n");
}

}  // namespace
}  // namespace larvek
