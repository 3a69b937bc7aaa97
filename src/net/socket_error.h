// Socket failures in the numbering the terminal protocol's error texts use (10000 + the
// classic BSD error numbers, 11001.. for name lookups), and the one error text form:
// description + " (#" + code + " in " + operation + ")", class ESocketException.
#pragma once

#include <exception>
#include <optional>
#include <string>

#include "base/error.h"

namespace larvek {

// The code for a system errno; errno values with no counterpart map to 10000 + errno, which
// reads "Not a WinSock error".
int WinsockCode(int err);
// The description of a code; "Not a WinSock error" for codes outside the list.
std::string SocketErrorDescription(int code);
// Error::Socket(description + " (#" + code + " in " + operation + ")", code).
Error SocketError(int code, const std::string& operation);
[[noreturn]] void ThrowSocketError(int code, const std::string& operation);

}  // namespace larvek
