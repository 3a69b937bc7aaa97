// Requests ended by CR: the bytes of a connection are gathered up to the CR, whatever pieces
// they arrive in; silence, the reception limit and the close end a request without one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "loopback_server.h"
#include "manual_monotonic_clock.h"
#include "net/terminal_connection.h"

namespace larvek {
namespace {

using std::chrono::milliseconds;

testing::ManualMonotonicClock& TestClock() {
  static testing::ManualMonotonicClock clock;  // outlives every loop of the tests
  return clock;
}

class FramingTest : public LoopbackServer {
 protected:
  FramingTest() : LoopbackServer(TestClock()) {
    ListenerSettings settings;
    settings.requests_end_with_cr = true;
    listener->SetSettings(settings);
    Listen();
  }
  testing::TerminalPeer& ConnectTerminal(const std::string& name) {
    auto& peer = Connect(name);
    RunUntilLogged(name + " connect count=" + std::to_string(clients.size() + 1));
    return peer;
  }
  // Moves the clock on and runs what is due then.
  void Advance(milliseconds step) {
    TestClock().Advance(step);
    loop.RunOnce(0);
  }
  // Sends and lets the bytes arrive and be handled.
  void SendAndSettle(testing::TerminalPeer& peer, const std::string& bytes) {
    peer.Send(bytes);
    usleep(5000);
    Settle();
  }
  size_t DataLines() const {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [](const std::string& l) {
      return l.find(" data '") != std::string::npos;
    }));
  }
};

TEST_F(FramingTest, ARequestTypedByteByByteIsOneReception) {
  auto& a = ConnectTerminal("A");
  for (char c : std::string("STAV;A1")) SendAndSettle(a, std::string(1, c));
  EXPECT_EQ(DataLines(), 0u);
  SendAndSettle(a, "\r");
  EXPECT_EQ(log, (std::vector<std::string>{"A connect count=1", "A data 'STAV;A1<CR>'"}));
  // A connection with nothing begun holds no timer.
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
}

// Each request is a reception of its own, one per turn: another terminal that is ready is
// served between them.
TEST_F(FramingTest, RequestsInOneArrivalComeOnePerTurn) {
  auto& a = ConnectTerminal("A");
  auto& b = ConnectTerminal("B");
  a.Send("A;1\rA;2\rA;");
  b.Send("B;1\r");
  usleep(20000);  // both are readable when the loop looks
  Settle();
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.end()),
            (std::vector<std::string>{"A data 'A;1<CR>'", "B data 'B;1<CR>'", "A data 'A;2<CR>'"}));
  // The begun third request takes the rest of its bytes.
  SendAndSettle(a, "3\r");
  EXPECT_EQ(log.back(), "A data 'A;3<CR>'");
  EXPECT_EQ(DataLines(), 4u);
}

// Silence of kRequestSilenceMs since the latest byte ends a request without CR; each byte
// starts the silence again.
TEST_F(FramingTest, SilenceDeliversABegunRequestAsItIs) {
  auto& a = ConnectTerminal("A");
  ConnectTerminal("B");  // idle: no timer of its own
  SendAndSettle(a, "STAV;A1");
  EXPECT_GE(loop.MillisecondsToNextTimer(), 0) << "a begun request is watched";
  Advance(milliseconds(1500));
  SendAndSettle(a, "x");
  Advance(milliseconds(600));  // 2.1 s after the first byte, 0.6 s after the latest
  EXPECT_EQ(DataLines(), 0u);
  Advance(milliseconds(TerminalConnection::kRequestSilenceMs - 600));
  EXPECT_EQ(log.back(), "A data 'STAV;A1x'");
  EXPECT_EQ(DataLines(), 1u);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  // The next request is gathered from scratch.
  SendAndSettle(a, "STAV;B2\r");
  EXPECT_EQ(log.back(), "A data 'STAV;B2<CR>'");
}

// Without a CR, kMaxReception bytes go as one reception, as without framing; the rest of the
// run waits for its CR or for silence.
TEST_F(FramingTest, ALongRunWithoutCrIsCutAtTheReceptionLimit) {
  ConnectTerminal("A");
  std::vector<size_t> pieces;
  clients["A"]->SetHandlers(RecordingHandlers("A", [&](TerminalConnection& c) {
    const std::string reception = c.Read();
    pieces.push_back(reception.size());
    if (reception.find('\r') != std::string::npos) pieces.push_back(0);  // marks the CR
  }));
  const size_t kRun = 2 * TerminalConnection::kMaxReception + 1000;
  peers["A"]->Send(std::string(kRun, ';'));
  RunUntil([&] { return pieces.size() == 2; });
  Settle();
  EXPECT_EQ(pieces, (std::vector<size_t>{TerminalConnection::kMaxReception,
                                         TerminalConnection::kMaxReception}));
  Advance(milliseconds(TerminalConnection::kRequestSilenceMs));
  EXPECT_EQ(pieces.back(), 1000u);
  // A CR within the limit ends the piece there.
  pieces.clear();
  peers["A"]->Send(std::string(TerminalConnection::kMaxReception - 1, ';') + "\r;;\r");
  RunUntil([&] { return pieces.size() == 4; });
  EXPECT_EQ(pieces, (std::vector<size_t>{TerminalConnection::kMaxReception, 0, 3, 0}));
}

// The terminal closes with requests waiting: each is delivered, the begun one as it is, then
// the empty reception and the disconnect.
TEST_F(FramingTest, ACloseDeliversWhatWasBegun) {
  auto& a = ConnectTerminal("A");
  SendAndSettle(a, "A;1\rA;2\rA;");
  a.Close();
  RunUntilLogged("A disconnect code=0 count=1");
  EXPECT_EQ(log, (std::vector<std::string>{"A connect count=1", "A data 'A;1<CR>'",
                                           "A data 'A;2<CR>'", "A data 'A;'", "A data ''",
                                           "A disconnect code=0 count=1"}));
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
}

// A handler that closes its own connection when silence delivered the request: nothing is
// delivered again and the object stays valid until the notice.
TEST_F(FramingTest, AHandlerMayCloseItsConnectionFromTheSilenceDelivery) {
  auto& a = ConnectTerminal("A");
  on_data = [](const std::string&, TerminalConnection& c) { c.Reset(); };
  SendAndSettle(a, "BYE");
  Advance(milliseconds(TerminalConnection::kRequestSilenceMs));
  RunUntilLogged("A disconnect code=0 count=1");
  EXPECT_EQ(DataLines(), 1u);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
}

// A connection paused while its request is served delivers nothing more; each resume gives the
// next request, and a close that came meanwhile ends it only after the requests sent before it.
TEST_F(FramingTest, APausedConnectionWaitsAndResumesRequestByRequestUpToItsClose) {
  on_data = [](const std::string&, TerminalConnection& c) { c.PauseReading(); };
  auto& a = ConnectTerminal("A");
  a.Send("A;1\rA;2\rA;3");
  a.Close();
  usleep(5000);
  Settle();
  EXPECT_EQ(log, (std::vector<std::string>{"A connect count=1", "A data 'A;1<CR>'"}));
  const std::vector<std::string> rest = {"A data 'A;2<CR>'", "A data 'A;3'", "A data ''"};
  for (const std::string& next : rest) {
    SCOPED_TRACE(next);
    ASSERT_TRUE(clients["A"]->ReadingPaused());
    clients["A"]->ResumeReading();
    RunUntilLogged(next);
    EXPECT_EQ(log.back(), next);
  }
  clients["A"]->ResumeReading();
  RunUntilLogged("A disconnect code=0 count=1");
}

}  // namespace
}  // namespace larvek
