#include "net/terminal_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/host_address.h"
#include "net/socket_error.h"
#include "net/tcp_listener.h"

namespace larvek {

namespace {

// Readiness is reported on change only: bytes a handler leaves unread wait for the next
// arrival instead of being reported again and again. Bytes left because a reception was cut
// at its limit are delivered by a re-queued turn instead (see ReadabilityEvent).
constexpr uint32_t kBaseInterest = EventLoop::kReadable | EventLoop::kEdgeTriggered;

// Written bytes at the head of the output queue beyond which it is copied without them.
constexpr size_t kCompactAfter = 64 * 1024;

// One read buffer serves every connection, so an idle connection holds no buffer of its own.
char g_read_buffer[TerminalConnection::kMaxReception];

}  // namespace

TerminalConnection::TerminalConnection(TcpListener& listener, uint64_t id, int fd,
                                       std::string peer_address, std::string peer_port)
    : listener_(listener),
      id_(id),
      fd_(fd),
      peer_address_(std::move(peer_address)),
      peer_port_(std::move(peer_port)) {
  listener_.Loop().Watch(fd_, kBaseInterest, [this](uint32_t events) { OnSocketEvent(events); });
}

TerminalConnection::~TerminalConnection() {
  destroying_ = true;
  if (fd_ >= 0) {
    shutdown(fd_, SHUT_WR);
    CloseSocket(0);
  }
}

std::string TerminalConnection::BoundAddress() const {
  const std::optional<Endpoint> local = LocalEndpoint(fd_);
  return local ? DottedQuad(local->address_network_order) : "error";
}

std::string TerminalConnection::BoundPort() const {
  const std::optional<Endpoint> local = LocalEndpoint(fd_);
  return local ? std::to_string(local->port) : "error";
}

int TerminalConnection::SendText(std::string text) {
  if (text.empty()) return 0;
  if (fd_ < 0) ThrowSocketError(kWsaeNotConn, "Send");
  if (UnsentBytes() > kMaxUnsentOutput) {
    // The terminal sends requests without reading the replies: its queue would grow without
    // end. A single reply of any size is queued; the one after it is not.
    DisconnectSlowReader();
    return 0;
  }
  const size_t size = text.size();
  if (HasOutput()) {
    out_ += text;
  } else {
    out_ = std::move(text);
    out_pos_ = 0;
  }
  listener_.AddUnsent(size);
  // Many terminals that each stay below their own limit could still fill the memory together:
  // once the socket has taken what it takes now, the largest backlogs go first.
  try {
    TryToSend();
  } catch (...) {
    listener_.ShedLargestBacklogs(*this);
    throw;
  }
  return listener_.ShedLargestBacklogs(*this) ? 0 : static_cast<int>(size);
}

void TerminalConnection::DisconnectSlowReader() {
  CatchError([&] {
    if (handlers_.on_slow_reader) handlers_.on_slow_reader(*this);
  });
  Reset();
}

void TerminalConnection::DiscardOutput() {
  listener_.RemoveUnsent(UnsentBytes());
  // The memory goes now, not when the object does: a closed connection's notice may wait
  // behind the other events of this turn.
  std::string().swap(out_);
  out_pos_ = 0;
}

void TerminalConnection::TryToSend() {
  while (fd_ >= 0 && HasOutput()) {
    ssize_t n = send(fd_, out_.data() + out_pos_, out_.size() - out_pos_, MSG_NOSIGNAL);
    if (n > 0) {
      out_pos_ += static_cast<size_t>(n);
      listener_.RemoveUnsent(static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || errno == EAGAIN) break;  // the rest goes out on writability
    if (errno == EINTR) continue;
    // This system never half-closes a socket it keeps open, so a broken pipe means the
    // connection is gone: the terminal reset it.
    const int code = errno == EPIPE ? kWsaeConnReset : WinsockCode(errno);
    if (IsSendToGoneConnection(code)) {
      shutdown(fd_, SHUT_WR);
      CloseSocket(code);
      return;
    }
    UpdateInterest();
    ThrowSocketError(code, "TryToSend failed");
  }
  if (!HasOutput()) {
    // A connection that once got a large reply does not keep its buffer while idle.
    if (out_.capacity() > kCompactAfter)
      std::string().swap(out_);
    else
      out_.clear();
    out_pos_ = 0;
  } else if (out_pos_ >= kCompactAfter && out_pos_ >= UnsentBytes()) {
    // The queue's written part is at least as large as its rest: keep only the rest, so a
    // connection holds little more than its unsent bytes. Each copy is smaller than what was
    // written before it, so copying stays linear in the output.
    out_ = out_.substr(out_pos_);
    out_pos_ = 0;
  }
  UpdateInterest();
}

void TerminalConnection::UpdateInterest() {
  if (fd_ < 0 || writable_interest_ == HasOutput()) return;
  writable_interest_ = HasOutput();
  listener_.Loop().SetInterest(
      fd_, kBaseInterest | (writable_interest_ ? uint32_t{EventLoop::kWritable} : 0u));
}

void TerminalConnection::Reset() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_WR);
  CloseSocket(0);
}

void TerminalConnection::CloseGracefully() {
  DiscardOutput();
  if (fd_ < 0) return;
  linger off{0, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  CloseSocket(0);
}

void TerminalConnection::CloseSocket(int event_code) {
  listener_.Loop().Unwatch(fd_);
  taken_.clear();
  taken_.shrink_to_fit();
  searched_ = 0;
  listener_.UnlistBegunRequest(*this);
  // Linux releases the descriptor even when close reports an error, so the connection is
  // closed whatever close returns.
  close(fd_);
  fd_ = -1;
  DiscardOutput();
  writable_interest_ = false;
  FireClosed(event_code);
}

void TerminalConnection::FireClosed(int code) {
  if (closed_event_fired_ || destroying_) return;
  closed_event_fired_ = true;
  closed_event_code_ = code;
  listener_.PostClosedNotice(id_);
}

void TerminalConnection::Fail(int code, const std::string& operation) {
  if (IsSessionLost(code) && fd_ >= 0) CloseSocket(code);
  ThrowSocketError(code, operation);
}

ssize_t TerminalConnection::ReceiveIntoBuffer() {
  ssize_t n;
  do {
    n = recv(fd_, g_read_buffer, sizeof g_read_buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    read_failed_ = true;
    if (errno != EAGAIN) read_error_ = WinsockCode(errno);
  }
  return n;
}

std::string TerminalConnection::Read() {
  read_in_delivery_ = true;
  if (fd_ < 0) {
    read_failed_ = true;
    Fail(kWsaeNotConn, "ioctlSocket");
  }
  if (FramedByCr()) {
    if (taken_.empty()) {
      // Nothing was taken: the end of the stream or a failure is found by reading.
      const ssize_t n = ReceiveIntoBuffer();
      if (n < 0) return "";
      taken_.assign(g_read_buffer, static_cast<size_t>(n));
      socket_full_ = static_cast<size_t>(n) == sizeof g_read_buffer;
      arrived_ = arrived_ || n > 0;
    }
    const size_t length = NextRequestLength();
    if (length == 0) return "";
    searched_ = 0;
    if (length == taken_.size()) {
      // The whole of it: the buffer goes with the reception, so an idle connection keeps none.
      std::string reception = std::move(taken_);
      taken_.clear();
      return reception;
    }
    std::string reception = taken_.substr(0, length);
    taken_.erase(0, length);
    return reception;
  }
  if (!taken_.empty()) {
    // Taken from the socket when the event came (see TakeWaitingBytes).
    std::string reception = std::move(taken_);
    taken_.clear();
    if (reception.size() == kMaxReception) more_waiting_ = true;
    return reception;
  }
  const ssize_t n = ReceiveIntoBuffer();
  if (n < 0) return "";
  // A full buffer may have left bytes in the socket: they form the next reception.
  if (static_cast<size_t>(n) == sizeof g_read_buffer) more_waiting_ = true;
  return std::string(g_read_buffer, static_cast<size_t>(n));
}

bool TerminalConnection::TakeWaitingBytes() {
  if (taken_.size() < kMaxReception) {
    const size_t room = kMaxReception - taken_.size();
    ssize_t n;
    do {
      n = recv(fd_, g_read_buffer, room, 0);
    } while (n < 0 && errno == EINTR);
    socket_full_ = n > 0 && static_cast<size_t>(n) == room;
    if (n > 0) {
      taken_.append(g_read_buffer, static_cast<size_t>(n));
      arrived_ = true;
    } else if (n < 0 && errno != EAGAIN && taken_error_ == 0) {
      // The read took the socket's pending error; the close notification still reports it.
      taken_error_ = errno;
    }
    // n == 0: the terminal closed its side; that is the close notification's business.
  }
  return !taken_.empty();
}

bool TerminalConnection::FramedByCr() const {
  return listener_.Settings().requests_end_with_cr;
}

size_t TerminalConnection::NextRequestLength() {
  if (!FramedByCr()) return taken_.size();
  if (searched_ < taken_.size()) {
    const void* cr = std::memchr(taken_.data() + searched_, '\r', taken_.size() - searched_);
    if (cr != nullptr) {
      searched_ = static_cast<uint32_t>(static_cast<const char*>(cr) - taken_.data());
      return searched_ + size_t{1};
    }
    searched_ = static_cast<uint32_t>(taken_.size());
  }
  // No CR: a full reception goes as it is, as does a begun request when flushing.
  if (taken_.size() >= kMaxReception || flush_) return taken_.size();
  return 0;
}

void TerminalConnection::UpdateBegunRequest() {
  if (fd_ < 0 || taken_.empty()) {
    listener_.UnlistBegunRequest(*this);
  } else if (arrived_ || !begun_listed_) {
    // Silence is counted from the latest byte.
    listener_.ListBegunRequest(*this);
  }
  arrived_ = false;
}

void TerminalConnection::OnSocketEvent(uint32_t events) {
  BusyScope busy(*this);
  int close_code = -1;  // -1: no close notification in this event
  if (events & (EventLoop::kHangup | EventLoop::kError)) {
    // Taken before any read, which would consume the pending error.
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err == 0) err = taken_error_;
    taken_error_ = 0;
    close_code = err != 0 ? WinsockCode(err) : 0;
  }
  if ((events & EventLoop::kWritable) && HasOutput()) {
    if (auto error = CatchError([&] { TryToSend(); })) BackgroundError(*error);
  }
  if (paused_) {
    // Bytes wait in the socket until the read turn of ResumeReading takes them.
    if (events & EventLoop::kReadable) readable_while_paused_ = true;
    if (fd_ >= 0 && close_code >= 0) deferred_close_code_ = close_code;
    return;
  }
  if (fd_ >= 0 && (events & EventLoop::kReadable) && TakeWaitingBytes()) OfferReception();
  if (fd_ >= 0 && close_code >= 0) CloseNotification(close_code);
}

void TerminalConnection::ResumeReading() {
  if (!paused_) return;
  paused_ = false;
  // A read turn is due only when something may wait: bytes taken, a read that filled its room,
  // readiness or a close that came while paused. Otherwise the terminal's next bytes raise a
  // new readiness edge, and a read now would only meet EAGAIN.
  const bool may_wait = !taken_.empty() || socket_full_ || more_waiting_ ||
                        readable_while_paused_ || deferred_close_code_ >= 0;
  readable_while_paused_ = false;
  if (fd_ >= 0 && may_wait) listener_.PostReadTurn(id_);
}

void TerminalConnection::OfferReception() {
  if (!FramedByCr() || NextRequestLength() > 0) {
    ReadabilityEvent();
  } else {
    // A request without its CR yet: it waits for the rest or for silence.
    UpdateBegunRequest();
  }
}

void TerminalConnection::DeliverReception(bool flush) {
  read_in_delivery_ = false;
  read_failed_ = false;
  more_waiting_ = false;
  flush_ = flush;
  try {
    if (handlers_.on_data_available) handlers_.on_data_available(*this);
  } catch (...) {
    // Dropped on purpose: the connection stays open, nothing is reported.
  }
  flush_ = false;
}

void TerminalConnection::ReadabilityEvent() {
  DeliverReception(false);
  if (read_failed_ || fd_ < 0) return;
  // One reception per turn: what a cut reception left in the socket, or the requests after the
  // first one, come at this connection's next turn, after the other connections that are ready
  // now had theirs.
  if (FramedByCr()) {
    if (read_in_delivery_ && (socket_full_ || NextRequestLength() > 0)) listener_.PostReadTurn(id_);
    UpdateBegunRequest();
  } else if (more_waiting_) {
    listener_.PostReadTurn(id_);
  }
}

void TerminalConnection::ReadTurn() {
  BusyScope busy(*this);
  if (fd_ < 0 || paused_) return;  // a paused connection gets its turn when it resumes
  if (deferred_close_code_ >= 0) {
    CloseNotification(deferred_close_code_);
    return;
  }
  if (TakeWaitingBytes()) OfferReception();
}

void TerminalConnection::SilenceEnded() {
  BusyScope busy(*this);
  if (fd_ < 0 || taken_.empty()) return;
  if (paused_) {
    // The begun request waits for the one being served; its silence counts anew after it.
    listener_.ListBegunRequest(*this);
    return;
  }
  arrived_ = false;
  DeliverReception(true);
  // What a handler left unread waits for the next arrival, or for the close.
}

void TerminalConnection::CloseNotification(int code) {
  // The terminal is gone: what it sent before closing is delivered now, reception by reception.
  // A handler that pauses the connection (its request is being served) stops the delivery; the
  // rest, and the end, come when it resumes.
  deferred_close_code_ = code;
  if (FramedByCr()) {
    // The complete requests, then the begun one as it is; a handler that reads nothing ends
    // it. The empty read after them tells the handler of the end.
    while (fd_ >= 0 && !read_failed_ && !paused_ && TakeWaitingBytes()) {
      const size_t before = taken_.size();
      DeliverReception(true);
      if (!read_in_delivery_ || taken_.size() >= before) break;
    }
    if (paused_) return;
    if (fd_ >= 0) DeliverReception(false);
  } else {
    do {
      ReadabilityEvent();
    } while (!paused_ && more_waiting_ && !read_failed_ && fd_ >= 0 && TakeWaitingBytes());
    if (paused_ && fd_ >= 0) return;
  }
  deferred_close_code_ = -1;
  // Without a pending socket error, a read that failed on the way tells how it ended.
  FireClosed(code != 0 ? code : read_error_);
  if (fd_ >= 0) {
    if (auto error = CatchError([&] { Reset(); })) BackgroundError(*error);
  }
}

void TerminalConnection::BackgroundError(const Error& error) {
  SocketErrorAction action = SocketErrorAction::kClose;
  CatchError([&] {
    if (handlers_.on_background_error) action = handlers_.on_background_error(*this, error);
  });
  if (action == SocketErrorAction::kClose) CatchError([&] { CloseGracefully(); });
}

}  // namespace larvek
