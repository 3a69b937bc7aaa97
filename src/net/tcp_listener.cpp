#include "net/tcp_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

TcpListener::TcpListener(EventLoop& loop) : loop_(loop), accept_pause_(loop) {
  accept_pause_.OnTimer = [this] {
    accept_pause_.SetEnabled(false);
    if (fd_ >= 0)
      loop_.Watch(fd_, EventLoop::kReadable, [this](uint32_t events) { AcceptEvent(events); });
  };
}

TcpListener::~TcpListener() {
  alive_.reset();
  // Newest first, as the connections came.
  std::vector<uint64_t> ids;
  ids.reserve(clients_.size());
  for (const auto& entry : clients_) ids.push_back(entry.first);
  std::sort(ids.rbegin(), ids.rend());
  for (uint64_t id : ids) clients_.erase(id);
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
  if (listen(fd, SOMAXCONN) != 0) {  // a burst of connecting terminals waits, none is lost
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

std::string TcpListener::ListeningAddress() const {
  const std::optional<Endpoint> local = LocalEndpoint(fd_);
  return local ? DottedQuad(local->address_network_order) : "";
}

void TcpListener::CloseListeningSocket() {
  if (fd_ < 0) return;
  loop_.Unwatch(fd_);
  close(fd_);
  fd_ = -1;
}

TerminalConnection* TcpListener::Find(uint64_t id) const {
  auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second.get();
}

void TcpListener::PostReadTurn(uint64_t id) {
  loop_.Post([this, alive = std::weak_ptr<bool>(alive_), id] {
    if (alive.expired()) return;
    if (TerminalConnection* client = Find(id)) client->ReadTurn();
  });
}

void TcpListener::PauseAccepting() {
  loop_.Unwatch(fd_);
  accept_pause_.SetInterval(kAcceptPauseMs);
  accept_pause_.SetEnabled(true);
}

// Up to kAcceptBatch pending connections per readiness event: a burst of terminals connecting
// while others are busy is taken in at once instead of one per turn of the loop; more pending
// ones keep the socket readable for the next turn.
void TcpListener::AcceptEvent(uint32_t events) {
  if (events & EventLoop::kError) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);  // clears it; nothing else to do
    return;
  }
  for (int i = 0; i < kAcceptBatch && fd_ >= 0; ++i)
    if (!AcceptOne()) return;
}

bool TcpListener::AcceptOne() {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN) return false;
    if (errno == EINTR) return true;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // The pending connection stays pending and the socket readable: accepting at once
      // again would spin. Report the shortage once, then retry after a pause.
      const int code = WinsockCode(errno);
      PauseAccepting();
      if (!shortage_reported_) {
        shortage_reported_ = true;
        BackgroundError(SocketError(code, "Accept"));
      }
      return false;
    }
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
    return false;
  }

  shortage_reported_ = false;
  linger abortive{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  // Every reply leaves in one send, so there are no small writes for Nagle to gather; with it,
  // the tail of a reply longer than one segment would wait for the terminal's acknowledgement
  // of the rest, which a terminal may delay by tens or hundreds of milliseconds.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const uint64_t id = next_id_++;
  std::unique_ptr<TerminalConnection> created;
  if (auto error = CatchError([&] {
        created.reset(new TerminalConnection(*this, id, fd, DottedQuad(peer.sin_addr.s_addr),
                                             std::to_string(ntohs(peer.sin_port))));
      })) {
    close(fd);
    BackgroundError(*error);
    return true;
  }
  TerminalConnection& client = *created;
  clients_.emplace(id, std::move(created));
  BusyScope busy(client.busy_);
  auto error = CatchError([&] {
    if (OnClientConnect) OnClientConnect(*this, client);
    if (Find(id) != nullptr && client.Connected() && !Banner.empty()) {
      client.SendText(Banner + "\r\n");
    }
  });
  if (error) BackgroundError(*error);
  return true;
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
  auto it = clients_.find(id);
  if (it != clients_.end()) {
    std::unique_ptr<TerminalConnection> destroyed = std::move(it->second);
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
