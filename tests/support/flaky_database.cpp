#include "flaky_database.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace larvek::testing {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

FlakyDatabase::FlakyDatabase(int close_first, int target_port)
    : close_first_(close_first), target_port_(target_port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    ADD_FAILURE() << "cannot listen on loopback";
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

FlakyDatabase::~FlakyDatabase() {
  stop_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  for (std::thread& pump : pumps_) pump.join();
  close(listen_fd_);
}

void FlakyDatabase::Accept() {
  for (;;) {
    const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0 || stop_) {
      if (client >= 0) close(client);
      return;
    }
    if (++accepted_ <= close_first_) {
      close(client);
      continue;
    }
    pumps_.emplace_back([this, client] { Pump(client); });
  }
}

void FlakyDatabase::Pump(int client) {
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in target = Loopback(target_port_);
  if (target_port_ == 0) {
    pollfd hold{client, POLLIN, 0};
    while (!stop_ && ::poll(&hold, 1, 100) == 0) {
    }
  } else if (connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buf[16384];
    bool open = true;
    while (open && !stop_) {
      if (::poll(fds, 2, 100) < 0) break;
      for (int i = 0; i < 2 && open; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        open = n > 0 && write(fds[1 - i].fd, buf, static_cast<size_t>(n)) == n;
      }
    }
  }
  close(server);
  close(client);
}

}  // namespace larvek::testing
