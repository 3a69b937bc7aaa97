// The terminal a request came from, as the command processor sees it: replies are sent to it and
// the log lines name its address. The server adapts its connections to this; tests use fakes.
#pragma once

#include <cstdint>
#include <string>

namespace larvek {

class ReplySink {
 public:
  virtual ~ReplySink() = default;

  // Identifies the terminal for the whole run of the server; never given to another one.
  virtual uint64_t Id() const = 0;
  virtual std::string PeerAddress() const = 0;
  // Sends the bytes as they are; failures of sending leave this function. Taken by value: a
  // reply of megabytes is handed over, not copied.
  virtual void Send(std::string bytes) = 0;
};

}  // namespace larvek
