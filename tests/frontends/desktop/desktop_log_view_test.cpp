#include "frontends/desktop/desktop_log_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <functional>

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
  for (const std::string& line : lines) view.AppendLine(line, {});
  EXPECT_EQ(view.Lines(), lines);
  EXPECT_EQ(edit.toPlainText().left(19), QString::fromUtf8("08:05:09  Na\xC4\x8Dteno z"));
  // Like an edit control after adding lines: the text ends with a line break.
  EXPECT_TRUE(edit.toPlainText().endsWith(QChar('\n')));
}

TEST_F(DesktopLogViewTest, TextTypedByTheUserBecomesPartOfTheLines) {
  view.AppendLine("first", {});
  edit.moveCursor(QTextCursor::End);
  edit.insertPlainText("typed without Enter");
  EXPECT_EQ(view.Lines(), (Lines{"first", "typed without Enter"}));
  // The next log line starts a line of its own after the typed text.
  view.AppendLine("second", {});
  EXPECT_EQ(view.Lines(), (Lines{"first", "typed without Enter", "second"}));
  // Enter on the empty last line makes an empty line that is kept.
  edit.moveCursor(QTextCursor::End);
  edit.insertPlainText("\n");
  view.AppendLine("third", {});
  EXPECT_EQ(view.Lines(), (Lines{"first", "typed without Enter", "second", "", "third"}));
  // Typed Czech text is stored as Windows-1250.
  edit.moveCursor(QTextCursor::Start);
  edit.insertPlainText(QString::fromUtf8("\xC5\xBEluf "));
  EXPECT_EQ(view.Lines().front(), "\x9Eluf first");
}

TEST_F(DesktopLogViewTest, ReplaceLinesTakesThePlaceOfEverything) {
  view.AppendLine("old", {});
  view.ReplaceLines({"a", "\xE8", ""});
  EXPECT_EQ(view.Lines(), (Lines{"a", "\xE8", ""}));
  view.AppendLine("b", {});
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

// At the normal end only what the user typed is appended; loaded and logged lines are in the
// file already, and edits inside them are not carried into it.
TEST_F(DesktopLogViewTest, NormalEndAppendsTheTypedTextToTheDayFile) {
  testing::TempDir dir;
  ActivityLog log(view, dir.Path());
  const std::string path = DailyLogPath(dir.Path(), DateOf(Now()));
  dir.Write(path.substr(dir.Path().size()), "earlier \xE8\r\nsecond\r\n");
  log.Load();
  EXPECT_EQ(view.Lines(), (Lines{"earlier \xE8", "second"}));
  edit.moveCursor(QTextCursor::Start);
  edit.insertPlainText(QStringLiteral("edit of a logged line "));
  edit.moveCursor(QTextCursor::End);
  edit.insertPlainText(QString::fromUtf8("pozn\xC3\xA1mka"));
  log.AppendTypedLines();
  EXPECT_EQ(testing::TempDir::Read(path), "earlier \xE8\r\nsecond\r\npozn\xE1mka\r\n");
  EXPECT_TRUE(log.AllLinesWritten());
}

TEST_F(DesktopLogViewTest, TypedLinesAreThoseTheLogDidNotPutIn) {
  const struct {
    const char* what;
    std::function<void(QPlainTextEdit&, DesktopLogView&)> act;
    Lines typed;
  } cases[] = {
      {"nothing typed", [](QPlainTextEdit&, DesktopLogView& v) { v.AppendLine("b", {}); }, {}},
      {"typed at the end, then logged",
       [](QPlainTextEdit& e, DesktopLogView& v) {
         e.moveCursor(QTextCursor::End);
         e.insertPlainText(QString::fromUtf8("typed \xC5\xBE\nsecond"));
         v.AppendLine("b", {});
       },
       {"typed \x9E", "second"}},
      {"edit inside a logged line",
       [](QPlainTextEdit& e, DesktopLogView&) {
         e.moveCursor(QTextCursor::Start);
         e.insertPlainText(QStringLiteral("x"));
       },
       {}},
      {"Enter on the empty last line",
       [](QPlainTextEdit& e, DesktopLogView& v) {
         e.moveCursor(QTextCursor::End);
         e.insertPlainText(QStringLiteral("\n"));
         v.AppendLine("b", {});
       },
       {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    view.ReplaceLines({"loaded"});
    view.AppendLine("a", {});
    c.act(edit, view);
    EXPECT_EQ(view.TypedLines(), c.typed);
  }
}

// The view keeps the latest lines only; the oldest leave it from the top.
TEST_F(DesktopLogViewTest, KeepsABoundedTail) {
  EXPECT_EQ(view.KeptLines(), DesktopLogView::kMaxLines);
  const size_t total = DesktopLogView::kMaxLines + 5;
  for (size_t i = 0; i < total; ++i) view.AppendLine("line " + std::to_string(i), {});
  const Lines lines = view.Lines();
  ASSERT_EQ(lines.size(), DesktopLogView::kMaxLines);
  EXPECT_EQ(lines.front(), "line 5");
  EXPECT_EQ(lines.back(), "line " + std::to_string(total - 1));
  EXPECT_TRUE(view.TypedLines().empty());
}

}  // namespace
}  // namespace larvek
