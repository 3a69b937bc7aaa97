// One accepted terminal connection, owned by its listener (see tcp_listener.h).
//
// Events of the socket, each handled to completion on the loop thread:
//  - readability: on_data_available is called once; it reads one reception (at most
//    kMaxReception bytes). When more is waiting (the reception filled that limit, or further
//    requests came in the same arrival), the connection gets another turn behind the events
//    already queued, so one connection cannot keep the others waiting.
//    An error escaping on_data_available is dropped: the event ends there and the connection
//    stays open; bytes a handler left unread are delivered by the next arrival.
//  - writability: queued output is written; a failure goes to on_background_error, whose
//    answer says whether the connection is closed gracefully.
//  - close notification (the terminal closed or reset the connection): one more readability
//    call regardless of what is waiting (so an orderly close ends with an empty read), then
//    the closed event (code 0, or the reset's code such as 10054), then Reset.
// The closed event fires at most once. It posts a notice to the loop; handling the notice
// calls the listener's on_client_disconnect and destroys the object, so the object stays valid
// (closed, fields kept) until then, whoever closed it.
//
// Linger is on with time-out 0 from the accept: closing the socket as it is resets the
// connection (Reset); CloseGracefully switches linger off first.
//
// Framing. By default the bytes that arrive together form one reception. When the listener's
// settings end requests with CR, the bytes are gathered until a CR instead: a reception is
// everything up to and including the first CR, or kMaxReception bytes without one, or what
// has come when kRequestSilenceMs passed without a byte (the listener's one timer watches
// the connections with a request begun). Bytes after a CR wait for the connection's next
// turn. A close notification delivers the complete requests, then the begun one as it is,
// each as a reception of its own, before the empty read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <utility>

#include "base/error.h"
#include "net/socket_error.h"
#include "platform/monotonic_clock.h"

namespace larvek {

class TcpListener;

// A connection whose request has begun without its CR, and when silence ends that request.
struct BegunRequest {
  uint64_t id;
  MonotonicClock::TimePoint due;
};

class TerminalConnection {
 public:
  ~TerminalConnection();  // closes the socket as Reset does, without a closed event
  TerminalConnection(const TerminalConnection&) = delete;
  TerminalConnection& operator=(const TerminalConnection&) = delete;

  // Unique among the listener's connections for its whole life; never reused.
  uint64_t Id() const { return id_; }
  // The terminal's address and port, taken when the connection was accepted.
  const std::string& PeerAddress() const { return peer_address_; }
  const std::string& PeerPort() const { return peer_port_; }
  // The local end, read from the socket on each call; "error" once closed or on failure.
  std::string BoundAddress() const;
  std::string BoundPort() const;
  bool Connected() const { return fd_ >= 0; }
  // The code the closed event fired with; -1 while it has not fired.
  int ClosedEventCode() const { return closed_event_code_; }

  // Queues text and writes as much as the socket takes now; the rest goes out on writability.
  // Returns text.size(). When more than kMaxUnsentOutput bytes of earlier output are still
  // unsent, on_slow_reader is called and the connection is reset instead (returns 0). When the
  // queued text takes the unsent bytes of all the listener's connections beyond
  // TcpListener::kMaxUnsentTotal, the connections with the most unsent bytes are disconnected
  // the same way until the total is within it (returns 0 when this one was). The empty text
  // returns 0 in any state. Not connected: "Socket is not connected (#10057 in Send)". A write
  // that finds the connection gone (IsSendToGoneConnection: 10053, 10054, 10038, 10057, 10022)
  // closes it (closed event with that code) and is not reported; any other failure raises
  // "... in TryToSend failed" and keeps the unwritten bytes queued.
  // Taken by value: a long reply is moved into an empty queue instead of copied.
  int SendText(std::string text);
  // Shuts down the sending direction, then closes with linger on and time-out 0: untransmitted
  // bytes are dropped and the terminal sees a reset. Closed event with code 0. Nothing happens
  // on a closed connection.
  void Reset();
  // Discards the queue, switches linger off and closes without shutting down first: the system
  // ends the connection in the background with an orderly close. Closed event with code 0.
  void CloseGracefully();
  // The longest reception; longer input is split into several receptions.
  static constexpr size_t kMaxReception = 64 * 1024;
  // Output still unsent beyond which the next reply is not queued: the connection is reset.
  static constexpr size_t kMaxUnsentOutput = 1024 * 1024;
  // Silence that ends a request without its CR, when requests end with CR.
  static constexpr int kRequestSilenceMs = 2000;

  // Bytes queued and not yet taken by the socket.
  size_t UnsentBytes() const { return out_.size() - out_pos_; }

  // Stops delivering receptions until ResumeReading: the terminal's request is being served,
  // and its next bytes wait (in the socket, or taken) so that its replies keep the order of
  // its requests. Output still goes out. A close notification that comes meanwhile waits too.
  void PauseReading() { paused_ = true; }
  // Delivers again, from a read turn posted to the loop (never inside this call): what waits,
  // then a close notification that waited.
  void ResumeReading();
  bool ReadingPaused() const { return paused_; }

  // Reads what the socket holds, at most kMaxReception bytes. Returns "" when nothing came or
  // the read failed; a failure ends the readability event. Not connected: "... in
  // ioctlSocket". With requests ended by CR: the next request (see Framing above), "" while
  // the one begun lacks its CR.
  std::string Read();

  struct Handlers {
    // Bytes wait to be read (see the events above).
    std::function<void(TerminalConnection&)> on_data_available;
    // The terminal does not read its replies; called just before the connection is reset.
    std::function<void(TerminalConnection&)> on_slow_reader;
    // An error of writing queued bytes or of resetting after a close notification. kClose
    // closes the connection gracefully, as does a handler that throws or is missing.
    std::function<SocketErrorAction(TerminalConnection&, const Error&)> on_background_error;
  };
  // Replaces the handlers; set by the listener's on_client_connect.
  void SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

 private:
  friend class TcpListener;
  TerminalConnection(TcpListener& listener, uint64_t id, int fd, std::string peer_address,
                     std::string peer_port);

  void OnSocketEvent(uint32_t events);
  // Reads what the socket holds into taken_, up to kMaxReception bytes in all, where the next
  // Read finds it: the read that tells whether anything came is the reception itself. True
  // when taken_ holds bytes (also bytes a handler left unread). End of stream and failures
  // take nothing; a failure's code is kept for the close notification.
  bool TakeWaitingBytes();
  // One recv into the shared read buffer; a failure (-1) ends the readability event, and one
  // other than "nothing waiting" is kept for the close notification.
  ssize_t ReceiveIntoBuffer();
  // Delivers what was taken; with requests ended by CR only a complete request, a begun one
  // waits for its CR or for silence.
  void OfferReception();
  void ReadabilityEvent();
  // Calls on_data_available; `flush` lets a begun request go as it is.
  void DeliverReception(bool flush);
  // The re-queued turn of a connection that has more waiting than its last reception took.
  void ReadTurn();
  // kRequestSilenceMs passed since the last byte of a begun request: it goes as it is.
  void SilenceEnded();
  bool FramedByCr() const;
  // The length of the next reception in taken_: with CR framing up to and including the first
  // CR, kMaxReception without one, everything when flushing, else 0 (still incomplete).
  size_t NextRequestLength();
  // Keeps the listener's list of begun requests in step with taken_ after an event.
  void UpdateBegunRequest();
  // on_slow_reader, then Reset.
  void DisconnectSlowReader();
  // Drops the queued output and its share of the listener's unsent total.
  void DiscardOutput();
  void CloseNotification(int code);
  void BackgroundError(const Error& error);
  void TryToSend();
  bool HasOutput() const { return out_pos_ < out_.size(); }
  void UpdateInterest();
  void CloseSocket(int event_code);
  void FireClosed(int code);
  // The failure of a socket operation; a lost session (IsSessionLost) closes the socket first.
  [[noreturn]] void Fail(int code, const std::string& operation);

  TcpListener& listener_;
  const uint64_t id_;
  int fd_;
  std::string peer_address_;
  std::string peer_port_;
  std::string out_;  // output queue: out_[out_pos_..] waits to be written; the written head
                     // is dropped once it is as large as the rest
  size_t out_pos_ = 0;
  bool writable_interest_ = false;
  bool closed_event_fired_ = false;
  int closed_event_code_ = -1;
  bool destroying_ = false;
  // Counts the handlers of this connection on the stack (the listener's and the socket's
  // events); while any is, the closed notice waits instead of destroying the object.
  int busy_ = 0;
  struct BusyScope {
    explicit BusyScope(TerminalConnection& connection) : busy(connection.busy_) { ++busy; }
    ~BusyScope() { --busy; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    int& busy;
  };
  bool read_in_delivery_ = false;  // the current on_data_available call has called Read
  bool read_failed_ = false;
  bool more_waiting_ = false;  // the latest read filled kMaxReception
  int read_error_ = 0;         // code of the latest failed read that ended the connection
  std::string taken_;          // bytes taken from the socket that no Read has returned yet
  int taken_error_ = 0;        // errno of a failure TakeWaitingBytes took from the socket
  // CR framing: the leading bytes of taken_ known to hold no CR, so each byte is searched once.
  uint32_t searched_ = 0;
  bool flush_ = false;         // the current delivery may take a request without its CR
  bool arrived_ = false;       // bytes came since the begun request's silence was restarted
  bool socket_full_ = false;   // the latest read filled the room it had: more may be waiting
  bool begun_listed_ = false;  // listed in the listener's begun requests, at begun_at_
  bool paused_ = false;        // see PauseReading
  bool readable_while_paused_ = false;  // a readiness edge came while paused
  int deferred_close_code_ = -1;  // a close notification that came while paused
  std::list<BegunRequest>::iterator begun_at_;
  Handlers handlers_;
};

}  // namespace larvek
