// srvlarvek: the terminal server. Without --console and with a display it runs as a desktop
// program (tray icon and log window, when built with the desktop front end); otherwise it runs
// in the console, logging to standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "config/startup_config.h"
#include "frontends/console/console_main.h"
#include "server/definition_check.h"
#ifdef LARVEK_HAVE_DESKTOP
#include "frontends/desktop/desktop_main.h"
#endif

namespace {

void PrintUsage() {
  std::printf(
      "usage: srvlarvek [--console | --service] [--dir DIR] [--log-dir DIR] [--version] [--help]\n"
      "       srvlarvek [--dir DIR] --check ['NAME;a;b']\n"
      "  --console      run without a window; log lines go to standard output\n"
      "  --service      console mode under a supervisor: readiness and status notifications,\n"
      "                 exit status 1 when start-up or the listener fails\n"
      "  --dir DIR      program directory: DIR/srvlarvek.INI and DIR/../larvek05.ini\n"
      "                 (default: the directory of the executable)\n"
      "  --log-dir DIR  where the YYYYMMDD/log.txt day logs go (default: the program directory)\n"
      "  --check        check the command definitions (exit 0 clean, 1 warnings, 2 unreadable);\n"
      "                 with a request, show what the server would send and answer for it\n"
      "Configuration: srvlarvek.INI in the program directory and larvek05.ini in its parent.\n"
      "The dump file u.txt is written to the working directory.\n");
}

bool HaveDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

// DIR made absolute against the working directory, without "." and ".." steps and with a
// trailing "/". Symlinks are kept as written.
std::string DirectoryOption(const char* dir) {
  std::string out = std::filesystem::absolute(dir).lexically_normal().string();
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bool console = false;
  bool service = false;
  bool check = false;
  std::optional<std::string> check_request;
  std::string dir, log_dir;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--service") == 0) {
      service = true;
      continue;
    }
    if (std::strcmp(argv[i], "--dir") == 0 || std::strcmp(argv[i], "--log-dir") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "srvlarvek: %s needs a directory\n", argv[i]);
        return 2;
      }
      (std::strcmp(argv[i], "--dir") == 0 ? dir : log_dir) = DirectoryOption(argv[i + 1]);
      ++i;
      continue;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("srvlarvek %s\n", LARVEK_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--check") == 0) {
      check = true;
      // The request to try, when one follows.
      if (i + 1 < argc && argv[i + 1][0] != '-') check_request = argv[++i];
      continue;
    }
    if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
      continue;
    }
    std::fprintf(stderr, "srvlarvek: unknown option %s\n", argv[i]);
    PrintUsage();
    return 2;
  }
  std::string program_path = larvek::ProgramPath();
  // Another program directory: the own file keeps the executable's name.
  if (!dir.empty()) program_path = dir + program_path.substr(program_path.rfind('/') + 1);
  if (check) {
    const larvek::CheckOutcome outcome = check_request
                                             ? larvek::CheckRequest(program_path, *check_request)
                                             : larvek::CheckDefinitions(program_path);
    std::fputs(outcome.text.c_str(), stdout);
    return outcome.status;
  }
#ifdef LARVEK_HAVE_DESKTOP
  if (!console && !service && HaveDisplay() && larvek::DesktopDisplayUsable())
    return larvek::RunDesktop(argc, argv, program_path, log_dir);
#else
  (void)HaveDisplay;
#endif
  (void)console;
  return larvek::RunConsole(larvek::ConsoleOptions{program_path, log_dir, service});
}
