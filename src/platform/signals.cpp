#include "platform/signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace larvek {

namespace {

sigset_t CloseSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

SignalWatch::SignalWatch(EventLoop& loop, std::function<void()> on_close_request,
                         std::function<void()> on_hang_up)
    : loop_(loop),
      on_close_request_(std::move(on_close_request)),
      on_hang_up_(std::move(on_hang_up)) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = CloseSignals();
  pthread_sigmask(SIG_BLOCK, &set, &old_mask_);
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    int err = errno;
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    throw Error::Os("signalfd", err);
  }
  loop_.Watch(fd_, EventLoop::kReadable, [this](uint32_t) {
    signalfd_siginfo info;
    while (read(fd_, &info, sizeof info) == sizeof info) {
      if (info.ssi_signo == SIGHUP && on_hang_up_)
        on_hang_up_();
      else if (on_close_request_)
        on_close_request_();
    }
  });
}

SignalWatch::~SignalWatch() {
  loop_.Unwatch(fd_);
  close(fd_);
  // A signal that arrived after the last dispatch would act with its default action (end
  // the process) once unblocked; take it out of the pending set first.
  sigset_t set = CloseSignals();
  timespec none{0, 0};
  while (sigtimedwait(&set, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

}  // namespace larvek
