// The listening endpoint for terminals and the registry of its connections.
//
// Each accepted connection becomes a TerminalConnection: registered first, then linger on with
// time-out 0, non-blocking, peer address and port kept; then on_client_connect; then, if still
// registered and connected and the settings' greeting is not empty, greeting + CR LF is sent.
// A connection's closed event posts a notice; handling it calls on_client_disconnect and then
// destroys the object (also when the handler failed). ConnectionCount counts registered
// objects, closed ones whose notice is still waiting included.
//
// Bounds (ListenerSettings): a connection beyond max_clients registered connections, or
// beyond max_clients_per_address of them from one peer address, is accepted and closed at
// once: no object, no callback, no greeting. Refusals are reported through
// on_connections_refused at most once a second per limit and address: the first at once, the
// ones after it summed when the second is over. The unsent output of all connections together
// is kept within kMaxUnsentTotal: when a reply takes it beyond, the connection with the most
// unsent bytes is disconnected as a slow reader (see TerminalConnection::SendText).
//
// Errors escaping accepting, on_client_connect, on_client_disconnect, on_connections_refused or
// the greeting go to on_background_error; unless it returns kKeepOpen, the listening socket is
// closed. An accept failing with a lost session (IsSessionLost: 10054, 10057) closes the
// listening socket and calls on_session_closed with that code before the background path.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/error.h"
#include "net/socket_error.h"
#include "net/terminal_connection.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace larvek {

// How many terminals the listener takes, how it greets them and how it frames their requests.
struct ListenerSettings {
  int max_clients = 20000;           // registered connections at most; 0 or less: no limit
  int max_clients_per_address = 0;   // of those, from one peer address; 0 or less: no limit
  bool requests_end_with_cr = false;  // gather each request up to its CR (terminal_connection.h)
  std::string greeting;  // sent + CR LF to each accepted connection; empty sends nothing
};

// Connections refused by one limit since the last report of it.
struct RefusedConnections {
  bool per_address = false;  // max_clients_per_address (else max_clients)
  int limit = 0;             // the limit in force
  std::string address;       // the peers' address, for the per-address limit
  uint64_t count = 0;
};

class TcpListener {
 public:
  explicit TcpListener(EventLoop& loop);
  // Destroys the connections last to first, each closed as by Reset but without any event
  // or callback, then closes the listening socket. Notices still queued are dropped.
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // The listener's handlers (see the top of this file for when each is called).
  struct Handlers {
    std::function<void(TcpListener&, TerminalConnection&)> on_client_connect;
    std::function<void(TcpListener&, TerminalConnection&)> on_client_disconnect;
    std::function<SocketErrorAction(TcpListener&, const Error&)> on_background_error;
    std::function<void(TcpListener&, int code)> on_session_closed;
    std::function<void(TcpListener&, const RefusedConnections&)> on_connections_refused;
  };
  // Replaces the handlers.
  void SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

  // Starts listening on `address` (a dotted quad; empty: every address) and the port `port`
  // names (backlog SOMAXCONN, no address reuse). The port text is trimmed; empty fails
  // with "Invalid argument (#10022 in listen: port not assigned)"; a leading digit takes the
  // leading decimal digits, above 65535 "listen: Range check error"; other texts are tcp
  // service names, unknown ones "listen: Winsock Resolve Port: Cannot convert port '<text>'
  // - No Data (#11004)". Socket, bind and listen failures: "... in socket", "... in Bind",
  // "... in Listen". An address that is no dotted quad fails with "... (#10049 in Bind)". Does
  // nothing while listening.
  void Listen(const std::string& address, const std::string& port);
  bool Listening() const { return fd_ >= 0; }
  // The port actually bound (useful with port "0"); -1 while not listening.
  int ListeningPort() const;
  // The address actually bound as a dotted quad ("0.0.0.0" for every address); empty while not
  // listening.
  std::string ListeningAddress() const;
  // Applies to connections accepted from now on; the framing also to open connections.
  void SetSettings(const ListenerSettings& settings);
  const ListenerSettings& Settings() const { return settings_; }
  // Unsent output of all connections together beyond which the largest backlog is dropped.
  static constexpr size_t kMaxUnsentTotal = size_t{64} << 20;
  // Refusals of one limit are reported at most this often.
  static constexpr int kRefusalReportMs = 1000;
  size_t UnsentTotal() const { return unsent_total_; }
  int ConnectionCount() const { return static_cast<int>(clients_.size()); }
  // Pauses of accepting because descriptors or memory ran short, since the listener was made.
  uint64_t AcceptPauses() const { return accept_pauses_; }
  // The registered connection with this id; nullptr once it has been destroyed.
  TerminalConnection* Find(uint64_t id) const;
  // The end of the run: no connection is accepted any more and none is read (see
  // TerminalConnection::PauseReading); replies still go out.
  void StopServing();
  EventLoop& Loop() { return loop_; }

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
  // Closes `fd` and counts the refusal when a limit is reached; true when it did.
  bool RefuseBeyondLimits(int fd, const std::string& address);
  void CountRefusal(bool per_address, const std::string& address);
  void ReportRefused(const RefusedConnections& refused);
  void ReportRefusalTally();
  // Takes the connection out of clients_ and the per-address counts; the object goes with it.
  void Unregister(std::unordered_map<uint64_t, std::unique_ptr<TerminalConnection>>::iterator it);
  // The unsent total changed by this connection; see kMaxUnsentTotal.
  void AddUnsent(size_t bytes) { unsent_total_ += bytes; }
  void RemoveUnsent(size_t bytes) { unsent_total_ -= bytes; }
  // Disconnects the largest backlogs while the total is beyond the cap; true when `sender`
  // was one of them.
  bool ShedLargestBacklogs(const TerminalConnection& sender);
  // Begun requests (CR framing), oldest first: each connection's silence restarts at the back.
  void ListBegunRequest(TerminalConnection& client);
  void UnlistBegunRequest(TerminalConnection& client);
  void BegunRequestSilence();

  static constexpr int kAcceptPauseMs = 100;
  static constexpr int kAcceptBatch = 64;

  EventLoop& loop_;
  int fd_ = -1;
  uint64_t next_id_ = 1;
  std::unordered_map<uint64_t, std::unique_ptr<TerminalConnection>> clients_;  // by id
  uint64_t accept_pauses_ = 0;
  Timer accept_pause_;
  bool shortage_reported_ = false;  // out of descriptors, logged until an accept succeeds
  ListenerSettings settings_;
  // Registered connections by peer address, kept while a per-address limit is set.
  std::unordered_map<std::string, int> per_address_;
  Timer refusal_report_;  // runs while a refusal was reported within the last second
  uint64_t refused_total_ = 0;                      // refusals not yet reported, max_clients
  std::map<std::string, uint64_t> refused_by_address_;  // and per address
  size_t unsent_total_ = 0;
  std::list<BegunRequest> begun_requests_;  // due times in order: appended at now + silence
  Timer request_silence_;                   // due at the first begun request's end
  Handlers handlers_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // guards queued notices
};

}  // namespace larvek
