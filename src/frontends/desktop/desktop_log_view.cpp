#include "frontends/desktop/desktop_log_view.h"

#include <QChar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "base/codepage.h"

namespace larvek {
namespace {

// A CR or LF inside a line would end a paragraph of the view; they are shown as the symbols
// for CR and LF and become the control characters again when read back, so that a line that
// held one (a reply of several records) is saved as it was logged.
const QChar kCrSymbol(0x240D);
const QChar kLfSymbol(0x240A);

QString ToView(const std::string& line) {
  QString text = QString::fromStdString(Cp1250ToUtf8(line));
  text.replace(QChar('\r'), kCrSymbol);
  text.replace(QChar('\n'), kLfSymbol);
  return text;
}

std::string FromView(QString text) {
  text.replace(kCrSymbol, QChar('\r'));
  text.replace(kLfSymbol, QChar('\n'));
  return Utf8ToCp1250(text.toStdString());
}

// The user state of a paragraph the log put in; others keep the default -1.
constexpr int kLoggedBlock = 1;

// The lines of one paragraph: a typed line separator (U+2028) ends a line as well.
void AddBlockLines(const QTextBlock& block, std::vector<std::string>& lines) {
  const QStringList parts = block.text().split(QChar(QChar::LineSeparator));
  for (const QString& part : parts) lines.push_back(FromView(part));
}

}  // namespace

DesktopLogView::DesktopLogView(QPlainTextEdit& edit) : edit_(edit) {
  // The empty paragraph after the last line is one more.
  edit_.setMaximumBlockCount(static_cast<int>(kMaxLines) + 1);
}

void DesktopLogView::AppendLine(const std::string& line, LogLineKind /*kind*/) {
  QTextDocument& doc = *edit_.document();
  QTextCursor cursor(&doc);
  cursor.beginEditBlock();
  cursor.movePosition(QTextCursor::End);
  // Text the user typed after the last line break ends a line of its own first.
  if (!doc.lastBlock().text().isEmpty()) cursor.insertBlock();
  cursor.insertText(ToView(line));
  cursor.block().setUserState(kLoggedBlock);
  cursor.insertBlock();
  cursor.block().setUserState(-1);
  cursor.endEditBlock();
}

void DesktopLogView::ReplaceLines(const std::vector<std::string>& lines) {
  QString text;
  for (const std::string& line : lines) {
    text += ToView(line);
    text += QChar('\n');
  }
  edit_.setPlainText(text);
  QTextDocument& doc = *edit_.document();
  for (QTextBlock block = doc.begin(); block.isValid(); block = block.next())
    block.setUserState(block == doc.lastBlock() ? -1 : kLoggedBlock);
}

std::vector<std::string> DesktopLogView::TypedLines() const {
  const QTextDocument& doc = *edit_.document();
  std::vector<std::string> lines;
  for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
    if (block.userState() == kLoggedBlock) continue;
    // The empty paragraph after the last line is not a line.
    if (block == doc.lastBlock() && block.text().isEmpty()) continue;
    AddBlockLines(block, lines);
  }
  return lines;
}

std::vector<std::string> DesktopLogView::Lines() const {
  // The raw text keeps non-breaking spaces (toPlainText would turn them into blanks); blocks
  // are separated by U+2029, and a typed line separator (U+2028) ends a line as well.
  QString text = edit_.document()->toRawText();
  text.replace(QChar(QChar::LineSeparator), QChar(QChar::ParagraphSeparator));
  const QStringList parts = text.split(QChar(QChar::ParagraphSeparator));
  std::vector<std::string> lines;
  lines.reserve(parts.size());
  for (const QString& part : parts) lines.push_back(FromView(part));
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

void DesktopLogView::ScrollToEnd() {
  edit_.moveCursor(QTextCursor::End);
  // The bottom of the text, not merely enough to show the insertion point.
  QScrollBar& bar = *edit_.verticalScrollBar();
  bar.setValue(bar.maximum());
  edit_.ensureCursorVisible();
}

void DesktopLogView::FreezeRedraw(bool frozen) {
  edit_.setUpdatesEnabled(!frozen);
}

}  // namespace larvek
