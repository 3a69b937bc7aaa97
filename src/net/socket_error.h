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

// Runs f and returns the error that escaped it, if any; other exceptions become class
// "Exception". For the places where an event's errors are routed rather than propagated.
template <typename F>
std::optional<Error> CatchError(F&& f) {
  try {
    f();
    return std::nullopt;
  } catch (const Error& e) {
    return e;
  } catch (const std::exception& e) {
    return Error::Generic(e.what());
  }
}

}  // namespace larvek
