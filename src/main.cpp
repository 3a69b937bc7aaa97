// srvlarvek: the terminal server. Without --console and with a display it runs as a desktop
// program (tray icon and log window, when built with the desktop front end); otherwise it runs
// in the console, logging to standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/startup_config.h"
#include "frontends/console/console_main.h"
#include "server/definition_check.h"
#ifdef LARVEK_HAVE_DESKTOP
#include "frontends/desktop/desktop_main.h"
#endif

namespace {

void PrintUsage() {
  std::printf(
      "usage: srvlarvek [--console] [--version] [--help]\n"
      "  --console  run without a window; log lines go to standard output\n"
      "Configuration: srvlarvek.INI beside the program and ../larvek05.ini above it.\n");
}

bool HaveDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

}  // namespace

int main(int argc, char** argv) {
  bool console = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("srvlarvek %s\n", LARVEK_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--check") == 0) {
      const larvek::CheckOutcome outcome =
          i + 1 < argc ? larvek::CheckRequest(larvek::ProgramPath(), argv[i + 1])
                       : larvek::CheckDefinitions(larvek::ProgramPath());
      std::fputs(outcome.text.c_str(), stdout);
      return outcome.status;
    }
    if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
      continue;
    }
    std::fprintf(stderr, "srvlarvek: unknown option %s\n", argv[i]);
    PrintUsage();
    return 2;
  }
  const std::string program_path = larvek::ProgramPath();
#ifdef LARVEK_HAVE_DESKTOP
  if (!console && HaveDisplay() && larvek::DesktopDisplayUsable())
    return larvek::RunDesktop(argc, argv, program_path);
#else
  (void)HaveDisplay;
#endif
  (void)console;
  return larvek::RunConsole(program_path);
}
