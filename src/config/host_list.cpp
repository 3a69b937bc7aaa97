#include "config/host_list.h"

#include <optional>

#include "base/text.h"

namespace larvek {
namespace {

// Reasons, Windows-1250: "prázdná položka", "mezera nebo řídicí znak uvnitř položky ",
// "port není číslo 1 až 65535: ", "adresu IPv6 pište v hranatých závorkách: ".
const char kEmptyEntry[] = "pr\xE1zdn\xE1 polo\x9Eka";
const char kBlankInside[] =
    "mezera nebo \xF8\xED"
    "dic\xED znak uvnit\xF8 polo\x9Eky ";
const char kBadPort[] = "port nen\xED \xE8\xEDslo 1 a\x9E 65535: ";
const char kUnbracketedIpv6[] =
    "adresu IPv6 pi\x9Ate v hranat\xFD"
    "ch z\xE1vork\xE1"
    "ch: ";

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
}

std::optional<int32_t> ReadPort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  int32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return value;
}

Result<HostPort, HostListFailure> ReadEntry(std::string_view entry, int32_t default_port) {
  const std::string quoted = "'" + std::string(entry) + "'";
  for (char c : entry)
    if (IsBlankOrControl(c)) return HostListFailure{kBlankInside + quoted};
  std::string_view host = entry;
  std::optional<std::string_view> port;
  if (entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close == std::string_view::npos || close == 1)
      return HostListFailure{kUnbracketedIpv6 + quoted};
    host = entry.substr(1, close - 1);
    const std::string_view rest = entry.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return HostListFailure{kUnbracketedIpv6 + quoted};
      port = rest.substr(1);
    }
  } else {
    const size_t colon = entry.find(':');
    if (colon != std::string_view::npos) {
      if (entry.find(':', colon + 1) != std::string_view::npos)
        return HostListFailure{kUnbracketedIpv6 + quoted};
      host = entry.substr(0, colon);
      port = entry.substr(colon + 1);
    }
    if (host.empty()) return HostListFailure{kEmptyEntry};
  }
  HostPort out{std::string(host), default_port};
  if (port) {
    const std::optional<int32_t> value = ReadPort(*port);
    if (!value) return HostListFailure{kBadPort + quoted};
    out.port = *value;
  }
  return out;
}

}  // namespace

Result<std::vector<HostPort>, HostListFailure> ParseHostList(std::string_view text,
                                                             int32_t default_port) {
  const std::string_view whole = TrimSpaceAndControls(text);
  if (whole.empty()) return std::vector<HostPort>{HostPort{"", default_port}};
  std::vector<HostPort> hosts;
  size_t start = 0;
  for (;;) {
    const size_t comma = whole.find(',', start);
    const std::string_view entry = TrimSpaceAndControls(
        whole.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                            : comma - start));
    if (entry.empty()) return HostListFailure{kEmptyEntry};
    Result<HostPort, HostListFailure> read = ReadEntry(entry, default_port);
    if (!read) return read.Failure();
    hosts.push_back(std::move(read).Value());
    if (comma == std::string_view::npos) return hosts;
    start = comma + 1;
  }
}

}  // namespace larvek
