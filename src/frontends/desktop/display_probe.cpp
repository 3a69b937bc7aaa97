#include "frontends/desktop/display_probe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace larvek {
namespace {

// Connects to a Unix socket; `abstract` puts the name in the abstract namespace.
bool CanConnect(const std::string& path, bool abstract) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path + offset, path.data(), path.size());
  const socklen_t len =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  // Non-blocking, so that a server whose backlog is full cannot hold the start up; it is
  // there all the same (EAGAIN).
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const bool ok =
      connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 || errno == EAGAIN;
  close(fd);
  return ok;
}

}  // namespace

bool XDisplayReachable(const std::string& display) {
  const size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string number;
  for (size_t i = colon + 1; i < display.size() && display[i] != '.'; ++i) {
    if (display[i] < '0' || display[i] > '9') return false;
    number += display[i];
  }
  if (number.empty()) return false;
  const std::string path = "/tmp/.X11-unix/X" + number;
  return CanConnect(path, true) || CanConnect(path, false);
}

}  // namespace larvek
