#include "platform/console/console_main.h"

#include "app/main_window.h"
#include "platform/console/console_window.h"
#include "platform/event_loop.h"
#include "platform/signals.h"

namespace larvek {

int RunConsole(const std::string& program_path) {
  EventLoop loop;
  ConsoleWindow view;
  SignalWatch signals(loop, [&loop] { loop.Stop(); });
  {
    Tsrvlarvek window(loop, view, program_path);
    window.Create();
    // The console counts as the shown window: FormShow follows FormCreate at once, so a failed
    // start-up still starts the listener. The window position is neither restored nor saved.
    window.Show();
    loop.Run();
    window.Destroy();
  }
  return 0;
}

}  // namespace larvek
