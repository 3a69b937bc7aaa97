#include "net/status_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <vector>

#include "http_client.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace larvek {
namespace {

using namespace std::chrono_literals;
using testing::HttpAnswer;
using testing::HttpExchange;
using testing::HttpGet;

// The listener runs on a loop in the test thread; the clients are blocking, so each runs in
// its own thread while the test turns the loop until their answers are in.
class StatusListenerTest : public ::testing::Test {
 protected:
  template <typename T>
  T Await(std::future<T>& future, std::chrono::seconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (future.wait_for(0s) != std::future_status::ready) {
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "no answer within " << limit.count() << " s";
        break;
      }
      loop.RunOnce(10);
    }
    return future.get();
  }

  std::future<HttpAnswer> GetLater(const std::string& path) {
    return std::async(std::launch::async,
                      [port = listener->Port(), path] { return HttpGet("127.0.0.1", port, path); });
  }

  int ConnectIdle() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(listener->Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  }

  void Start(StatusListener::Limits limits = {}) {
    listener = std::make_unique<StatusListener>(
        loop,
        [this](const std::string& path, StatusListener::Answer answer) {
          paths.push_back(path);
          if (path == "/later") {
            // Answered from a later loop round, as a page that waits for the database is.
            later.SetHandlers({.on_timer = [this, answer] {
              later.SetEnabled(false);
              answer({200, "text/plain; charset=utf-8", "late\n"});
            }});
            later.SetInterval(200);
            later.SetEnabled(true);
            held = answer;
            return;
          }
          if (path == "/never") {
            held = answer;  // kept unanswered until the listener stops
            return;
          }
          answer({path == "/now" ? 200u : 404u, "text/plain; charset=utf-8", "at " + path + "\n"});
        },
        limits);
    listener->Listen("127.0.0.1", 0);
    ASSERT_NE(listener->Port(), 0);
  }

  EventLoop loop;
  Timer later{loop};
  StatusListener::Answer held;
  std::vector<std::string> paths;
  std::unique_ptr<StatusListener> listener;
};

TEST_F(StatusListenerTest, AnswersAtOnceLaterAndRefusesOtherMethods) {
  Start();
  struct Case {
    const char* request;
    int status;
    const char* body;  // "" when not checked
  };
  const Case cases[] = {
      {"GET /now HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200, "at /now\n"},
      {"GET /now?x=1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200, "at /now\n"},
      {"GET /later HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200, "late\n"},
      {"GET /other HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404, "at /other\n"},
      {"POST /now HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab",
       405, ""},
      {"PUT /now HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", 405,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    auto answer = std::async(std::launch::async, [port = listener->Port(), &c] {
      return HttpExchange("127.0.0.1", port, c.request);
    });
    const HttpAnswer got = Await(answer);
    EXPECT_EQ(got.status, c.status);
    if (*c.body) {
      EXPECT_EQ(got.body, c.body);
    }
    if (c.status == 405) {
      EXPECT_NE(got.headers.find("Allow: GET"), std::string::npos);
    }
  }
  // Only the GETs reach the pages, without their query strings.
  EXPECT_EQ(paths, (std::vector<std::string>{"/now", "/now", "/later", "/other"}));
}

// At its connection limit the listener leaves new connections in the backlog; once the
// connections it holds have timed out, the waiting ones are served, with nothing else
// happening meanwhile to wake the loop.
TEST_F(StatusListenerTest, TheBacklogIsServedAfterHeldConnectionsTimeOut) {
  Start({.connections = 2, .memory_per_connection = 16 * 1024, .timeout_seconds = 1});
  const int idle[] = {ConnectIdle(), ConnectIdle()};
  for (int i = 0; i < 20; ++i) loop.RunOnce(10);  // both taken up
  auto answer = GetLater("/now");
  const HttpAnswer got = Await(answer, 20s);
  EXPECT_EQ(got.status, 200);
  for (int fd : idle) close(fd);
}

// Stopping with an answer still due closes that connection; the answer given afterwards is
// dropped.
TEST_F(StatusListenerTest, StopDropsAnswersStillDue) {
  Start();
  auto answer = GetLater("/never");
  while (!held) loop.RunOnce(10);
  listener->Stop();
  EXPECT_FALSE(listener->Listening());
  const HttpAnswer got = Await(answer);
  EXPECT_TRUE(got.status == 0 || got.status == 503) << got.status;
  held({200, "text/plain", "too late\n"});  // must not touch the stopped listener
  listener.reset();
  held({200, "text/plain", "too late\n"});
}

}  // namespace
}  // namespace larvek
