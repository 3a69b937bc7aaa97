// Cutting a text token by token off a copy: the plain reading of a separated text that
// TokenCount and TokenAt replace. The text utilities' fuzz target checks them against it, and
// the token count benchmark measures it as the baseline.
#pragma once

#include <string>

#include "base/error.h"

namespace larvek {

// Removes the first token and its separator from `s` and returns the token; when `s` holds
// no separator the token is all of `s` and `s` becomes empty. The separator's position is
// held in 16 bits: when the first separator lies beyond position 65535, throws
// Error::Range() ("Range check error") and leaves `s` unchanged.
inline std::string CutToken(std::string& s, char sep) {
  const std::string::size_type i = s.find(sep);
  if (i == std::string::npos) {
    std::string token;
    token.swap(s);
    return token;
  }
  if (i + 1 > 65535) ThrowRangeError();
  std::string token = s.substr(0, i);
  s.erase(0, i + 1);
  return token;
}

}  // namespace larvek
