// Runs the server with the console front end until SIGTERM or SIGINT, or SIGHUP outside the
// service mode (a service reads its configuration again on SIGHUP); returns the exit status.
#pragma once

#include <string>

namespace larvek {

struct ConsoleOptions {
  std::string program_path;  // the program file; its directory holds the own INI file
  std::string log_dir;       // day-log folders, ending with '/'; empty: the program directory
  // Run under a supervisor: readiness and status notifications, and a failed start-up or
  // listener ends the program with status 1 instead of going on without terminals.
  bool service = false;
};

int RunConsole(const ConsoleOptions& options);

}  // namespace larvek
