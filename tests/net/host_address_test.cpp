#include "net/host_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "base/error.h"

namespace larvek {
namespace {

// A socket bound to 127.0.0.1 and a port the system picks.
int BoundLoopbackSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

TEST(HostAddressTest, LocalEndpointTellsWhereASocketIsBound) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  struct Case {
    const char* name;
    std::function<int()> make_fd;
    std::optional<std::string> address;  // nullopt: no endpoint
    bool port_assigned;
  } cases[] = {
      {"bound to the loopback", BoundLoopbackSocket, "127.0.0.1", true},
      {"not bound yet", [] { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }, "0.0.0.0",
       false},
      {"no socket", [] { return -1; }, std::nullopt, false},
      {"not a socket", [&] { return dup(pipe_fds[0]); }, std::nullopt, false},
  };
  for (const Case& c : cases) {
    const int fd = c.make_fd();
    const std::optional<Endpoint> local = LocalEndpoint(fd);
    ASSERT_EQ(local.has_value(), c.address.has_value()) << c.name;
    if (local) {
      EXPECT_EQ(DottedQuad(local->address_network_order), *c.address) << c.name;
      EXPECT_EQ(local->port != 0, c.port_assigned) << c.name;
      sockaddr_in a{};
      socklen_t len = sizeof a;
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
      EXPECT_EQ(local->port, ntohs(a.sin_port)) << c.name;
    }
    if (fd >= 0) close(fd);
  }
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST(HostAddressTest, DottedQuadWritesBytesInWireOrder) {
  const unsigned char bytes[4] = {10, 1, 0, 255};
  uint32_t address;
  std::memcpy(&address, bytes, 4);
  EXPECT_EQ(DottedQuad(address), "10.1.0.255");
  EXPECT_EQ(DottedQuad(0), "0.0.0.0");
}

TEST(HostAddressTest, HostAddressResolvesOrFailsWithRangeCheck) {
  try {
    uint32_t address = HostIPv4Address();
    EXPECT_NE(address, 0u);
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), "Range check error");  // this host's name does not resolve
  }
}

}  // namespace
}  // namespace larvek
