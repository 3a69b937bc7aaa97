// A stand-in for a database server that fails the way one behind a balancer does when it dies.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace larvek::testing {

// A loopback port in front of the test database: it closes the first `close_first`
// connections before any greeting (as a balancer does whose server just died), and passes the
// later ones through to `target_port` (0: holds them without a word, a database that never
// greets). Counts the connections it accepted.
class FlakyDatabase {
 public:
  FlakyDatabase(int close_first, int target_port);
  ~FlakyDatabase();
  FlakyDatabase(const FlakyDatabase&) = delete;
  FlakyDatabase& operator=(const FlakyDatabase&) = delete;

  int Port() const { return port_; }
  int Accepted() const { return accepted_; }

 private:
  void Accept();
  // Copies bytes both ways until either side closes.
  void Pump(int client);

  const int close_first_;
  const int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> pumps_;  // touched by the acceptor thread only, until it is joined
};

}  // namespace larvek::testing
