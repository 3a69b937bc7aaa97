#include "terminal_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace larvek::testing {

namespace {

sockaddr_in Loopback(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

}  // namespace

TerminalPeer::TerminalPeer(int port, const std::string& address, const std::string& source) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(address, port);
  sockaddr_in from = Loopback(source, 0);
  if (fd_ < 0 ||
      (!source.empty() && bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) ||
      connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

TerminalPeer::~TerminalPeer() {
  if (fd_ >= 0) close(fd_);
}

void TerminalPeer::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    }
  }
}

void TerminalPeer::Drain() {
  if (fd_ < 0 || server_closed_) return;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      received_.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      server_closed_ = true;
      return;
    } else {
      if (errno != EAGAIN) {
        server_closed_ = true;
        error_ = errno;
      }
      return;
    }
  }
}

const std::string& TerminalPeer::Received() {
  Drain();
  return received_;
}

std::string TerminalPeer::Take() {
  Drain();
  std::string taken;
  taken.swap(received_);
  return taken;
}

bool TerminalPeer::ServerClosed() {
  Drain();
  return server_closed_;
}

void TerminalPeer::Close() {
  close(fd_);
  fd_ = -1;
}

void TerminalPeer::Reset() {
  linger abortive{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  Close();
}

int TerminalPeer::LocalPort() const {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len);
  return ntohs(local.sin_port);
}

int FreeLoopbackPort(const std::string& address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(address, 0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

}  // namespace larvek::testing
