#include "frontends/console/console_window.h"

#include "base/codepage.h"

namespace larvek {

ConsoleWindow::ConsoleWindow(FILE* out, FILE* err) : log_(out), err_(err) {}

void ConsoleWindow::ShowErrorMessage(const std::string& text) {
  last_error_ = text;
  log_.Flush();
  std::fprintf(err_, "srvlarvek: %s\n", Cp1250ToUtf8(text).c_str());
  std::fflush(err_);
}

void ConsoleWindow::ShowListenerClosedWarning(int code) {
  log_.Flush();
  std::fprintf(err_, "srvlarvek: %d\n", code);
  std::fflush(err_);
}

}  // namespace larvek
