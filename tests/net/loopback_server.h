// A listener on 127.0.0.1 with handlers that record every callback as a line, and terminals
// that connect to it; the loop runs in the test thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/tcp_listener.h"
#include "platform/event_loop.h"
#include "terminal_peer.h"

namespace larvek {

class LoopbackServer : public ::testing::Test {
 protected:
  // `clock` drives the loop's timers (a test's manual clock); it must outlive the fixture.
  explicit LoopbackServer(const MonotonicClock& clock = SteadyMonotonicClock()) : loop(clock) {
    InstallHandlers();
  }

  // The recording handlers; the listener greets nobody unless a test sets a greeting.
  void InstallHandlers() { listener->SetHandlers(RecordingListenerHandlers()); }

  // The listener's handlers: each callback is logged; each connection gets RecordingHandlers.
  TcpListener::Handlers RecordingListenerHandlers() {
    return {
        .on_client_connect =
            [this](TcpListener& l, TerminalConnection& c) {
              std::string name = Name(c);
              clients[name] = &c;
              Log(name + " connect count=" + std::to_string(l.ConnectionCount()));
              c.SetHandlers(RecordingHandlers(name));
              if (on_connect) on_connect(name, c);
            },
        .on_client_disconnect =
            [this](TcpListener& l, TerminalConnection& c) {
              std::string name = Name(c);
              Log(name + " disconnect code=" + std::to_string(c.ClosedEventCode()) +
                  " count=" + std::to_string(l.ConnectionCount()));
              clients.erase(name);
              if (on_disconnect) on_disconnect(name, c);
            },
        .on_background_error =
            [this](TcpListener&, const Error& e) {
              Log("server bg " + e.ClassName() + ": " + e.Message());
              return SocketErrorAction::kKeepOpen;
            },
        .on_session_closed =
            [this](TcpListener&, int code) { Log("session closed " + std::to_string(code)); },
        .on_connections_refused =
            [this](TcpListener&, const RefusedConnections& r) {
              Log("refused " + std::to_string(r.count) +
                  (r.per_address ? " from " + r.address + " Max_clients_per_address="
                                 : std::string(" Max_clients=")) +
                  std::to_string(r.limit));
            },
    };
  }

  // The handlers of connection `name`: each reception, slow reader and background error is
  // logged under its name (the error then closes the connection); `on_data_available`, when
  // given, replaces the reception's logging.
  TerminalConnection::Handlers RecordingHandlers(
      const std::string& name,
      std::function<void(TerminalConnection&)> on_data_available = nullptr) {
    if (!on_data_available) {
      on_data_available = [this, name](TerminalConnection& c) {
        received[name] = c.Read();
        Log(name + " data '" + Visible(received[name]) + "'");
        if (on_data) on_data(name, c);
      };
    }
    return {
        .on_data_available = std::move(on_data_available),
        .on_slow_reader = [this, name](TerminalConnection&) { Log(name + " slow"); },
        .on_background_error =
            [this, name](TerminalConnection&, const Error& e) {
              Log(name + " bg " + e.ClassName() + ": " + e.Message());
              return SocketErrorAction::kClose;
            },
    };
  }

  void Listen() {
    listener->Listen("127.0.0.1", "0");
    port = listener->ListeningPort();
  }

  // A terminal that connects now; its callbacks are logged under `name`.
  testing::TerminalPeer& Connect(const std::string& name, const std::string& source = "") {
    peers[name] = std::make_unique<testing::TerminalPeer>(port, "127.0.0.1", source);
    names[std::to_string(peers[name]->LocalPort())] = name;
    return *peers[name];
  }

  // Runs the loop until done() or two seconds passed.
  void RunUntil(const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done() && std::chrono::steady_clock::now() < end) loop.RunOnce(10);
  }
  // Runs the loop until `line` has been logged.
  void RunUntilLogged(const std::string& line) {
    RunUntil([&] { return Logged(line); });
    EXPECT_TRUE(Logged(line)) << "missing: " << line;
  }
  // Runs the loop for a while, for checks that nothing (more) happens.
  void Settle() {
    for (int i = 0; i < 5; ++i) loop.RunOnce(10);
  }
  bool Logged(const std::string& line) const {
    for (const auto& l : log) {
      if (l == line) return true;
    }
    return false;
  }

  std::string Name(const TerminalConnection& c) {
    auto it = names.find(c.PeerPort());
    return it == names.end() ? "?" + c.PeerPort() : it->second;
  }
  static std::string Visible(const std::string& s) {
    std::string out;
    for (char ch : s)
      out += ch == '\r' ? std::string("<CR>") : ch == '\n' ? "<LF>" : std::string(1, ch);
    return out;
  }
  void Log(const std::string& line) { log.push_back(line); }

  EventLoop loop;
  std::unique_ptr<TcpListener> listener = std::make_unique<TcpListener>(loop);
  int port = -1;
  std::vector<std::string> log;
  std::map<std::string, std::string> names;  // peer port -> name
  std::map<std::string, std::unique_ptr<testing::TerminalPeer>> peers;
  std::map<std::string, TerminalConnection*> clients;
  std::map<std::string, std::string> received;  // name -> its latest reception
  std::function<void(const std::string&, TerminalConnection&)> on_connect, on_data, on_disconnect;
};

}  // namespace larvek
