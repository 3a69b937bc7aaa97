#include "frontends/console/console_window.h"

#include "base/codepage.h"

namespace larvek {

ConsoleWindow::ConsoleWindow(FILE* out, FILE* err) : log_(out), err_(err) {}

void ConsoleWindow::MarkPriorities() {
  mark_priorities_ = true;
  log_.MarkPriorities();
}

// The messages stay on standard error, marked: the journal reads the mark on either stream,
// and a supervisor that keeps the two streams apart, like a person at the console, still finds
// the messages where they always were.
std::string ConsoleWindow::MessagePrefix(LogPriority priority) const {
  return (mark_priorities_ ? JournalPrefix(priority) : "") + "srvlarvek: ";
}

void ConsoleWindow::ShowErrorMessage(const std::string& text) {
  last_error_ = text;
  log_.Flush();
  std::fprintf(err_, "%s%s\n", MessagePrefix(LogPriority::kError).c_str(),
               Cp1250ToUtf8(text).c_str());
  std::fflush(err_);
}

void ConsoleWindow::ShowListenerClosedWarning(int code) {
  log_.Flush();
  std::fprintf(err_, "%s%d\n", MessagePrefix(LogPriority::kWarning).c_str(), code);
  std::fflush(err_);
}

}  // namespace larvek
