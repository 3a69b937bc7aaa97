// The host's own IPv4 address, the address a socket is bound to, and IPv4 addresses as
// dotted-quad text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace larvek {

// The first IPv4 address the host's own name resolves to, in network byte order.
// "Range check error" when the name does not resolve.
uint32_t HostIPv4Address();
// "a.b.c.d", the byte sent first on the wire first; each byte in decimal without leading zeros.
std::string DottedQuad(uint32_t address_network_order);

// True for an IPv4 or IPv6 address written as numbers.
bool IsNumericAddress(const std::string& host);
// The first address `name` resolves to, as numbers (IPv4 first); nullopt with the resolver's
// reason when it does not resolve. Blocks while the resolver works.
struct Resolved {
  std::optional<std::string> address;
  std::string failure;
};
Resolved ResolveHostName(const std::string& name);

struct Endpoint {
  uint32_t address_network_order;
  uint16_t port;  // in host order
};

// The IPv4 address and port the socket `fd` is bound to; nullopt when `fd` is negative or the
// system cannot tell.
std::optional<Endpoint> LocalEndpoint(int fd);

}  // namespace larvek
