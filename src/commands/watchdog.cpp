// The statement watchdog's expiry and the reset of user variables.
#include "commands/command_processor.h"
#include "commands/text_utils.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/tcp_srv_client.h"
#include "platform/timer.h"

namespace larvek {

void TCommandProcessor::Timer1Timer() {
  watchdog_.SetEnabled(false);
  connection_.Disconnect();
  // The terminal of the watched statement may have gone meanwhile; then there is no one to tell.
  if (last_client_ == nullptr || !last_client_->Connected()) return;
  Reply(*last_client_, current_.name + ";timeout" + settings_.ukoncovac, /*add_cr=*/false);
}

void TCommandProcessor::ForgetClient(const TTcpSrvClient& client) {
  if (last_client_ == &client) last_client_ = nullptr;
}

// Every piece after an "@" names a variable up to its first ":"; each is set to NULL by a
// statement of its own, in order, on the connection that ran the templates.
void TCommandProcessor::smaz(const std::string& text) {
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
