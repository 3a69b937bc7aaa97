// The database hosts of the own file's [LogOn] IP: one entry, as always, or a list for a site
// without a balancer in front of its database servers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/host_port.h"
#include "base/result.h"

namespace larvek {

// Why a host list cannot be read, in the log's language.
struct HostListFailure {
  std::string reason;
};

// Reads "host[:port],host[:port],...": entries separated by commas, blanks around each trimmed,
// an IPv6 address in brackets ("[::1]:3306", "[fe80::1]"); an entry without a port gets
// `default_port`. An empty text is one entry with the empty host (the local socket). Refused:
// an empty entry, blanks or control bytes inside an entry, a port that is not 1..65535
// written in digits, an IPv6 address without brackets. Time linear in the text's length.
Result<std::vector<HostPort>, HostListFailure> ParseHostList(std::string_view text,
                                                             int32_t default_port);

}  // namespace larvek
