#include "frontends/desktop/desktop_main.h"

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "base/codepage.h"
#include "frontends/desktop/desktop_session.h"
#include "frontends/desktop/display_probe.h"
#include "platform/event_loop.h"
#include "platform/signals.h"
#include "server/server.h"

// The resources live in a static library; they must be registered by name.
static void InitDesktopResources() {
  Q_INIT_RESOURCE(desktop);
}

namespace larvek {

bool DesktopDisplayUsable() {
  const char* display = std::getenv("DISPLAY");
  if (display && *display && !XDisplayReachable(display)) {
    std::fprintf(stderr, "srvlarvek: cannot open display %s; running in console mode\n", display);
    return false;
  }
  return true;
}

int RunDesktop(int argc, char** argv, const std::string& program_path, const std::string& log_dir) {
  EventLoop loop;
  // The signal watch blocks SIGTERM and SIGINT in this thread; it comes before QApplication so
  // that the threads Qt starts inherit the mask and the signals reach the loop.
  std::function<void()> close_request;
  SignalWatch signal_watch(loop, [&] {
    if (close_request) close_request();
  });

  QApplication app(argc, argv);
  InitDesktopResources();
  QApplication::setApplicationName(
      QString::fromStdString(Cp1250ToUtf8(ApplicationTitle(program_path))));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/larvek/larvek.png")));
  // Hiding the window or closing the last message box must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  int status;
  {
    DesktopSession session(loop, program_path, log_dir);
    close_request = [&session] { session.CloseRequest(); };
    status = session.Run();
    close_request = nullptr;
  }
  return status;
}

}  // namespace larvek
