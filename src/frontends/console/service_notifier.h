// Reports the service's state to a supervisor over its notification socket (NOTIFY_SOCKET):
// READY=1 once terminals can connect, STATUS= lines, RELOADING=1 while the configuration is
// read again (READY=1 again after it), STOPPING=1 at the end. Built without
// libsystemd, or started without a notification socket, every call does nothing.
#pragma once

#include <string>

namespace larvek {

class ServiceNotifier {
 public:
  // `status` is UTF-8 text for the supervisor's status display.
  void Ready(const std::string& status);
  void Status(const std::string& status);
  // The configuration is read again: RELOADING=1 with the monotonic clock's time, which a
  // supervisor waiting for the reload compares with its own request; Ready follows.
  void Reloading();
  void Stopping();
  // Whether this build can notify at all.
  static bool Available();

 private:
  void Send(const std::string& message);
};

}  // namespace larvek
