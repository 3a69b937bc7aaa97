// Whether the X display named like the DISPLAY variable can be reached, checked before Qt is
// started (Qt ends the process when it cannot open its display).
#pragma once

#include <string>

namespace larvek {

// ":N", ":N.S", "unix:N" and "unix:N.S" name a local display: true when its socket
// (/tmp/.X11-unix/XN, abstract or in the file system) accepts a connection. A display on
// another host is not probed (true). An empty or malformed name gives false.
bool XDisplayReachable(const std::string& display);

}  // namespace larvek
