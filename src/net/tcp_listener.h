// The listening endpoint for terminals and the registry of its connections.
//
// Each accepted connection becomes a TerminalConnection: registered first, then linger on with
// time-out 0, non-blocking, peer address and port kept; then OnClientConnect; then, if still
// registered and connected and Banner is not empty, Banner + CR LF is sent.
// A connection's closed event posts a notice; handling it calls OnClientDisconnect and then
// destroys the object (also when the handler failed). ConnectionCount counts registered
// objects, closed ones whose notice is still waiting included.
//
// Errors escaping accepting, OnClientConnect, OnClientDisconnect or the banner go to
// OnBgException; can_close comes in true and, left true, closes the listening socket. An
// accept failing with 10054 or 10057 closes the listening socket and fires OnSessionClosed
// with that code before the background path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "net/terminal_connection.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace larvek {

class TcpListener {
 public:
  explicit TcpListener(EventLoop& loop);
  // Destroys the connections last to first, each closed as by Close but without any event
  // or callback, then closes the listening socket. Notices still queued are dropped.
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  std::string Banner = "V\xEDtejte na serveru Larvek!";  // greeting; empty sends nothing
  std::string Address;  // dotted quad to bind to; empty binds every address
  std::string Port;     // port text, resolved by Listen

  // Starts listening (backlog SOMAXCONN, no address reuse). The port text is trimmed; empty fails
  // with "Invalid argument (#10022 in listen: port not assigned)"; a leading digit takes the
  // leading decimal digits, above 65535 "listen: Range check error"; other texts are tcp
  // service names, unknown ones "listen: Winsock Resolve Port: Cannot convert port '<text>'
  // - No Data (#11004)". Socket, bind and listen failures: "... in socket", "... in Bind",
  // "... in Listen". Does nothing while listening.
  void Listen();
  bool Listening() const { return fd_ >= 0; }
  // The port actually bound (useful with port "0"); -1 while not listening.
  int ListeningPort() const;
  // The address actually bound as a dotted quad ("0.0.0.0" for every address); empty while not
  // listening.
  std::string ListeningAddress() const;
  int ConnectionCount() const { return static_cast<int>(clients_.size()); }
  // The registered connection with this id; nullptr once it has been destroyed.
  TerminalConnection* Find(uint64_t id) const;
  EventLoop& Loop() { return loop_; }

  std::function<void(TcpListener&, TerminalConnection&)> OnClientConnect;
  std::function<void(TcpListener&, TerminalConnection&)> OnClientDisconnect;
  std::function<void(TcpListener&, const Error&, bool& can_close)> OnBgException;
  std::function<void(TcpListener&, int code)> OnSessionClosed;

 private:
  friend class TerminalConnection;

  void AcceptEvent(uint32_t events);
  // Accepts one pending connection; false when there is none or accepting failed.
  bool AcceptOne();
  void PostClosedNotice(uint64_t id);
  // Queues another readability turn for connection `id` (skipped when it is gone by then).
  void PostReadTurn(uint64_t id);
  // Accepting stops for a moment when the process is out of descriptors; see AcceptEvent.
  void PauseAccepting();
  void HandleClosedNotice(uint64_t id);
  void BackgroundError(const Error& error);
  void CloseListeningSocket();

  static constexpr int kAcceptPauseMs = 100;
  static constexpr int kAcceptBatch = 64;

  EventLoop& loop_;
  int fd_ = -1;
  uint64_t next_id_ = 1;
  std::unordered_map<uint64_t, std::unique_ptr<TerminalConnection>> clients_;  // by id
  Timer accept_pause_;
  bool shortage_reported_ = false;  // out of descriptors, logged until an accept succeeds
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // guards queued notices
};

}  // namespace larvek
