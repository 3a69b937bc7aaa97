// The console front end's main window: the terminal stands for the shown window. Captions are
// kept but not shown, error messages are one line on standard error ("srvlarvek: " + text),
// and the log view writes each line to standard output.
#pragma once

#include <cstdio>
#include <string>

#include "frontends/console/console_log_view.h"
#include "server/log_line_kind.h"
#include "server/main_window_view.h"

namespace larvek {

class ConsoleWindow : public MainWindowView {
 public:
  explicit ConsoleWindow(FILE* out = stdout, FILE* err = stderr);

  void SetWindowCaption(const std::string& caption) override { window_caption_ = caption; }
  void SetTitleBarCaption(const std::string& caption) override { title_caption_ = caption; }
  void ShowErrorMessage(const std::string& text) override;
  void ShowListenerClosedWarning(int code) override;
  LogView& Log() override { return log_; }
  // The log's lines wait for FlushLog (see ConsoleLogView); an error message flushes them
  // first, so the two streams keep their order.
  void HoldLogUntilFlush() { log_.HoldUntilFlush(); }
  void FlushLog() { log_.Flush(); }
  // Under a supervisor's journal: every line of both streams starts with the mark of its
  // priority (see ConsoleLogView); an error message is marked err, the listener's warning
  // warning.
  void MarkPriorities();

  const std::string& WindowCaption() const { return window_caption_; }
  const std::string& TitleBarCaption() const { return title_caption_; }
  // The text of the last error message shown; empty before the first.
  const std::string& LastError() const { return last_error_; }

 private:
  // "srvlarvek: ", after the mark of `priority` when lines are marked.
  std::string MessagePrefix(LogPriority priority) const;

  ConsoleLogView log_;
  FILE* err_;
  bool mark_priorities_ = false;
  std::string last_error_;
  std::string window_caption_ = "Server Larvek05 terminal";
  std::string title_caption_ = "Server Larvek05 terminal";
};

}  // namespace larvek
