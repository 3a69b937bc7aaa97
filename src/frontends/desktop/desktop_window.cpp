#include "frontends/desktop/desktop_window.h"

#include <QCloseEvent>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "base/codepage.h"
#include "frontends/desktop/message_boxes.h"

namespace larvek {
namespace {

QString FromCp1250(const std::string& text) {
  return QString::fromStdString(Cp1250ToUtf8(text));
}

// "Courier New" at 8 points, or the nearest monospaced font when it is not installed.
QFont LogFont() {
  QFont font(QStringLiteral("Courier New"), 8);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  if (!QFontInfo(font).fixedPitch()) {
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(8);
  }
  return font;
}

QPlainTextEdit* CreateMemo(QWidget* parent) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(QStringLiteral("DisplayMemo"));
  memo->setFont(LogFont());
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo->setUndoRedoEnabled(false);  // the log only grows; an undo history would double it
  memo->setMinimumSize(1, 1);       // the window's minimum size rules, not the view's
  return memo;
}

}  // namespace

DesktopWindow::DesktopWindow(MessageBoxes& boxes, const std::string& app_title)
    : boxes_(boxes),
      app_title_(app_title),
      tool_panel_(nullptr),
      memo_(CreateMemo(this)),
      log_(*memo_) {
  setObjectName(QStringLiteral("srvlarvek"));
  setWindowTitle(QString::fromLatin1(kInitialCaption));

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  tool_panel_ = new QWidget(central);
  tool_panel_->setObjectName(QStringLiteral("ToolPanel"));
  tool_panel_->setFixedHeight(21);
  layout->addWidget(tool_panel_);
  memo_->setParent(central);
  layout->addWidget(memo_);
  setCentralWidget(central);

  setMinimumSize(283, 64);
  setGeometry(327, 392, 345, 279);
}

void DesktopWindow::SetTitleBarCaption(const std::string& caption) {
  setWindowTitle(FromCp1250(caption));
}

void DesktopWindow::ShowErrorMessage(const std::string& text) {
  boxes_.ShowError(this, FromCp1250(app_title_), FromCp1250(text));
}

void DesktopWindow::ShowListenerClosedWarning(int code) {
  boxes_.ShowWarning(QString::number(code));
}

void DesktopWindow::ShowRestored() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void DesktopWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  emit closeRequested();
}

void DesktopWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    // Hidden after the state change has been handled: the window leaves the task bar and
    // lives on behind the notification-area icon. It stays marked minimised until restored.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) hide();
    });
  }
}

}  // namespace larvek
