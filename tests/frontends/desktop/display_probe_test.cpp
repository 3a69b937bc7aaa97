#include "frontends/desktop/display_probe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace larvek {
namespace {

// Listens on the abstract socket of display `number`; -1 when that name is taken.
int ListenAsDisplay(int number) {
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(DisplayProbeTest, LocalDisplaysAreProbedAndOthersTrusted) {
  int number = 4321, fd = -1;
  while ((fd = ListenAsDisplay(number)) < 0) ++number;
  const std::string n = std::to_string(number);
  const struct {
    std::string display;
    bool reachable;
  } cases[] = {
      {":" + n, true},
      {":" + n + ".0", true},
      {"unix:" + n, true},
      {":" + n + "1", false},
      {"", false},
      {":", false},
      {":x", false},
      {"nocolon", false},
      {"remote.example:0", true},
  };
  for (const auto& c : cases) EXPECT_EQ(XDisplayReachable(c.display), c.reachable) << c.display;
  close(fd);
  EXPECT_FALSE(XDisplayReachable(":" + n));
}

}  // namespace
}  // namespace larvek
