// The statement watchdog's expiry and the reset of user variables.
#include "commands/command_processor.h"
#include "commands/text_utils.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/terminal_connection.h"
#include "platform/timer.h"

namespace larvek {

void CommandProcessor::OnWatchdogExpired() {
  watchdog_.SetEnabled(false);
  connection_.Disconnect();
  // The terminal of the watched statement may have gone meanwhile; then there is no one to tell.
  if (latest_terminal_ == nullptr || !latest_terminal_->Connected()) return;
  Reply(*latest_terminal_, current_.name + ";timeout" + settings_.terminator, /*add_cr=*/false);
}

void CommandProcessor::ForgetTerminal(const TerminalConnection& client) {
  if (latest_terminal_ == &client) latest_terminal_ = nullptr;
}

// Every piece after an "@" names a variable up to its first ":"; each is set to NULL by a
// statement of its own, in order, on the connection that ran the templates.
void CommandProcessor::ResetUserVariables(const std::string& text) {
  const int pieces = TokenCount(text, '@');
  for (int i = 1; i < pieces; ++i) {
    const std::string name = TokenAt(TokenAt(text, '@', i), ':', 0);
    query_.Close();
    query_.SqlClear();
    query_.SqlAdd("select @" + name + ":=null");
    query_.ExecuteStatement();
  }
}

}  // namespace larvek
