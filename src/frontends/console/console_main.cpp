#include "frontends/console/console_main.h"

#include "frontends/console/console_window.h"
#include "platform/event_loop.h"
#include "platform/signals.h"
#include "server/server.h"

namespace larvek {

int RunConsole(const std::string& program_path) {
  EventLoop loop;
  ConsoleWindow view;
  SignalWatch signals(loop, [&loop] { loop.Stop(); });
  int status = 0;
  {
    Server server(loop, view, program_path);
    server.Start();
    // The console counts as the shown window: HandleWindowShown follows StartUp at once, so a
    // failed start-up still starts the listener. The window position is neither restored nor saved.
    server.OnWindowShown();
    loop.Run();
    server.Stop();
    status = server.ExitStatus();  // 1 when a log line could not be written
  }
  return status;
}

}  // namespace larvek
