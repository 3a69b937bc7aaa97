#include "net/status_listener.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <unordered_set>
#include <utility>

#include "base/error.h"
#include "platform/timer.h"

namespace larvek {

// One request between the library's first call of the access handler and its completion
// notice. The answer holds it weakly: the connection may be gone when the answer comes.
struct StatusListener::Pending {
  StatusListener* listener = nullptr;  // lives longer: it frees every pending request
  MHD_Connection* connection = nullptr;
  bool started = false;    // the pages callback has been called
  bool suspended = false;  // waiting for a later answer
  bool in_handler = false; // inside the pages callback: an answer now is queued by the handler
  bool answered = false;
  HttpReply reply;
};

struct StatusListener::Daemon {
  explicit Daemon(EventLoop& loop) : timeout(loop) {}
  MHD_Daemon* mhd = nullptr;
  int listen_fd = -1;
  int epoll_fd = -1;
  unsigned connections = 0;  // open after the last run
  Timer timeout;
  // The requests begun and not completed, owned here; the library holds a raw pointer to
  // the shared pointer of each in its per-request slot.
  std::unordered_set<std::shared_ptr<Pending>*> pending;
};

namespace {

MHD_Result Queue(MHD_Connection* connection, const HttpReply& reply) {
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (reply.status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET");
  const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

StatusListener::StatusListener(EventLoop& loop, PagesFn pages, Limits limits)
    : loop_(loop), pages_(std::move(pages)), limits_(limits) {}

StatusListener::~StatusListener() {
  Stop();
}

bool StatusListener::Listening() const {
  return daemon_ != nullptr;
}

void StatusListener::Listen(const std::string& address, uint16_t port) {
  Stop();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
    throw Error::Socket("'" + address + "' is not an IPv4 address");
  // The socket is bound here, so a port in use is reported with its reason.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Error::Socket(std::string("socket: ") + std::strerror(errno), errno);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    const int err = errno;
    close(fd);
    throw Error::Socket(std::string("bind: ") + std::strerror(err), err);
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);

  auto daemon = std::make_unique<Daemon>(loop_);
  daemon->listen_fd = fd;
  Daemon* state = daemon.get();

  // The library calls the handler with the request's headers, then again once its (empty)
  // body has come; the answer is queued on the second call or, for a later answer, after the
  // connection is resumed.
  MHD_AccessHandlerCallback on_request =
      [](void* self, MHD_Connection* connection, const char* url, const char* method,
         const char* /*version*/, const char* /*upload_data*/, size_t* upload_size,
         void** slot) -> MHD_Result {
    auto* listener = static_cast<StatusListener*>(self);
    if (*slot == nullptr) {
      auto* held = new std::shared_ptr<Pending>(std::make_shared<Pending>());
      (*held)->connection = connection;
      (*held)->listener = listener;
      listener->daemon_->pending.insert(held);
      *slot = held;
      return MHD_YES;
    }
    const std::shared_ptr<Pending> pending = *static_cast<std::shared_ptr<Pending>*>(*slot);
    if (*upload_size != 0) {
      *upload_size = 0;  // a body is not read; the method check answers it
      return MHD_YES;
    }
    if (pending->answered) return Queue(connection, pending->reply);
    if (pending->started) return MHD_YES;  // resumed before its answer: not possible
    pending->started = true;
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
      return Queue(connection, {MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8",
                                "method not allowed\n"});
    }
    std::weak_ptr<Pending> weak = pending;
    pending->in_handler = true;
    listener->pages_(url, [weak](HttpReply reply) {
      const std::shared_ptr<Pending> waiting = weak.lock();
      if (!waiting || waiting->answered) return;
      waiting->answered = true;
      waiting->reply = std::move(reply);
      if (waiting->in_handler || !waiting->suspended) return;
      // Driven from outside, the library takes a resumed connection up at its next run, which
      // calls the handler again to queue the answer.
      waiting->suspended = false;
      MHD_resume_connection(waiting->connection);
      waiting->listener->RunSoon();
    });
    pending->in_handler = false;
    if (pending->answered) return Queue(connection, pending->reply);
    pending->suspended = true;
    MHD_suspend_connection(connection);
    return MHD_YES;
  };
  MHD_RequestCompletedCallback on_completed = [](void* self, MHD_Connection*, void** slot,
                                                 MHD_RequestTerminationCode) {
    auto* listener = static_cast<StatusListener*>(self);
    auto* held = static_cast<std::shared_ptr<Pending>*>(*slot);
    if (held == nullptr) return;
    listener->daemon_->pending.erase(held);
    delete held;
    *slot = nullptr;
  };

  daemon_ = std::move(daemon);
  port_ = ntohs(addr.sin_port);
  state->mhd = MHD_start_daemon(
      MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, on_request, this,
      MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(fd), MHD_OPTION_CONNECTION_LIMIT,
      limits_.connections, MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.memory_per_connection,
      MHD_OPTION_CONNECTION_TIMEOUT, limits_.timeout_seconds, MHD_OPTION_NOTIFY_COMPLETED,
      on_completed, this, MHD_OPTION_END);
  const MHD_DaemonInfo* info =
      state->mhd ? MHD_get_daemon_info(state->mhd, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (info == nullptr) {
    if (state->mhd) MHD_stop_daemon(state->mhd);
    close(fd);
    daemon_.reset();
    port_ = 0;
    throw Error::Socket("the HTTP library did not start");
  }
  state->epoll_fd = info->epoll_fd;
  state->timeout.SetHandlers({.on_timer = [this] {
    daemon_->timeout.SetEnabled(false);
    Run();
  }});
  loop_.Watch(state->epoll_fd, EventLoop::kReadable, [this](uint32_t) { Run(); });
  ScheduleTimeout();
}

void StatusListener::RunSoon() {
  if (run_posted_) return;
  run_posted_ = true;
  loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    run_posted_ = false;
    if (daemon_) Run();
  });
}

void StatusListener::Run() {
  MHD_run(daemon_->mhd);
  // At its connection limit the library takes the listening socket out of its epoll set, and
  // puts it back only at the start of a run after a connection has closed. When the last run
  // closed connections (time-outs, say), nothing may be ready to cause that run, and the
  // backlog would wait forever: run once more, which watches the socket again.
  const unsigned before = daemon_->connections;
  daemon_->connections = OpenConnections();
  if (daemon_->connections < before) {
    MHD_run(daemon_->mhd);
    daemon_->connections = OpenConnections();
  }
  ScheduleTimeout();
}

unsigned StatusListener::OpenConnections() const {
  const MHD_DaemonInfo* info =
      MHD_get_daemon_info(daemon_->mhd, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
  return info ? info->num_connections : 0;
}

void StatusListener::ScheduleTimeout() {
  Timer& timer = daemon_->timeout;
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(daemon_->mhd, &ms) != MHD_YES) {
    timer.SetEnabled(false);
    return;
  }
  // Due now: the next round runs it (an interval of 0 would never fire).
  timer.SetInterval(ms == 0 ? 1 : static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(ms, 60000)));
  timer.SetEnabled(true);
}

void StatusListener::Stop() {
  if (!daemon_) return;
  loop_.Unwatch(daemon_->epoll_fd);
  daemon_->timeout.SetEnabled(false);
  // Suspended connections are resumed so that the library can close them; their answers are
  // dropped.
  for (std::shared_ptr<Pending>* held : daemon_->pending) {
    if ((*held)->suspended) {
      (*held)->suspended = false;
      (*held)->answered = true;
      (*held)->reply = {MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain; charset=utf-8", "stopping\n"};
      MHD_resume_connection((*held)->connection);
    }
  }
  // The library must not hold suspended connections when it stops: a run takes the resumed
  // ones up (their answers are queued and dropped with the connections).
  MHD_run(daemon_->mhd);
  MHD_stop_daemon(daemon_->mhd);  // tells the completion of each request it still held
  // The library leaves the listening socket it was given open.
  close(daemon_->listen_fd);
  for (std::shared_ptr<Pending>* held : daemon_->pending) delete held;
  daemon_.reset();
  port_ = 0;
}

}  // namespace larvek
