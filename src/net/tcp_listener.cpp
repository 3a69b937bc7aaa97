#include "net/tcp_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/text.h"
#include "net/host_address.h"
#include "net/socket_error.h"

namespace larvek {

namespace {

// The port number of a port text, in host order.
int ResolvePort(const std::string& port_text) {
  const std::string text(TrimSpaceAndControls(port_text));
  if (text.empty()) ThrowSocketError(kWsaeInval, "listen: port not assigned");
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
    const int code = kWsaNoData;  // the name is valid, the service database has no entry for it
    throw Error::Socket("listen: Winsock Resolve Port: Cannot convert port '" + text + "' - " +
                            SocketErrorDescription(code) + " (#" + std::to_string(code) + ")",
                        code);
  }
  return ntohs(static_cast<uint16_t>(service->s_port));
}

}  // namespace

TcpListener::TcpListener(EventLoop& loop)
    : loop_(loop), accept_pause_(loop), refusal_report_(loop), request_silence_(loop) {
  accept_pause_.SetHandlers({.on_timer = [this] {
    accept_pause_.SetEnabled(false);
    if (fd_ >= 0)
      loop_.Watch(fd_, EventLoop::kReadable, [this](uint32_t events) { AcceptEvent(events); });
  }});
  refusal_report_.SetInterval(kRefusalReportMs);
  refusal_report_.SetHandlers({.on_timer = [this] { ReportRefusalTally(); }});
  request_silence_.SetHandlers({.on_timer = [this] { BegunRequestSilence(); }});
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

void TcpListener::SetSettings(const ListenerSettings& settings) {
  settings_ = settings;
  per_address_.clear();
  if (settings_.max_clients_per_address > 0)
    for (const auto& entry : clients_) ++per_address_[entry.second->PeerAddress()];
}

void TcpListener::Listen(const std::string& address_text, const std::string& port_text) {
  if (fd_ >= 0) return;
  const int port = ResolvePort(port_text);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address_text.empty() && inet_pton(AF_INET, address_text.c_str(), &address.sin_addr) != 1) {
    ThrowSocketError(kWsaeAddrNotAvail, "Bind");
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

void TcpListener::StopServing() {
  CloseListeningSocket();
  for (auto& [id, client] : clients_) client->PauseReading();
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
  ++accept_pauses_;
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
    if (IsSessionLost(code)) {
      CloseListeningSocket();
      if (auto error = CatchError([&] {
            if (handlers_.on_session_closed) handlers_.on_session_closed(*this, code);
          })) {
        BackgroundError(*error);
      }
    }
    BackgroundError(SocketError(code, "Accept"));
    return false;
  }

  shortage_reported_ = false;
  const std::string address = DottedQuad(peer.sin_addr.s_addr);
  if (RefuseBeyondLimits(fd, address)) return true;
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
        created.reset(
            new TerminalConnection(*this, id, fd, address, std::to_string(ntohs(peer.sin_port))));
      })) {
    close(fd);
    BackgroundError(*error);
    return true;
  }
  TerminalConnection& client = *created;
  clients_.emplace(id, std::move(created));
  if (settings_.max_clients_per_address > 0) ++per_address_[address];
  TerminalConnection::BusyScope busy(client);
  auto error = CatchError([&] {
    if (handlers_.on_client_connect) handlers_.on_client_connect(*this, client);
    if (Find(id) != nullptr && client.Connected() && !settings_.greeting.empty()) {
      client.SendText(settings_.greeting + "\r\n");
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
    if (handlers_.on_client_disconnect) handlers_.on_client_disconnect(*this, *client);
  });
  auto it = clients_.find(id);
  if (it != clients_.end()) Unregister(it);
  if (error) BackgroundError(*error);
}

void TcpListener::Unregister(
    std::unordered_map<uint64_t, std::unique_ptr<TerminalConnection>>::iterator it) {
  std::unique_ptr<TerminalConnection> destroyed = std::move(it->second);
  clients_.erase(it);
  if (auto count = per_address_.find(destroyed->PeerAddress()); count != per_address_.end())
    if (--count->second <= 0) per_address_.erase(count);
}

// A refused connection costs no object and no callback: the descriptor is closed at once, so
// a flood of connections beyond the limits cannot hold the server's memory or descriptors.
bool TcpListener::RefuseBeyondLimits(int fd, const std::string& address) {
  const bool total_reached =
      settings_.max_clients > 0 && clients_.size() >= static_cast<size_t>(settings_.max_clients);
  const bool address_reached = [&] {
    if (settings_.max_clients_per_address <= 0) return false;
    const auto count = per_address_.find(address);
    return count != per_address_.end() && count->second >= settings_.max_clients_per_address;
  }();
  if (!total_reached && !address_reached) return false;
  const bool per_address = !total_reached;
  close(fd);
  CountRefusal(per_address, address);
  return true;
}

// The first refusal is reported at once and starts a second; refusals within it are summed
// and reported when it is over, which starts the next second. A second without refusals stops
// the timer, so the next refusal is again reported at once.
void TcpListener::CountRefusal(bool per_address, const std::string& address) {
  if (!refusal_report_.Enabled()) {
    refusal_report_.SetEnabled(true);
    ReportRefused({per_address,
                   per_address ? settings_.max_clients_per_address : settings_.max_clients,
                   per_address ? address : std::string(), 1});
    return;
  }
  if (per_address)
    ++refused_by_address_[address];
  else
    ++refused_total_;
}

void TcpListener::ReportRefusalTally() {
  if (refused_total_ == 0 && refused_by_address_.empty()) {
    refusal_report_.SetEnabled(false);
    return;
  }
  const uint64_t total = refused_total_;
  std::map<std::string, uint64_t> by_address;
  by_address.swap(refused_by_address_);
  refused_total_ = 0;
  if (total > 0) ReportRefused({false, settings_.max_clients, "", total});
  for (const auto& [address, count] : by_address)
    ReportRefused({true, settings_.max_clients_per_address, address, count});
}

void TcpListener::ReportRefused(const RefusedConnections& refused) {
  if (auto error = CatchError([&] {
        if (handlers_.on_connections_refused) handlers_.on_connections_refused(*this, refused);
      })) {
    BackgroundError(*error);
  }
}

bool TcpListener::ShedLargestBacklogs(const TerminalConnection& sender) {
  bool sender_shed = false;
  while (unsent_total_ > kMaxUnsentTotal) {
    TerminalConnection* largest = nullptr;
    for (const auto& entry : clients_) {
      TerminalConnection* c = entry.second.get();
      if (c->Connected() && (largest == nullptr || c->UnsentBytes() > largest->UnsentBytes()))
        largest = c;
    }
    if (largest == nullptr || largest->UnsentBytes() == 0) break;  // nothing left to drop
    if (largest == &sender) sender_shed = true;
    largest->DisconnectSlowReader();
  }
  return sender_shed;
}

void TcpListener::ListBegunRequest(TerminalConnection& client) {
  const auto due = loop_.Now() + std::chrono::milliseconds(TerminalConnection::kRequestSilenceMs);
  if (client.begun_listed_) {
    begun_requests_.splice(begun_requests_.end(), begun_requests_, client.begun_at_);
    client.begun_at_->due = due;
  } else {
    client.begun_at_ =
        begun_requests_.insert(begun_requests_.end(), BegunRequest{client.Id(), due});
    client.begun_listed_ = true;
  }
  // A timer already running is due no later than this request; it looks again when it fires.
  if (!request_silence_.Enabled()) {
    request_silence_.SetInterval(TerminalConnection::kRequestSilenceMs);
    request_silence_.SetEnabled(true);
  }
}

void TcpListener::UnlistBegunRequest(TerminalConnection& client) {
  if (!client.begun_listed_) return;
  begun_requests_.erase(client.begun_at_);
  client.begun_listed_ = false;
  // No timer while nothing is begun: idle connections cost none.
  if (begun_requests_.empty()) request_silence_.SetEnabled(false);
}

// Delivers every begun request whose silence is over, then sets the timer for the next one.
void TcpListener::BegunRequestSilence() {
  request_silence_.SetEnabled(false);
  const auto now = loop_.Now();
  while (!begun_requests_.empty() && begun_requests_.front().due <= now) {
    TerminalConnection* client = Find(begun_requests_.front().id);
    if (client == nullptr) {
      begun_requests_.pop_front();
      continue;
    }
    UnlistBegunRequest(*client);
    client->SilenceEnded();
  }
  if (begun_requests_.empty()) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(begun_requests_.front().due - now);
  request_silence_.SetInterval(static_cast<int>(std::max<int64_t>(1, left.count())));
  request_silence_.SetEnabled(true);
}

void TcpListener::BackgroundError(const Error& error) {
  SocketErrorAction action = SocketErrorAction::kClose;
  CatchError([&] {
    if (handlers_.on_background_error) action = handlers_.on_background_error(*this, error);
  });
  if (action == SocketErrorAction::kClose) CloseListeningSocket();
}

}  // namespace larvek
