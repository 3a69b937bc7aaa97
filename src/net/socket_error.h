// Socket failures in the numbering the terminal protocol's error texts use (10000 + the
// classic BSD error numbers, 11001.. for name lookups), and the one error text form:
// description + " (#" + code + " in " + operation + ")", class ESocketException.
//
// How the net layer reports errors: an operation that fails throws an Error (kind kSocket,
// Code() the number below). A failure with no caller on the stack (writing queued bytes,
// accepting, a handler that threw) goes as an Error to the object's background error
// handler, which returns what becomes of the socket (SocketErrorAction).
#pragma once

#include <string>

#include "base/error.h"

namespace larvek {

// The codes the net layer decides on or raises by name. The numbers are part of the texts
// terminals and logs see ("(#10057 in Send)", "code=10054"), so they never change.
inline constexpr int kWsaeInval = 10022;         // invalid argument
inline constexpr int kWsaeNotSock = 10038;       // socket operation on a non-socket
inline constexpr int kWsaeAddrNotAvail = 10049;  // the address is not one of this host
inline constexpr int kWsaeConnAborted = 10053;   // the connection was aborted locally
inline constexpr int kWsaeConnReset = 10054;     // the peer reset the connection
inline constexpr int kWsaeNotConn = 10057;       // the socket is not connected
inline constexpr int kWsaNoData = 11004;         // a valid name without an entry of the kind

// The session is gone (the peer reset it, or it was never connected): a read or an accept
// failing so closes its socket before the failure is raised or reported.
constexpr bool IsSessionLost(int code) {
  return code == kWsaeConnReset || code == kWsaeNotConn;
}
// A send failing so finds the connection gone: it is closed with the code, not reported.
constexpr bool IsSendToGoneConnection(int code) {
  return code == kWsaeConnAborted || code == kWsaeConnReset || code == kWsaeNotSock ||
         code == kWsaeNotConn || code == kWsaeInval;
}

// What a background error handler decides for the socket the error came from.
enum class SocketErrorAction {
  kClose,     // close it (the default when there is no handler or the handler threw)
  kKeepOpen,  // leave it as it is
};

// The code for a system errno; errno values with no counterpart map to 10000 + errno, which
// reads "Not a WinSock error".
int WinsockCode(int err);
// The description of a code; "Not a WinSock error" for codes outside the list.
std::string SocketErrorDescription(int code);
// Error::Socket(description + " (#" + code + " in " + operation + ")", code).
Error SocketError(int code, const std::string& operation);
[[noreturn]] void ThrowSocketError(int code, const std::string& operation);

}  // namespace larvek
