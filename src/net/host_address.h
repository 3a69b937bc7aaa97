// The host's own IPv4 address, and IPv4 addresses as dotted-quad text.
#pragma once

#include <cstdint>
#include <string>

namespace larvek {

// The first IPv4 address the host's own name resolves to, in network byte order.
// "Range check error" when the name does not resolve.
uint32_t HostIPv4Address();
// "a.b.c.d", the byte sent first on the wire first; each byte in decimal without leading zeros.
std::string DottedQuad(uint32_t address_network_order);

}  // namespace larvek
