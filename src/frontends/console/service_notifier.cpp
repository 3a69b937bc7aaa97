#include "frontends/console/service_notifier.h"

#include <time.h>

#ifdef LARVEK_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace larvek {

void ServiceNotifier::Ready(const std::string& status) {
  Send("READY=1\nSTATUS=" + status);
}

void ServiceNotifier::Status(const std::string& status) {
  Send("STATUS=" + status);
}

void ServiceNotifier::Reloading() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void ServiceNotifier::Stopping() {
  Send("STOPPING=1");
}

bool ServiceNotifier::Available() {
#ifdef LARVEK_HAVE_SYSTEMD
  return true;
#else
  return false;
#endif
}

void ServiceNotifier::Send(const std::string& message) {
#ifdef LARVEK_HAVE_SYSTEMD
  // A supervisor that has gone away is no reason to stop serving terminals: the result is
  // not checked.
  sd_notify(0, message.c_str());
#else
  (void)message;
#endif
}

}  // namespace larvek
