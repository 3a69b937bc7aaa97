// Request rate of a running srvlarvek for a one-row lookup, against the same database work done
// directly through the client library in this process: per request a new link, the definition
// lookup, "SET NAMES cp1250", the template select, close. Then the same requests from several
// terminals at once, which the server's single thread answers one after the other.
//
// Usage: server_rate_bench db_host db_port db_user db_password database
//                          server_host server_port [requests [terminals]]
// The database must hold server_term with the command STAV and the table sklad with the row
// ('A1', 'Šroub', 10); bench/server_rate_bench.sh prepares all of it and runs this.
#include <mysql.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char kRequest[] = "STAV;A1\r";
const char kReply[] = "STAV;A1;Sroub;10#\r";
const char kLookup[] = "select * from server_term where operace = \"STAV\"";
const char kCharset[] = "SET NAMES cp1250";
const char kTemplate[] = "select kod, nazev, mnozstvi from sklad where kod = \"A1\"";

struct Database {
  std::string host, user, password, name;
  unsigned port = 0;
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Runs `sql` and, when it yields a result, fetches its first row; fails when a row was
// expected and none came.
void Run(MYSQL* m, const char* sql, bool want_row) {
  if (mysql_query(m, sql) != 0) throw std::runtime_error(std::string(sql) + ": " + mysql_error(m));
  MYSQL_RES* result = mysql_store_result(m);
  if (!want_row) {
    if (result) mysql_free_result(result);
    return;
  }
  MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr;
  if (result) mysql_free_result(result);
  if (!row) throw std::runtime_error(std::string(sql) + ": no row");
}

// One request's database work, made the way the server makes it.
void DirectRequest(const Database& db) {
  MYSQL* m = mysql_init(nullptr);
  unsigned timeout = 0;
  my_bool reconnect = 0;
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_RECONNECT, &reconnect);
  if (!mysql_real_connect(m, db.host.c_str(), db.user.c_str(), db.password.c_str(), db.name.c_str(),
                          db.port, nullptr, CLIENT_CONNECT_WITH_DB)) {
    std::string error = mysql_error(m);
    mysql_close(m);
    throw std::runtime_error("connect: " + error);
  }
  try {
    Run(m, kLookup, true);
    Run(m, kCharset, false);
    Run(m, kTemplate, true);
  } catch (...) {
    mysql_close(m);
    throw;
  }
  mysql_close(m);
}

// A terminal: one TCP connection to the server, one request at a time.
class Terminal {
 public:
  Terminal(const std::string& host, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    int one = 1;
    if (fd_ < 0 || inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (fd_ >= 0) close(fd_);
      throw std::runtime_error("cannot connect to the server at " + host + ":" +
                               std::to_string(port));
    }
  }
  ~Terminal() { close(fd_); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Sends the request and waits for the whole reply (it ends with CR); checks its text.
  void Ask() {
    if (send(fd_, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != sizeof kRequest - 1)
      throw std::runtime_error("send failed");
    std::string reply;
    char buf[256];
    while (reply.empty() || reply.back() != '\r') {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) throw std::runtime_error("server closed the connection");
      reply.append(buf, n);
    }
    if (reply != kReply) throw std::runtime_error("unexpected reply: " + reply);
  }

 private:
  int fd_ = -1;
};

// Wall time of `requests` requests spread over `terminals` concurrent connections.
Clock::duration Concurrent(const std::string& host, int port, int requests, int terminals) {
  std::vector<std::unique_ptr<Terminal>> peers;
  for (int i = 0; i < terminals; ++i) peers.push_back(std::make_unique<Terminal>(host, port));
  std::vector<std::string> errors(terminals);
  std::vector<std::thread> threads;
  auto t0 = Clock::now();
  for (int i = 0; i < terminals; ++i)
    threads.emplace_back([&, i] {
      try {
        for (int r = i; r < requests; r += terminals) peers[i]->Ask();
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  for (std::thread& t : threads) t.join();
  auto elapsed = Clock::now() - t0;
  for (const std::string& e : errors)
    if (!e.empty()) throw std::runtime_error(e);
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: %s db_host db_port db_user db_password database server_host server_port "
                 "[requests [terminals]]\n",
                 argv[0]);
    return 2;
  }
  Database db{argv[1], argv[3], argv[4], argv[5], static_cast<unsigned>(std::atoi(argv[2]))};
  const std::string server_host = argv[6];
  const int server_port = std::atoi(argv[7]);
  const int requests = argc > 8 ? std::atoi(argv[8]) : 2000;
  const int terminals = argc > 9 ? std::atoi(argv[9]) : 4;

  try {
    mysql_library_init(0, nullptr, nullptr);
    Terminal terminal(server_host, server_port);
    for (int i = 0; i < 50; ++i) {  // warm-up of both sides
      DirectRequest(db);
      terminal.Ask();
    }

    // Alternate blocks so that drift of the machine hits both sides alike.
    const int block = 250;
    Clock::duration direct_time{}, server_time{};
    int runs = 0;
    for (; runs < requests; runs += block) {
      auto t0 = Clock::now();
      for (int i = 0; i < block; ++i) DirectRequest(db);
      auto t1 = Clock::now();
      for (int i = 0; i < block; ++i) terminal.Ask();
      auto t2 = Clock::now();
      direct_time += t1 - t0;
      server_time += t2 - t1;
    }
    Clock::duration many_time = Concurrent(server_host, server_port, runs, terminals);

    double direct_rate = runs / Seconds(direct_time);
    double server_rate = runs / Seconds(server_time);
    double many_rate = runs / Seconds(many_time);
    std::printf("request: STAV;A1 -> %.*s\n", static_cast<int>(sizeof kReply - 2), kReply);
    std::printf("requests each: %d\n", runs);
    std::printf("direct (connect, lookup, SET NAMES, select, close): %8.0f /s  %7.1f us each\n",
                direct_rate, 1e6 / direct_rate);
    std::printf("server, 1 terminal:                                 %8.0f /s  %7.1f us each\n",
                server_rate, 1e6 / server_rate);
    std::printf("ratio server / direct:                              %8.3f\n",
                server_rate / direct_rate);
    std::printf("server, %d terminals at once:                        %8.0f /s  %7.1f us latency\n",
                terminals, many_rate, 1e6 * terminals / many_rate);
    std::printf("ratio %d terminals / 1 terminal:                     %8.3f\n", terminals,
                many_rate / server_rate);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server_rate_bench: %s\n", e.what());
    return 1;
  }
  mysql_library_end();
  return 0;
}
