// The desktop front end: the server behind a notification-area icon, with its log window.
#pragma once

#include <string>

namespace larvek {

// False, after a line on standard error, when the X display named by DISPLAY cannot be
// reached; the program then runs in console mode instead.
bool DesktopDisplayUsable();
// Runs the server with the desktop front end until the window is closed or SIGTERM/SIGINT
// arrives; returns the exit status. `log_dir` as for the console front end.
int RunDesktop(int argc, char** argv, const std::string& program_path, const std::string& log_dir);

}  // namespace larvek
