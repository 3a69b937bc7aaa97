#include "base/host_port.h"

namespace larvek {

std::string HostPortText(const HostPort& entry) {
  const std::string host = entry.host.empty() ? "localhost" : entry.host;
  const bool bracketed = host.find(':') != std::string::npos;
  return (bracketed ? "[" + host + "]" : host) + ":" + std::to_string(entry.port);
}

std::string HostListText(const std::vector<HostPort>& hosts) {
  std::string text;
  for (const HostPort& entry : hosts) text += (text.empty() ? "" : ", ") + HostPortText(entry);
  return text;
}

}  // namespace larvek
