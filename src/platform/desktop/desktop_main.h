// The desktop front end: the server behind a notification-area icon, with its log window.
#pragma once

#include <string>

namespace larvek {

// Runs the server with the desktop front end until the window is closed or SIGTERM/SIGINT
// arrives; returns the exit status.
int RunDesktop(int argc, char** argv, const std::string& program_path);

}  // namespace larvek
