// The main window on the desktop: an empty tool strip 21 pixels high over the log view
// DisplayMemo, captioned "Server Larvek05 terminal" until the start event sets the final
// caption. Minimising hides it, which also takes it off the task bar; closing it asks the
// program to end (closeRequested). Error boxes are modal to this window, whether it is shown
// or not.
#pragma once

#include <QMainWindow>
#include <string>

#include "frontends/desktop/desktop_log_view.h"
#include "server/main_window_view.h"

class QPlainTextEdit;

namespace larvek {

class MessageBoxes;

inline constexpr char kInitialCaption[] = "Server Larvek05 terminal";

class DesktopWindow : public QMainWindow, public MainWindowView {
  Q_OBJECT

 public:
  // `boxes` is not owned; error boxes are captioned `app_title` (Windows-1250).
  DesktopWindow(MessageBoxes& boxes, const std::string& app_title);

  void SetWindowCaption(const std::string& caption) override { window_caption_ = caption; }
  // The title bar shows this caption (the window manager draws the title bar).
  void SetTitleBarCaption(const std::string& caption) override;
  void ShowErrorMessage(const std::string& text) override;
  void ShowListenerClosedWarning(int code) override;
  LogView& Log() override { return log_; }

  const std::string& WindowCaption() const { return window_caption_; }
  QPlainTextEdit& DisplayMemo() { return *memo_; }
  QWidget& ToolPanel() { return *tool_panel_; }

  // Shows the window out of the hidden or minimised state as it was before (normal or
  // maximised), brings it to the front and activates it; it gets a task-bar entry again.
  void ShowRestored();

 signals:
  void closeRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  MessageBoxes& boxes_;
  std::string app_title_;
  std::string window_caption_ = kInitialCaption;
  QWidget* tool_panel_;
  QPlainTextEdit* memo_;
  DesktopLogView log_;
};

}  // namespace larvek
