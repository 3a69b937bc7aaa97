// Figures of a running srvlarvek for a one-row lookup, each a ratio against a baseline taken
// in the same round; the arms of a round are interleaved and the median over the rounds is
// reported:
//  - requests/s with 1 terminal against the same database work done directly through the
//    client library in this process (per request a new link, the definition lookup,
//    "SET NAMES cp1250", the template select, close);
//  - the server's CPU per request against this process's CPU per direct request (user +
//    system time of both, read from their CPU-time clocks);
//  - requests/s of one terminal while `idle` more terminals are connected and silent, against
//    the same terminal without them;
//  - p99 latency with `busy` terminals asking at once, against `busy` times the mean time of
//    one request at 1 terminal (the single thread answers them one after the other);
//  - the server's resident memory per idle connection (VmRSS growth / count; the growth of
//    the first round, where nothing freed before can be reused, and the largest);
//  - for scale, the time and CPU per request of a bare process that does only the part of a
//    request no server can leave out (the terminal hop and the file writes, see BareHop), and
//    the ratios the direct work would have with just that added;
//  - the floor of any server that answers this request: the same bare process doing the direct
//    database work, its link opened without blocking while it writes its files (a minimal
//    server, BareHop with a database); its rate and CPU against the direct work, and the
//    server's against it.
// With --config-db and the three servers after it, the same rounds also measure configuration
// mode (definitions in the own INI, a one-row select), the server one request at a time
// against the server in parallel mode (Parallel_requests=N, N links at most):
//  - requests/s with 1 terminal, parallel against one at a time (alternating blocks);
//  - requests/s with `busy` terminals, parallel against one at a time, and against the minimal
//    pooled server (bench/minimal_pooled_server.cpp: one epoll thread doing only the required
//    work on N kept links), the floor of a server on kept links; for scale, `busy` direct
//    client processes doing the server's database work with a new link per request and with a
//    kept link (reset, "SET NAMES cp1250", select);
//  - p99 of 8 terminals while a ninth runs one-second statements back to back, against their
//    p99 without the ninth, in both modes;
//  - resident memory per idle connection of the parallel mode.
// With --watched, a fourth server (table mode, like the first) with its status listener on
// STATUS_PORT, whose /metrics page a thread of this program fetches once a second for the
// whole run: its one-terminal rate against the first server's (no status listener), in the
// same alternating blocks.
//
// Usage: server_rate_bench db_host db_port db_user db_password database
//                          server_host server_port server_pid
//                          [requests [rounds [idle [busy [busy_requests]]]]]
//                          [--config-db NAME --one-at-a-time HOST:PORT:PID
//                           --parallel HOST:PORT:PID --pooled HOST:PORT:PID
//                           [--parallel-links N] [--slow-seconds S]]
//                          [--watched HOST:PORT:PID --status-port STATUS_PORT]
// The database must hold server_term with the command STAV and the table sklad with the row
// ('A1', 'Šroub', 10); the configuration database the same table sklad and no server_term, and
// the configuration-mode servers the sections STAV (that row's columns) and POMALU
// (`select sleep(1) as v`); bench/server_rate_bench.sh prepares all of it and runs this.
#include <mysql.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
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
// The statement of one second that a terminal runs back to back while others ask for a row
// (configuration mode: the section POMALU, `select sleep(1) as v`).
const char kSlowRequest[] = "POMALU;1\r";
const char kSlowReply[] = "POMALU;0#\r";

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

// A new link handle with the server's client options: time-outs of connect, read and write at
// the server's default 30 s, no reconnect, cp1250 from the handshake.
MYSQL* NewLink(bool nonblocking) {
  MYSQL* m = mysql_init(nullptr);
  if (!m) throw std::runtime_error("mysql_init failed");
  unsigned timeout = 30;
  my_bool reconnect = 0;
  if (nonblocking) mysql_options(m, MYSQL_OPT_NONBLOCK, nullptr);
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_RECONNECT, &reconnect);
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "cp1250");
  return m;
}

// The statements of one request on the open link `m`; closes it when one fails.
void RunStatements(MYSQL* m) {
  try {
    Run(m, kLookup, true);
    Run(m, kCharset, false);
    Run(m, kTemplate, true);
  } catch (...) {
    mysql_close(m);
    throw;
  }
}

[[noreturn]] void FailConnect(MYSQL* m) {
  std::string error = mysql_error(m);
  mysql_close(m);
  throw std::runtime_error("connect: " + error);
}

// One request's whole database work through the client library's plain blocking calls: the
// baseline.
void DirectRequest(const Database& db) {
  MYSQL* m = NewLink(false);
  if (!mysql_real_connect(m, db.host.c_str(), db.user.c_str(), db.password.c_str(), db.name.c_str(),
                          db.port, nullptr, CLIENT_CONNECT_WITH_DB))
    FailConnect(m);
  RunStatements(m);
  mysql_close(m);
}

// A link whose connect runs without blocking: Start sends the connect and returns while the
// database accepts it; Finish waits for the rest of the handshake and returns the open link.
class StartedLink {
 public:
  explicit StartedLink(const Database& db) : m_(NewLink(true)) {
    waits_for_ = mysql_real_connect_start(&opened_, m_, db.host.c_str(), db.user.c_str(),
                                          db.password.c_str(), db.name.c_str(), db.port, nullptr,
                                          CLIENT_CONNECT_WITH_DB);
  }
  MYSQL* Finish() {
    while (waits_for_ != 0) {
      pollfd watch{mysql_get_socket(m_), 0, 0};
      if (waits_for_ & MYSQL_WAIT_READ) watch.events |= POLLIN;
      if (waits_for_ & MYSQL_WAIT_WRITE) watch.events |= POLLOUT;
      const int ready = poll(&watch, 1, 30000);
      int happened = ready == 0 ? MYSQL_WAIT_TIMEOUT : 0;
      if (watch.revents & POLLIN) happened |= MYSQL_WAIT_READ;
      if (watch.revents & POLLOUT) happened |= MYSQL_WAIT_WRITE;
      if (watch.revents & (POLLERR | POLLHUP))
        happened |= waits_for_ & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
      waits_for_ = mysql_real_connect_cont(&opened_, m_, happened);
    }
    if (!opened_) FailConnect(m_);
    return m_;
  }

 private:
  MYSQL* m_;
  MYSQL* opened_ = nullptr;
  int waits_for_ = 0;
};

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

double ClockSeconds(clockid_t clock) {
  timespec t{};
  if (clock_gettime(clock, &t) != 0) throw std::runtime_error("cannot read a CPU clock");
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU seconds (user + system) of the process `pid`, from its CPU-time clock: nanosecond
// resolution, where the utime and stime of /proc/<pid>/stat come in clock ticks (10 ms), a
// large part of the server's CPU time in one block of a round.
class ProcessCpu {
 public:
  explicit ProcessCpu(int pid) {
    if (clock_getcpuclockid(pid, &clock_) != 0)
      throw std::runtime_error("cannot read the CPU clock of process " + std::to_string(pid));
  }
  double operator()() const { return ClockSeconds(clock_); }

 private:
  clockid_t clock_{};
};

// CPU seconds (user + system) of this process, from the same kind of clock.
double OwnCpu() {
  return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

// The part of a request that the server adds and that no server can leave out, alone: a
// forked process that answers the request over loopback TCP from an epoll loop and writes what
// the server writes per request (the reception over the start of a dump file, two lines of
// some 45 bytes each to a log file and to a second file standing for standard output), and
// nothing else. Its time and CPU per request show what that part costs on this machine.
// Given a database, it also does the direct request's work, the best way known for a server:
// the link's connect is started before the file writes (the database accepts it meanwhile)
// and finished after them, the statements run, the reply is sent, and the link is closed after
// the reply. That is the least any server answering this request does.
class BareHop {
 public:
  explicit BareHop(const Database* db = nullptr) : db_(db) {
    char dir_template[] = "/tmp/larvek-hop-XXXXXX";
    if (!mkdtemp(dir_template)) throw std::runtime_error("mkdtemp failed");
    dir_ = dir_template;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      if (listener >= 0) close(listener);
      rmdir(dir_.c_str());
      throw std::runtime_error("bare hop: cannot listen");
    }
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("bare hop: fork failed");
    if (pid_ == 0) Serve(listener);  // does not return
    close(listener);
    if (clock_getcpuclockid(pid_, &clock_) != 0)
      throw std::runtime_error("bare hop: cannot read its CPU clock");
    terminal_ = std::make_unique<Terminal>("127.0.0.1", ntohs(addr.sin_port));
  }
  ~BareHop() {
    terminal_.reset();  // the child ends with its connection
    waitpid(pid_, nullptr, 0);
    for (const char* name : {"u.txt", "log.txt", "stdout.txt"}) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  BareHop(const BareHop&) = delete;
  BareHop& operator=(const BareHop&) = delete;

  // Seconds and CPU seconds of the bare process per request, over `requests` requests.
  std::pair<double, double> Measure(int requests) {
    const double c0 = ClockSeconds(clock_);
    const auto t0 = Clock::now();
    for (int i = 0; i < requests; ++i) terminal_->Ask();
    const double seconds = Seconds(Clock::now() - t0) / requests;
    return {seconds, (ClockSeconds(clock_) - c0) / requests};
  }

 private:
  [[noreturn]] void Serve(int listener) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
    const int dump = open((dir_ + "/u.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    const int log = open((dir_ + "/log.txt").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    const int out = open((dir_ + "/stdout.txt").c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0644);
    const int poller = epoll_create1(0);
    epoll_event watch{};
    watch.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    watch.data.fd = fd;
    if (fd < 0 || dump < 0 || log < 0 || out < 0 || poller < 0 ||
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &watch) != 0)
      _exit(1);
    const char line[] = "12:00:00  Na\xE8teno z 127.0.0.1: 'STAV;A1'\r\n";
    const char sent[] = "12:00:00  Odeslal na 127.0.0.1: STAV;A1;Sroub;10#\r\n";
    bool ok = true;
    for (;;) {
      epoll_event events[4];
      if (epoll_wait(poller, events, 4, -1) < 0 && errno != EINTR) _exit(1);
      char buf[256];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n == 0) _exit(ok ? 0 : 1);
      if (n < 0) continue;
      MYSQL* link = nullptr;
      try {
        std::optional<StartedLink> started;
        if (db_) started.emplace(*db_);
        ok &= pwrite(dump, buf, n, 0) == n;
        ok &= write(log, line, sizeof line - 1) == sizeof line - 1;
        ok &= write(out, line, sizeof line - 1) == sizeof line - 1;
        if (started) {
          link = started->Finish();
          RunStatements(link);
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "minimal server: %s\n", e.what());
        _exit(1);
      }
      ok &= send(fd, kReply, sizeof kReply - 1, MSG_NOSIGNAL) == sizeof kReply - 1;
      ok &= write(log, sent, sizeof sent - 1) == sizeof sent - 1;
      ok &= write(out, sent, sizeof sent - 1) == sizeof sent - 1;
      if (link) mysql_close(link);
    }
  }

  const Database* db_;
  std::string dir_;
  pid_t pid_ = -1;
  clockid_t clock_{};
  std::unique_ptr<Terminal> terminal_;
};

// Resident memory of the process `pid` in bytes (VmRSS of /proc/<pid>/status).
long ResidentBytes(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) * 1024;
  throw std::runtime_error("cannot read VmRSS of the server");
}

// Sockets the process `pid` holds (files it opens for a moment do not count).
int OpenSockets(int pid) {
  const std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(dir_path.c_str());
  if (!dir) throw std::runtime_error("cannot read the server's descriptors");
  int count = 0;
  char target[64];
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    ssize_t n = readlinkat(dirfd(dir), entry->d_name, target, sizeof target - 1);
    if (n > 7 && std::memcmp(target, "socket:", 7) == 0) ++count;
  }
  closedir(dir);
  return count;
}

// Waits until the server holds `count` sockets (it has taken in or let go of connections).
void AwaitSockets(int pid, int count, const char* what) {
  auto until = Clock::now() + std::chrono::seconds(60);
  while (OpenSockets(pid) != count) {
    if (Clock::now() > until)
      throw std::runtime_error(std::string("the server did not ") + what + " in time (" +
                               std::to_string(OpenSockets(pid)) + " sockets, expected " +
                               std::to_string(count) + ")");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Terminals that connect and stay silent; closed with a reset, so that no port is left
// waiting in TIME_WAIT between rounds.
class IdleTerminals {
 public:
  IdleTerminals(const std::string& host, int port, int count, int server_pid) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
      throw std::runtime_error("bad server address " + host);
    const int base = OpenSockets(server_pid);
    // In steps well below the listen backlog: the server takes each step in before the next.
    const int step = 500;
    for (int done = 0; done < count;) {
      const int n = std::min(step, count - done);
      for (int i = 0; i < n; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        fds_.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
            errno != EINPROGRESS)
          throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
      }
      done += n;
      AwaitSockets(server_pid, base + done, "accept the idle terminals");
    }
  }
  ~IdleTerminals() {
    for (int fd : fds_) {
      linger off{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
      close(fd);
    }
  }
  IdleTerminals(const IdleTerminals&) = delete;
  IdleTerminals& operator=(const IdleTerminals&) = delete;

 private:
  std::vector<int> fds_;
};

// Latencies (seconds) of `per_terminal` requests from each of `terminals` concurrent
// connections, every terminal asking again as soon as its reply came.
std::vector<double> BusyLatencies(const std::string& host, int port, int terminals,
                                  int per_terminal) {
  std::vector<std::unique_ptr<Terminal>> peers;
  for (int i = 0; i < terminals; ++i) peers.push_back(std::make_unique<Terminal>(host, port));
  std::vector<std::vector<double>> latencies(terminals);
  std::vector<std::string> errors(terminals);
  std::vector<std::thread> threads;
  for (int i = 0; i < terminals; ++i)
    threads.emplace_back([&, i] {
      try {
        for (int r = 0; r < per_terminal; ++r) {
          auto t0 = Clock::now();
          peers[i]->Ask();
          latencies[i].push_back(Seconds(Clock::now() - t0));
        }
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors)
    if (!e.empty()) throw std::runtime_error(e);
  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  return all;
}

// A server under test named on the command line: where it listens and its process.
struct ServerUnderTest {
  std::string host;
  int port = 0;
  int pid = 0;
};

// "HOST:PORT:PID"
ServerUnderTest ParseServer(const std::string& text) {
  const size_t first = text.find(':');
  const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos) throw std::runtime_error("expected HOST:PORT:PID: " + text);
  return {text.substr(0, first), std::atoi(text.c_str() + first + 1),
          std::atoi(text.c_str() + second + 1)};
}

// What DriveTerminals runs: `fast` terminals asking for the row (`per_terminal` requests each,
// or, with 0, for `seconds`), and `slow` terminals running the one-second statement back to
// back for as long as any fast terminal asks.
struct LoadPlan {
  int fast = 0;
  int per_terminal = 0;
  double seconds = 0;
  int slow = 0;
};

struct LoadResult {
  std::vector<double> latencies;  // seconds, one per request of the fast terminals
  double seconds = 0;             // from the first request sent to the last fast reply
  int slow_replies = 0;
};

// Terminals driven from this thread through one epoll set (the load itself costs little CPU
// and no thread switches), each in a closed loop: it sends its request and sends the next one
// when the whole reply (ended by CR) has come and matched. Fails when a reply is wrong, a
// connection closes, or nothing arrives for 30 s (a hang).
LoadResult DriveTerminals(const std::string& host, int port, const LoadPlan& plan) {
  struct Peer {
    int fd = -1;
    bool slow = false;
    bool asking = false;
    int done = 0;
    Clock::time_point sent;
    std::string reply;
  };
  std::vector<Peer> peers(plan.fast + plan.slow);
  const int poller = epoll_create1(0);
  if (poller < 0) throw std::runtime_error("epoll_create1 failed");
  auto cleanup = [&] {
    for (Peer& p : peers)
      if (p.fd >= 0) close(p.fd);
    close(poller);
  };
  LoadResult result;
  try {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
      throw std::runtime_error("bad server address " + host);
    for (size_t i = 0; i < peers.size(); ++i) {
      Peer& p = peers[i];
      p.slow = static_cast<int>(i) >= plan.fast;
      p.fd = socket(AF_INET, SOCK_STREAM, 0);
      int one = 1;
      if (p.fd < 0 || setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
          connect(p.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
          fcntl(p.fd, F_SETFL, O_NONBLOCK) != 0)
        throw std::runtime_error("cannot connect to the server at " + host + ":" +
                                 std::to_string(port));
      epoll_event watch{};
      watch.events = EPOLLIN;
      watch.data.u64 = i;
      if (epoll_ctl(poller, EPOLL_CTL_ADD, p.fd, &watch) != 0)
        throw std::runtime_error("epoll_ctl failed");
    }
    const auto send_request = [](Peer& p) {
      const char* text = p.slow ? kSlowRequest : kRequest;
      const size_t size = p.slow ? sizeof kSlowRequest - 1 : sizeof kRequest - 1;
      p.sent = Clock::now();
      p.asking = true;
      if (send(p.fd, text, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
        throw std::runtime_error("send failed");
    };
    const auto t0 = Clock::now();
    auto last_fast = t0;
    int fast_asking = 0;
    for (Peer& p : peers) {
      send_request(p);
      if (!p.slow) ++fast_asking;
    }
    int asking = static_cast<int>(peers.size());
    while (asking > 0) {
      epoll_event events[64];
      const int n = epoll_wait(poller, events, 64, 30000);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        throw std::runtime_error("no reply for 30 s (" + std::to_string(asking) +
                                 " requests outstanding)");
      for (int e = 0; e < n; ++e) {
        Peer& p = peers[events[e].data.u64];
        char buf[512];
        const ssize_t got = recv(p.fd, buf, sizeof buf, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) throw std::runtime_error("the server closed a terminal's connection");
        if (!p.asking) throw std::runtime_error("bytes without a request: " + std::string(buf, got));
        p.reply.append(buf, got);
        if (p.reply.back() != '\r') continue;
        const auto now = Clock::now();
        const char* expected = p.slow ? kSlowReply : kReply;
        if (p.reply != expected) throw std::runtime_error("unexpected reply: " + p.reply);
        p.reply.clear();
        p.asking = false;
        --asking;
        ++p.done;
        if (p.slow) {
          ++result.slow_replies;
          if (fast_asking > 0) {
            send_request(p);
            ++asking;
          }
          continue;
        }
        result.latencies.push_back(Seconds(now - p.sent));
        last_fast = now;
        const bool more = plan.per_terminal > 0 ? p.done < plan.per_terminal
                                                : Seconds(now - t0) < plan.seconds;
        if (more) {
          send_request(p);
          ++asking;
        } else {
          --fast_asking;
        }
      }
    }
    result.seconds = Seconds(last_fast - t0);
  } catch (...) {
    cleanup();
    throw;
  }
  cleanup();
  return result;
}

// Connects `m` (a handle of NewLink) with the server's client options or fails.
void Connect(MYSQL* m, const Database& db) {
  if (!mysql_real_connect(m, db.host.c_str(), db.user.c_str(), db.password.c_str(),
                          db.name.c_str(), db.port, nullptr, CLIENT_CONNECT_WITH_DB))
    FailConnect(m);
}

// Requests/s of `processes` forked client processes doing, each `per_process` times, the
// database work of one request of the server in configuration mode: with `keep_link`, on the
// process's one kept link, mysql_reset_connection, "SET NAMES cp1250" and the select; without,
// connect, "SET NAMES cp1250", the select and close. Timed from the moment every process is
// ready (its kept link connected) to the end of the last.
double DirectProcessesRate(const Database& db, int processes, int per_process, bool keep_link) {
  int ready[2], start[2];
  if (pipe(ready) != 0) throw std::runtime_error("pipe failed");
  if (pipe(start) != 0) {
    close(ready[0]);
    close(ready[1]);
    throw std::runtime_error("pipe failed");
  }
  std::fflush(stdout);
  std::vector<pid_t> children;
  for (int i = 0; i < processes; ++i) {
    const pid_t child = fork();
    if (child < 0) break;
    if (child == 0) {
      close(ready[0]);
      close(start[1]);
      try {
        MYSQL* kept = nullptr;
        if (keep_link) {
          kept = NewLink(false);
          Connect(kept, db);
        }
        char c = 'r';
        if (write(ready[1], &c, 1) != 1 || read(start[0], &c, 1) != 0) _exit(1);
        for (int r = 0; r < per_process; ++r) {
          if (kept) {
            if (mysql_reset_connection(kept) != 0)
              throw std::runtime_error(std::string("reset: ") + mysql_error(kept));
            Run(kept, kCharset, false);
            Run(kept, kTemplate, true);
          } else {
            MYSQL* m = NewLink(false);
            Connect(m, db);
            try {
              Run(m, kCharset, false);
              Run(m, kTemplate, true);
            } catch (...) {
              mysql_close(m);
              throw;
            }
            mysql_close(m);
          }
        }
        if (kept) mysql_close(kept);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "direct client process: %s\n", e.what());
        _exit(1);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  close(ready[1]);
  close(start[0]);
  // Every process has written its byte, or ended (its end of the pipe closed).
  int ready_count = 0;
  char buf[64];
  while (ready_count < static_cast<int>(children.size())) {
    const ssize_t n = read(ready[0], buf, sizeof buf);
    if (n <= 0) break;
    ready_count += static_cast<int>(n);
  }
  const auto t0 = Clock::now();
  close(start[1]);  // the processes read the end of the pipe and start
  bool ok = static_cast<int>(children.size()) == processes && ready_count == processes;
  for (pid_t child : children) {
    int status = 0;
    ok &= waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  const double seconds = Seconds(Clock::now() - t0);
  close(ready[0]);
  if (!ok) throw std::runtime_error("a direct client process failed");
  return processes * per_process / seconds;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(p * static_cast<double>(values.size()) + 0.999999);
  return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Fetches http://127.0.0.1:PORT/metrics once a second in a thread of its own, as a Prometheus
// server scraping it would, until destroyed; counts the pages that came with status 200.
class MetricsScraper {
 public:
  explicit MetricsScraper(int port) : port_(port), thread_([this] { Loop(); }) {}
  ~MetricsScraper() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  int Pages() const { return pages_; }
  int Failures() const { return failures_; }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      lock.unlock();
      (FetchOnce() ? pages_ : failures_)++;
      lock.lock();
      wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
    }
  }
  bool FetchOnce() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    static const char kGet[] = "GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, kGet, sizeof kGet - 1, MSG_NOSIGNAL) == sizeof kGet - 1) {
      char buf[16384];
      ssize_t n;
      while ((n = recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, n);
    }
    close(fd);
    return answer.rfind("HTTP/1.1 200", 0) == 0 &&
           answer.find("srvlarvek_requests_total") != std::string::npos;
  }

  const int port_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::atomic<int> pages_{0}, failures_{0};
  std::thread thread_;
};

struct Round {
  double direct_rate, server_rate, rate_ratio;
  double watched_rate, watched_ratio;  // the server whose /metrics is fetched once a second
  double direct_cpu_us, server_cpu_us, cpu_ratio;
  double idle_rate, idle_ratio;
  double p99_ms, p99_ratio;
  double idle_bytes;
  double hop_us, hop_cpu_us;                   // the bare process of BareHop
  double floor_rate_ratio, floor_cpu_ratio;    // the minimal server against the direct work
  double server_floor_rate, server_floor_cpu;  // the server against the minimal server
  // Configuration mode: the server one request at a time ("seq") and in parallel mode ("par").
  double one_seq_rate, one_par_rate, one_ratio;  // 1 terminal
  double busy_seq_rate, busy_par_rate, busy_pool_rate, busy_par_seq, busy_par_pool;
  double busy_par_cpu_us, busy_pool_cpu_us;      // CPU per request at `busy` terminals
  double procs_connect_rate, procs_kept_rate;    // `busy` direct client processes
  double p99_par_ms, p99_par_slow_ms, p99_par_ratio;
  double p99_seq_ms, p99_seq_slow_ms, p99_seq_ratio;
  double par_idle_bytes;
};

void RaiseDescriptorLimit(int needed) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= static_cast<rlim_t>(needed)) return;
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, needed);
  if (limit.rlim_max < limit.rlim_cur) limit.rlim_max = limit.rlim_cur;  // root may raise it
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
    throw std::runtime_error("cannot raise the descriptor limit to " + std::to_string(needed));
}

}  // namespace

int main(int argc, char** argv) {
  const auto usage = [&] {
    std::fprintf(stderr,
                 "usage: %s db_host db_port db_user db_password database server_host server_port "
                 "server_pid [requests [rounds [idle [busy [busy_requests]]]]]\n"
                 "         [--config-db NAME --one-at-a-time HOST:PORT:PID --parallel HOST:PORT:PID\n"
                 "          --pooled HOST:PORT:PID [--parallel-links N] [--slow-seconds S]]\n"
                 "         [--watched HOST:PORT:PID --status-port STATUS_PORT]\n",
                 argv[0]);
    return 2;
  };
  if (argc < 9) return usage();
  Database db{argv[1], argv[3], argv[4], argv[5], static_cast<unsigned>(std::atoi(argv[2]))};
  const std::string server_host = argv[6];
  const int server_port = std::atoi(argv[7]);
  const int server_pid = std::atoi(argv[8]);
  std::vector<int> numbers;
  Database config_db = db;
  config_db.name.clear();
  std::optional<ServerUnderTest> one_at_a_time, parallel, pooled, watched;
  int status_port = 0;
  int parallel_links = 16;
  double slow_seconds = 2;
  try {
    for (int i = 9; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg.rfind("--", 0) != 0) {
        numbers.push_back(std::atoi(argv[i]));
        continue;
      }
      if (i + 1 >= argc) return usage();
      const std::string value = argv[++i];
      if (arg == "--config-db") config_db.name = value;
      else if (arg == "--one-at-a-time") one_at_a_time = ParseServer(value);
      else if (arg == "--parallel") parallel = ParseServer(value);
      else if (arg == "--pooled") pooled = ParseServer(value);
      else if (arg == "--parallel-links") parallel_links = std::atoi(value.c_str());
      else if (arg == "--slow-seconds") slow_seconds = std::atof(value.c_str());
      else if (arg == "--watched") watched = ParseServer(value);
      else if (arg == "--status-port") status_port = std::atoi(value.c_str());
      else return usage();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server_rate_bench: %s\n", e.what());
    return usage();
  }
  const auto number = [&](size_t index, int fallback) {
    return index < numbers.size() ? numbers[index] : fallback;
  };
  const int requests = std::max(4, number(0, 1000));
  const int rounds = std::max(1, number(1, 5));
  const int idle = std::max(0, number(2, 10000));
  const int busy = std::max(1, number(3, 32));
  const int busy_requests = std::max(1, number(4, 50));
  // The figures of configuration mode need all three of its servers.
  const bool config = !config_db.name.empty() && one_at_a_time && parallel && pooled;
  if (!config && (!config_db.name.empty() || one_at_a_time || parallel || pooled)) return usage();
  if (watched.has_value() != (status_port > 0)) return usage();
  const int fast = 8;  // the terminals asking for the row while a ninth runs long statements

  try {
    RaiseDescriptorLimit(idle + busy + 64);
    mysql_library_init(0, nullptr, nullptr);
    const ProcessCpu server_cpu_clock(server_pid);
    BareHop bare_hop;  // forked before this process holds any other socket
    BareHop minimal_server(&db);
    Terminal terminal(server_host, server_port);
    std::unique_ptr<Terminal> watched_terminal;
    if (watched) watched_terminal = std::make_unique<Terminal>(watched->host, watched->port);
    for (int i = 0; i < 50; ++i) {  // warm-up of all sides
      DirectRequest(db);
      terminal.Ask();
      if (watched_terminal) watched_terminal->Ask();
    }
    std::unique_ptr<MetricsScraper> scraper;
    if (watched) scraper = std::make_unique<MetricsScraper>(status_port);
    bare_hop.Measure(50);
    minimal_server.Measure(50);
    std::unique_ptr<Terminal> seq_terminal, par_terminal;
    std::optional<ProcessCpu> par_cpu_clock, pool_cpu_clock;
    if (config) {
      seq_terminal = std::make_unique<Terminal>(one_at_a_time->host, one_at_a_time->port);
      par_terminal = std::make_unique<Terminal>(parallel->host, parallel->port);
      par_cpu_clock.emplace(parallel->pid);
      pool_cpu_clock.emplace(pooled->pid);
      for (int i = 0; i < 50; ++i) {
        seq_terminal->Ask();
        par_terminal->Ask();
      }
      // The pooled servers open their links under load: every link is open before round 1.
      for (const ServerUnderTest* pool : {&*parallel, &*pooled})
        DriveTerminals(pool->host, pool->port, LoadPlan{busy, busy_requests, 0, 0});
      DriveTerminals(one_at_a_time->host, one_at_a_time->port, LoadPlan{fast, 20, 0, 0});
      DirectProcessesRate(config_db, busy, 5, true);
    }

    std::printf("request: STAV;A1 -> %.*s\n", static_cast<int>(sizeof kReply - 2), kReply);
    std::printf(
        "per round: %d direct and %d server requests (1 terminal, alternating blocks), "
        "%d with %d idle terminals, %d x %d from %d busy terminals\n",
        requests, requests, requests, idle, busy, busy_requests, busy);
    if (config)
      std::printf(
          "configuration mode (database %s): per round %d requests of 1 terminal to each of the "
          "server one at a time and in parallel mode (Parallel_requests=%d, alternating blocks); "
          "%d x %d from %d busy terminals to each of them and to the minimal pooled server (%d "
          "links), and by %d direct client processes (a link per request; a kept link); %d "
          "terminals for %.1f s with and without a %dth running %s back to back; %d idle "
          "terminals at the parallel one\n",
          config_db.name.c_str(), requests, parallel_links, busy, busy_requests, busy,
          parallel_links, busy, fast, slow_seconds, fast + 1, "select sleep(1)", idle);
    if (watched)
      std::printf(
          "status listener: per round %d requests of 1 terminal to a second table-mode server "
          "whose /metrics is fetched once a second, in blocks alternating with the first\n",
          requests);
    std::printf("%5s %9s %9s %6s %8s %8s %6s %9s %6s %8s %6s %8s %6s %6s\n", "round", "direct/s",
                "server/s", "ratio", "cpu_d_us", "cpu_s_us", "ratio", "idle/s", "ratio", "p99_ms",
                "ratio", "B/idle", "min/d", "s/min");
    if (config)
      std::printf("%5s %8s %8s %6s %8s %8s %8s %7s %7s %8s %8s %7s %8s %6s %7s %8s %7s %7s\n", "",
                  "1_seq/s", "1_par/s", "ratio", "N_seq/s", "N_par/s", "N_pool/s", "par/seq",
                  "par/pl", "conn/s", "kept/s", "p99_par", "+slow_ms", "ratio", "p99_seq",
                  "+slow_ms", "ratio", "B/idle");
    std::vector<Round> results;
    const int blocks = 4;
    for (int r = 0; r < rounds; ++r) {
      Round round{};
      // 1 terminal, against the direct work: alternating blocks, so that drift of the
      // machine hits both arms alike.
      Clock::duration direct_time{}, server_time{}, seq_time{}, par_time{}, watched_time{};
      double direct_cpu = 0, server_cpu = 0, floor_seconds = 0, floor_cpu = 0;
      int done = 0;
      for (int b = 0; b < blocks; ++b) {
        const int n = requests / blocks + (b < requests % blocks ? 1 : 0);
        double c0 = OwnCpu();
        auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) DirectRequest(db);
        auto t1 = Clock::now();
        double c1 = OwnCpu();
        // The watched server just before or just after the first, in turns.
        const auto watched_block = [&] {
          if (!watched_terminal) return;
          const auto w0 = Clock::now();
          for (int i = 0; i < n; ++i) watched_terminal->Ask();
          watched_time += Clock::now() - w0;
        };
        if (b % 2 == 1) watched_block();
        double s0 = server_cpu_clock();
        auto t2 = Clock::now();
        for (int i = 0; i < n; ++i) terminal.Ask();
        auto t3 = Clock::now();
        double s1 = server_cpu_clock();
        if (b % 2 == 0) watched_block();
        const auto [floor_s, floor_c] = minimal_server.Measure(n);
        floor_seconds += floor_s * n;
        floor_cpu += floor_c * n;
        if (config) {
          // Configuration mode, one terminal: the two servers in turns, the order swapped
          // from block to block.
          for (int k = 0; k < 2; ++k) {
            const bool par = (k + b) % 2 == 0;
            Terminal& t = par ? *par_terminal : *seq_terminal;
            const auto c0 = Clock::now();
            for (int i = 0; i < n; ++i) t.Ask();
            (par ? par_time : seq_time) += Clock::now() - c0;
          }
        }
        direct_time += t1 - t0;
        server_time += t3 - t2;
        direct_cpu += c1 - c0;
        server_cpu += s1 - s0;
        done += n;
      }
      round.direct_rate = done / Seconds(direct_time);
      round.server_rate = done / Seconds(server_time);
      round.rate_ratio = round.server_rate / round.direct_rate;
      if (watched) {
        round.watched_rate = done / Seconds(watched_time);
        round.watched_ratio = round.watched_rate / round.server_rate;
      }
      round.direct_cpu_us = 1e6 * direct_cpu / done;
      round.server_cpu_us = 1e6 * server_cpu / done;
      round.cpu_ratio = round.server_cpu_us / round.direct_cpu_us;
      round.floor_rate_ratio = Seconds(direct_time) / floor_seconds;
      round.floor_cpu_ratio = floor_cpu / direct_cpu;
      round.server_floor_rate = floor_seconds / Seconds(server_time);
      round.server_floor_cpu = server_cpu / floor_cpu;
      const auto [hop_seconds, hop_cpu_seconds] = bare_hop.Measure(requests);
      round.hop_us = 1e6 * hop_seconds;
      round.hop_cpu_us = 1e6 * hop_cpu_seconds;

      // The same terminal with the idle ones connected.
      if (idle > 0) {
        // The link to the database of the last request may close just after its reply.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int base = OpenSockets(server_pid);
        const long rss0 = ResidentBytes(server_pid);
        {
          IdleTerminals silent(server_host, server_port, idle, server_pid);
          terminal.Ask();  // the server has logged every connection by the time it answers
          const long rss1 = ResidentBytes(server_pid);
          round.idle_bytes = static_cast<double>(rss1 - rss0) / idle;
          auto t0 = Clock::now();
          for (int i = 0; i < requests; ++i) terminal.Ask();
          round.idle_rate = requests / Seconds(Clock::now() - t0);
          round.idle_ratio = round.idle_rate / round.server_rate;
        }
        AwaitSockets(server_pid, base, "let the idle terminals go");
        terminal.Ask();
      }

      // Busy terminals: the single thread serves them one after the other, so a request
      // waits for about `busy` requests.
      std::vector<double> latencies = BusyLatencies(server_host, server_port, busy, busy_requests);
      round.p99_ms = 1e3 * Percentile(latencies, 0.99);
      round.p99_ratio = round.p99_ms / (busy * 1e3 * Seconds(server_time) / done);

      if (config) {
        round.one_seq_rate = done / Seconds(seq_time);
        round.one_par_rate = done / Seconds(par_time);
        round.one_ratio = round.one_par_rate / round.one_seq_rate;
        // `busy` terminals against each server, and the same work by as many direct client
        // processes; the order of the arms turns from round to round.
        const LoadPlan busy_load{busy, busy_requests, 0, 0};
        const int total = busy * busy_requests;
        // The rate of `busy` terminals at `server`, and its CPU per request by `cpu_clock`.
        const auto busy_with_cpu = [&](const ServerUnderTest& server, auto& cpu_clock,
                                       double& rate, double& cpu_us) {
          const double c0 = cpu_clock();
          const LoadResult run = DriveTerminals(server.host, server.port, busy_load);
          cpu_us = 1e6 * (cpu_clock() - c0) / total;
          rate = total / run.seconds;
        };
        for (int k = 0; k < 5; ++k) {
          switch ((k + r) % 5) {
            case 0: {
              const LoadResult run =
                  DriveTerminals(one_at_a_time->host, one_at_a_time->port, busy_load);
              round.busy_seq_rate = total / run.seconds;
              break;
            }
            case 1:
              busy_with_cpu(*parallel, *par_cpu_clock, round.busy_par_rate,
                            round.busy_par_cpu_us);
              break;
            case 2:
              busy_with_cpu(*pooled, *pool_cpu_clock, round.busy_pool_rate,
                            round.busy_pool_cpu_us);
              break;
            case 3:
              round.procs_connect_rate = DirectProcessesRate(config_db, busy, busy_requests, false);
              break;
            case 4:
              round.procs_kept_rate = DirectProcessesRate(config_db, busy, busy_requests, true);
              break;
          }
        }
        round.busy_par_seq = round.busy_par_rate / round.busy_seq_rate;
        round.busy_par_pool = round.busy_par_rate / round.busy_pool_rate;

        // p99 of `fast` terminals with and without a terminal running one-second statements
        // back to back, at each server; with and without in turns from round to round.
        const auto p99_ms = [&](const ServerUnderTest& server, int slow) {
          const LoadResult run =
              DriveTerminals(server.host, server.port, LoadPlan{fast, 0, slow_seconds, slow});
          if (slow > 0 && run.slow_replies == 0)
            throw std::runtime_error("no one-second statement ended within the run");
          return 1e3 * Percentile(run.latencies, 0.99);
        };
        for (int k = 0; k < 2; ++k) {
          const int slow = (k + r) % 2;
          (slow ? round.p99_par_slow_ms : round.p99_par_ms) = p99_ms(*parallel, slow);
          (slow ? round.p99_seq_slow_ms : round.p99_seq_ms) = p99_ms(*one_at_a_time, slow);
        }
        round.p99_par_ratio = round.p99_par_slow_ms / round.p99_par_ms;
        round.p99_seq_ratio = round.p99_seq_slow_ms / round.p99_seq_ms;

        // Resident memory per idle connection of the parallel mode.
        if (idle > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          const int base = OpenSockets(parallel->pid);
          const long rss0 = ResidentBytes(parallel->pid);
          {
            IdleTerminals silent(parallel->host, parallel->port, idle, parallel->pid);
            par_terminal->Ask();
            round.par_idle_bytes =
                static_cast<double>(ResidentBytes(parallel->pid) - rss0) / idle;
          }
          AwaitSockets(parallel->pid, base, "let the idle terminals go");
          par_terminal->Ask();
        }
      }

      std::printf(
          "%5d %9.0f %9.0f %6.3f %8.1f %8.1f %6.3f %9.0f %6.3f %8.2f %6.3f %8.0f %6.3f %6.3f\n",
          r + 1, round.direct_rate, round.server_rate, round.rate_ratio, round.direct_cpu_us,
          round.server_cpu_us, round.cpu_ratio, round.idle_rate, round.idle_ratio, round.p99_ms,
          round.p99_ratio, round.idle_bytes, round.floor_rate_ratio, round.server_floor_rate);
      if (watched)
        std::printf("%5s watched 1 terminal %8.0f/s, / without a status listener %6.3f\n", "",
                    round.watched_rate, round.watched_ratio);
      if (config)
        std::printf(
            "%5s %8.0f %8.0f %6.3f %8.0f %8.0f %8.0f %7.3f %7.3f %8.0f %8.0f %7.2f %8.2f %6.2f "
            "%7.2f %8.2f %7.1f %7.0f\n",
            "  cfg", round.one_seq_rate, round.one_par_rate, round.one_ratio, round.busy_seq_rate,
            round.busy_par_rate, round.busy_pool_rate, round.busy_par_seq, round.busy_par_pool,
            round.procs_connect_rate, round.procs_kept_rate, round.p99_par_ms,
            round.p99_par_slow_ms, round.p99_par_ratio, round.p99_seq_ms, round.p99_seq_slow_ms,
            round.p99_seq_ratio, round.par_idle_bytes);
      std::fflush(stdout);
      results.push_back(round);
    }

    auto median = [&](double Round::*field) {
      std::vector<double> v;
      for (const Round& r : results) v.push_back(r.*field);
      return Median(v);
    };
    double largest_idle_bytes = 0;
    for (const Round& r : results) largest_idle_bytes = std::max(largest_idle_bytes, r.idle_bytes);
    std::printf("\nmedian of %d rounds                                      figure   goal\n",
                rounds);
    std::printf("requests/s, 1 terminal: server / direct                %8.3f   >= 0.95\n",
                median(&Round::rate_ratio));
    std::printf("CPU per request: server / direct client                %8.3f   <= 1.3\n",
                median(&Round::cpu_ratio));
    std::printf("requests/s, 1 terminal: with %5d idle / without      %8.3f   >= 0.95\n", idle,
                median(&Round::idle_ratio));
    std::printf("p99 latency, %2d busy: p99 / (%2d x mean at 1 terminal)  %8.3f   <= 2\n", busy,
                busy, median(&Round::p99_ratio));
    std::printf("resident bytes per idle connection (first round)        %8.0f   <= 1024\n",
                results.front().idle_bytes);
    std::printf("resident bytes per idle connection (largest round)      %8.0f   <= 1024\n",
                largest_idle_bytes);
    std::printf(
        "(1 terminal: direct %.0f us, server %.0f us per request; CPU direct %.0f us, "
        "server %.0f us per request)\n",
        1e6 / median(&Round::direct_rate), 1e6 / median(&Round::server_rate),
        median(&Round::direct_cpu_us), median(&Round::server_cpu_us));
    // What the required part alone costs on this machine, and the ratios of the direct work
    // with nothing but that part added.
    const double direct_us = 1e6 / median(&Round::direct_rate);
    std::printf(
        "(bare terminal hop with the same file writes: %.0f us, CPU %.0f us per request; direct "
        "work + bare hop: rate ratio %.3f, CPU ratio %.3f)\n",
        median(&Round::hop_us), median(&Round::hop_cpu_us),
        direct_us / (direct_us + median(&Round::hop_us)),
        (median(&Round::direct_cpu_us) + median(&Round::hop_cpu_us)) /
            median(&Round::direct_cpu_us));
    std::printf(
        "(minimal server, the bare hop doing the direct work: rate ratio %.3f, CPU ratio %.3f "
        "against the direct work; srvlarvek against it: rate %.3f, CPU %.3f)\n",
        median(&Round::floor_rate_ratio), median(&Round::floor_cpu_ratio),
        median(&Round::server_floor_rate), median(&Round::server_floor_cpu));
    if (watched) {
      std::printf(
          "\nstatus listener, median of %d rounds                            figure   goal\n",
          rounds);
      std::printf("requests/s, 1 terminal: /metrics fetched each second / no listener %7.3f   >= 0.97\n",
                  median(&Round::watched_ratio));
      std::printf("(1 terminal: without a status listener %.0f us, watched %.0f us per request; "
                  "%d pages of /metrics fetched, %d fetches failed)\n",
                  1e6 / median(&Round::server_rate), 1e6 / median(&Round::watched_rate),
                  scraper->Pages(), scraper->Failures());
      if (scraper->Failures() > 0 || scraper->Pages() == 0)
        throw std::runtime_error("the /metrics page was not fetched every second");
    }
    if (config) {
      double largest_par_idle = 0;
      for (const Round& r : results) largest_par_idle = std::max(largest_par_idle, r.par_idle_bytes);
      std::printf(
          "\nconfiguration mode, parallel mode with Parallel_requests=%d, median of %d rounds    "
          "figure   goal\n",
          parallel_links, rounds);
      std::printf("requests/s, %2d busy terminals: parallel / one at a time            %8.3f   >= 3\n",
                  busy, median(&Round::busy_par_seq));
      std::printf("requests/s, %2d busy terminals: parallel / minimal pooled server    %8.3f   >= 0.9\n",
                  busy, median(&Round::busy_par_pool));
      std::printf("p99 of %d terminals, a %dth running 1 s statements / without it:\n", fast,
                  fast + 1);
      std::printf("  parallel mode                                                  %8.3f   <= 1.5\n",
                  median(&Round::p99_par_ratio));
      std::printf("  one at a time                                                  %8.3f   (for comparison)\n",
                  median(&Round::p99_seq_ratio));
      std::printf("requests/s, 1 terminal: parallel / one at a time                  %8.3f   >= 1.2\n",
                  median(&Round::one_ratio));
      std::printf("resident bytes per idle connection, parallel (first round)        %8.0f   <= 1024\n",
                  results.front().par_idle_bytes);
      std::printf("resident bytes per idle connection, parallel (largest round)      %8.0f   <= 1024\n",
                  largest_par_idle);
      std::printf(
          "(1 terminal: one at a time %.0f us, parallel %.0f us per request; %d busy: one at a "
          "time %.0f/s, parallel %.0f/s, minimal pooled %.0f/s; CPU per request parallel %.1f us, "
          "minimal pooled %.1f us)\n",
          1e6 / median(&Round::one_seq_rate), 1e6 / median(&Round::one_par_rate), busy,
          median(&Round::busy_seq_rate), median(&Round::busy_par_rate),
          median(&Round::busy_pool_rate), median(&Round::busy_par_cpu_us),
          median(&Round::busy_pool_cpu_us));
      std::printf(
          "(p99 of %d terminals: parallel %.2f ms, with the %dth %.2f ms; one at a time %.2f ms, "
          "with the %dth %.2f ms)\n",
          fast, median(&Round::p99_par_ms), fast + 1, median(&Round::p99_par_slow_ms),
          median(&Round::p99_seq_ms), fast + 1, median(&Round::p99_seq_slow_ms));
      std::printf(
          "(%d direct client processes, the same database work: a link per request %.0f/s, a "
          "kept link %.0f/s; one at a time / link per request %.3f, parallel / kept link %.3f, "
          "minimal pooled / kept link %.3f)\n",
          busy, median(&Round::procs_connect_rate), median(&Round::procs_kept_rate),
          median(&Round::busy_seq_rate) / median(&Round::procs_connect_rate),
          median(&Round::busy_par_rate) / median(&Round::procs_kept_rate),
          median(&Round::busy_pool_rate) / median(&Round::procs_kept_rate));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server_rate_bench: %s\n", e.what());
    return 1;
  }
  mysql_library_end();
  return 0;
}
