#include "net/tcp_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/text.h"
#include "net/host_address.h"
#include "net/socket_error.h"

namespace larvek {

namespace {

struct BusyScope {
  int& busy;
  explicit BusyScope(int& b) : busy(b) { ++busy; }
  ~BusyScope() { --busy; }
};

// The port number of a port text, in host order.
int ResolvePort(const std::string& port_text) {
  const std::string text(TrimSpaceAndControls(port_text));
  if (text.empty()) ThrowSocketError(10022, "listen: port not assigned");
  if (text[0] >= '0' && text[0] <= '9') {
    long value = 0;
    for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      value = value * 10 + (text[i] - '0');
      if (value > 65535) throw Error::Socket("listen: Range check error");
    }
    return static_cast<int>(value);
  }
  const servent* service = getservbyname(text.c_str(), "tcp");
  if (service == nullptr) {
    const int code = 11004;  // the name is valid, the service database has no entry for it
    throw Error::Socket("listen: Winsock Resolve Port: Cannot convert port '" + text + "' - " +
                            SocketErrorDescription(code) + " (#" + std::to_string(code) + ")",
                        code);
  }
  return ntohs(static_cast<uint16_t>(service->s_port));
}

}  // namespace

TcpListener::TcpListener(EventLoop& loop) : loop_(loop) {}

TcpListener::~TcpListener() {
  alive_.reset();
  while (!clients_.empty()) clients_.pop_back();
  CloseListeningSocket();
}

void TcpListener::Listen() {
  if (fd_ >= 0) return;
  const int port = ResolvePort(Port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!Address.empty() && inet_pton(AF_INET, Address.c_str(), &address.sin_addr) != 1) {
    ThrowSocketError(10049, "Bind");
  }

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowSocketError(WinsockCode(errno), "socket");
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int code = WinsockCode(errno);
    close(fd);
    ThrowSocketError(code, "Bind");
  }
  if (listen(fd, 5) != 0) {
    int code = WinsockCode(errno);
    close(fd);
    ThrowSocketError(code, "Listen");
  }
  fd_ = fd;
  loop_.Watch(fd_, EventLoop::kReadable, [this](uint32_t events) { AcceptEvent(events); });
}

int TcpListener::ListeningPort() const {
  const std::optional<Endpoint> local = LocalEndpoint(fd_);
  return local ? local->port : -1;
}

void TcpListener::CloseListeningSocket() {
  if (fd_ < 0) return;
  loop_.Unwatch(fd_);
  close(fd_);
  fd_ = -1;
}

TerminalConnection* TcpListener::Find(uint64_t id) const {
  for (const auto& client : clients_) {
    if (client->id_ == id) return client.get();
  }
  return nullptr;
}

// One pending connection per readiness event; more pending ones keep the socket readable.
void TcpListener::AcceptEvent(uint32_t events) {
  if (events & EventLoop::kError) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);  // clears it; nothing else to do
    return;
  }
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    const int code = WinsockCode(errno);
    if (code == 10054 || code == 10057) {
      CloseListeningSocket();
      if (auto error = CatchError([&] {
            if (OnSessionClosed) OnSessionClosed(*this, code);
          })) {
        BackgroundError(*error);
      }
    }
    BackgroundError(SocketError(code, "Accept"));
    return;
  }

  linger abortive{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  const uint64_t id = next_id_++;
  std::unique_ptr<TerminalConnection> created;
  if (auto error = CatchError([&] {
        created.reset(new TerminalConnection(*this, id, fd, DottedQuad(peer.sin_addr.s_addr),
                                             std::to_string(ntohs(peer.sin_port))));
      })) {
    close(fd);
    BackgroundError(*error);
    return;
  }
  clients_.push_back(std::move(created));
  TerminalConnection& client = *clients_.back();
  BusyScope busy(client.busy_);
  auto error = CatchError([&] {
    if (OnClientConnect) OnClientConnect(*this, client);
    if (Find(id) != nullptr && client.Connected() && !Banner.empty()) {
      client.SendText(Banner + "\r\n");
    }
  });
  if (error) BackgroundError(*error);
}

void TcpListener::PostClosedNotice(uint64_t id) {
  loop_.Post([this, alive = std::weak_ptr<bool>(alive_), id] {
    if (!alive.expired()) HandleClosedNotice(id);
  });
}

void TcpListener::HandleClosedNotice(uint64_t id) {
  TerminalConnection* client = Find(id);
  if (client == nullptr) return;
  if (client->busy_ > 0) {
    // A handler of this connection is still on the stack (a nested loop ran this notice);
    // destroying the object now would pull it from under that handler.
    PostClosedNotice(id);
    return;
  }
  auto error = CatchError([&] {
    if (OnClientDisconnect) OnClientDisconnect(*this, *client);
  });
  auto it =
      std::find_if(clients_.begin(), clients_.end(), [id](const auto& c) { return c->id_ == id; });
  if (it != clients_.end()) {
    std::unique_ptr<TerminalConnection> destroyed = std::move(*it);
    clients_.erase(it);
  }
  if (error) BackgroundError(*error);
}

void TcpListener::BackgroundError(const Error& error) {
  bool can_close = true;
  CatchError([&] {
    if (OnBgException) OnBgException(*this, error, can_close);
  });
  if (can_close) CloseListeningSocket();
}

}  // namespace larvek
