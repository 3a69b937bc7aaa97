// The terminal's end of a loopback TCP connection, for tests that run the server's event loop
// in the test thread. Connecting completes through the listen backlog, before the server
// accepts; everything after that is non-blocking.
#pragma once

#include <string>

namespace larvek::testing {

class TerminalPeer {
 public:
  // `source`, when given, is the local address the connection comes from (e.g. 127.0.0.2).
  explicit TerminalPeer(int port, const std::string& address = "127.0.0.1",
                        const std::string& source = "");
  ~TerminalPeer();
  TerminalPeer(const TerminalPeer&) = delete;
  TerminalPeer& operator=(const TerminalPeer&) = delete;

  // Sends all bytes (waits while the socket buffer is full).
  void Send(const std::string& bytes);
  // Everything received so far (reading what has arrived); Take also forgets it.
  const std::string& Received();
  std::string Take();
  // The server has closed its side: a read saw the end or an error (Error() tells which).
  bool ServerClosed();
  int Error() const { return error_; }

  void Close();  // orderly close: the server sees the end of the stream
  void Reset();  // abortive close: the server sees a reset
  int LocalPort() const;

 private:
  void Drain();

  int fd_ = -1;
  std::string received_;
  bool server_closed_ = false;
  int error_ = 0;
};

// A TCP port on `address` (a local IPv4 address) that was free a moment ago.
int FreeLoopbackPort(const std::string& address = "127.0.0.1");

}  // namespace larvek::testing
