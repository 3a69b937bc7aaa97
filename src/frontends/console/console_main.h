// Runs the server with the console front end until SIGTERM or SIGINT; returns the exit status.
#pragma once

#include <string>

namespace larvek {

int RunConsole(const std::string& program_path);

}  // namespace larvek
