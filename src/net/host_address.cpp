#include "net/host_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/error.h"

namespace larvek {

uint32_t HostIPv4Address() {
  char name[256] = {};
  if (gethostname(name, 255) != 0) throw Error::Range();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) throw Error::Range();
  uint32_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return address;
}

bool IsNumericAddress(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

Resolved ResolveHostName(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr) return {std::nullopt, gai_strerror(status)};
  const addrinfo* chosen = found;
  for (const addrinfo* a = found; a; a = a->ai_next)
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  char text[INET6_ADDRSTRLEN] = {};
  const void* where =
      chosen->ai_family == AF_INET
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(chosen->ai_addr)->sin_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(chosen->ai_addr)->sin6_addr);
  inet_ntop(chosen->ai_family, where, text, sizeof text);
  freeaddrinfo(found);
  return {std::string(text), ""};
}

std::optional<Endpoint> LocalEndpoint(int fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
    return std::nullopt;
  return Endpoint{local.sin_addr.s_addr, ntohs(local.sin_port)};
}

std::string DottedQuad(uint32_t address_network_order) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address_network_order);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

}  // namespace larvek
