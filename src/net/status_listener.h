// An HTTP/1.1 listener for status pages (metrics, health checks), on the server's own event
// loop. The protocol is libmicrohttpd's: it runs without a thread of its own, its epoll
// descriptor is watched by the loop and MHD_run is called when that is ready, and a loop timer
// set from MHD_get_timeout after every run lets idle and slow connections time out.
//
// Bounds: at most Limits::connections at once (more wait in the listen backlog), a request
// must fit in Limits::memory_per_connection (a longer request line or a flood of headers is
// refused by the library), and a connection that sends nothing for Limits::timeout_seconds is
// closed. Only GET reaches the pages callback; any other method gets 405.
//
// The pages callback answers through the Answer it is given, at once or later from the loop
// (a page that waits for the database); the connection waits suspended meanwhile. An answer
// for a connection that has gone, or that comes after Stop, is dropped. The loop must outlive
// the listener.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"

namespace larvek {

struct HttpReply {
  unsigned status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
};

class StatusListener {
 public:
  struct Limits {
    unsigned connections = 16;
    size_t memory_per_connection = 16 * 1024;
    unsigned timeout_seconds = 10;
  };
  using Answer = std::function<void(HttpReply)>;
  // A GET of `path` (without the query string); must call `answer` exactly once.
  using PagesFn = std::function<void(const std::string& path, Answer answer)>;

  StatusListener(EventLoop& loop, PagesFn pages, Limits limits);
  StatusListener(EventLoop& loop, PagesFn pages) : StatusListener(loop, std::move(pages), Limits{}) {}
  ~StatusListener();
  StatusListener(const StatusListener&) = delete;
  StatusListener& operator=(const StatusListener&) = delete;

  // Binds `address` (dotted IPv4) and `port` (0: any free one) and starts serving. Throws
  // Error::Socket with the reason when the socket cannot be bound or the library not started.
  void Listen(const std::string& address, uint16_t port);
  // Closes the listener and every connection; answers that are still due are dropped.
  void Stop();
  bool Listening() const;
  // The bound port, once listening.
  uint16_t Port() const { return port_; }

 private:
  struct Daemon;
  struct Pending;
  void Run();
  // Runs the library from the loop's next round (after a resumed connection).
  void RunSoon();
  void ScheduleTimeout();
  unsigned OpenConnections() const;

  EventLoop& loop_;
  PagesFn pages_;
  Limits limits_;
  std::unique_ptr<Daemon> daemon_;
  uint16_t port_ = 0;
  bool run_posted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for tasks posted to the loop
};

}  // namespace larvek
