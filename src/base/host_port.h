// A database server's address as the configuration names it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace larvek {

// A host (a name, an IPv4 address, an IPv6 address without its brackets, or empty for the
// client library's default, the local socket) and a TCP port.
struct HostPort {
  std::string host;
  int32_t port = 3306;
  bool operator==(const HostPort&) const = default;
};

// "host:port" for logs: an IPv6 address in brackets ("[::1]:3306"), the empty host as
// "localhost".
std::string HostPortText(const HostPort& entry);
// The entries' texts, separated by ", ".
std::string HostListText(const std::vector<HostPort>& hosts);

}  // namespace larvek
