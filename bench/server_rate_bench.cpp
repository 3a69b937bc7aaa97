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
//
// Usage: server_rate_bench db_host db_port db_user db_password database
//                          server_host server_port server_pid
//                          [requests [rounds [idle [busy [busy_requests]]]]]
// The database must hold server_term with the command STAV and the table sklad with the row
// ('A1', 'Šroub', 10); bench/server_rate_bench.sh prepares all of it and runs this.
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
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
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

struct Round {
  double direct_rate, server_rate, rate_ratio;
  double direct_cpu_us, server_cpu_us, cpu_ratio;
  double idle_rate, idle_ratio;
  double p99_ms, p99_ratio;
  double idle_bytes;
  double hop_us, hop_cpu_us;                   // the bare process of BareHop
  double floor_rate_ratio, floor_cpu_ratio;    // the minimal server against the direct work
  double server_floor_rate, server_floor_cpu;  // the server against the minimal server
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
  if (argc < 9) {
    std::fprintf(stderr,
                 "usage: %s db_host db_port db_user db_password database server_host server_port "
                 "server_pid [requests [rounds [idle [busy [busy_requests]]]]]\n",
                 argv[0]);
    return 2;
  }
  Database db{argv[1], argv[3], argv[4], argv[5], static_cast<unsigned>(std::atoi(argv[2]))};
  const std::string server_host = argv[6];
  const int server_port = std::atoi(argv[7]);
  const int server_pid = std::atoi(argv[8]);
  const int requests = std::max(4, argc > 9 ? std::atoi(argv[9]) : 1000);
  const int rounds = std::max(1, argc > 10 ? std::atoi(argv[10]) : 5);
  const int idle = std::max(0, argc > 11 ? std::atoi(argv[11]) : 10000);
  const int busy = std::max(1, argc > 12 ? std::atoi(argv[12]) : 32);
  const int busy_requests = std::max(1, argc > 13 ? std::atoi(argv[13]) : 50);

  try {
    RaiseDescriptorLimit(idle + busy + 64);
    mysql_library_init(0, nullptr, nullptr);
    const ProcessCpu server_cpu_clock(server_pid);
    BareHop bare_hop;  // forked before this process holds any other socket
    BareHop minimal_server(&db);
    Terminal terminal(server_host, server_port);
    for (int i = 0; i < 50; ++i) {  // warm-up of all sides
      DirectRequest(db);
      terminal.Ask();
    }
    bare_hop.Measure(50);
    minimal_server.Measure(50);

    std::printf("request: STAV;A1 -> %.*s\n", static_cast<int>(sizeof kReply - 2), kReply);
    std::printf(
        "per round: %d direct and %d server requests (1 terminal, alternating blocks), "
        "%d with %d idle terminals, %d x %d from %d busy terminals\n",
        requests, requests, requests, idle, busy, busy_requests, busy);
    std::printf("%5s %9s %9s %6s %8s %8s %6s %9s %6s %8s %6s %8s %6s %6s\n", "round", "direct/s",
                "server/s", "ratio", "cpu_d_us", "cpu_s_us", "ratio", "idle/s", "ratio", "p99_ms",
                "ratio", "B/idle", "min/d", "s/min");
    std::vector<Round> results;
    const int blocks = 4;
    for (int r = 0; r < rounds; ++r) {
      Round round{};
      // 1 terminal, against the direct work: alternating blocks, so that drift of the
      // machine hits both arms alike.
      Clock::duration direct_time{}, server_time{};
      double direct_cpu = 0, server_cpu = 0, floor_seconds = 0, floor_cpu = 0;
      int done = 0;
      for (int b = 0; b < blocks; ++b) {
        const int n = requests / blocks + (b < requests % blocks ? 1 : 0);
        double c0 = OwnCpu();
        auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) DirectRequest(db);
        auto t1 = Clock::now();
        double c1 = OwnCpu();
        double s0 = server_cpu_clock();
        auto t2 = Clock::now();
        for (int i = 0; i < n; ++i) terminal.Ask();
        auto t3 = Clock::now();
        double s1 = server_cpu_clock();
        const auto [floor_s, floor_c] = minimal_server.Measure(n);
        floor_seconds += floor_s * n;
        floor_cpu += floor_c * n;
        direct_time += t1 - t0;
        server_time += t3 - t2;
        direct_cpu += c1 - c0;
        server_cpu += s1 - s0;
        done += n;
      }
      round.direct_rate = done / Seconds(direct_time);
      round.server_rate = done / Seconds(server_time);
      round.rate_ratio = round.server_rate / round.direct_rate;
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

      std::printf(
          "%5d %9.0f %9.0f %6.3f %8.1f %8.1f %6.3f %9.0f %6.3f %8.2f %6.3f %8.0f %6.3f %6.3f\n",
          r + 1, round.direct_rate, round.server_rate, round.rate_ratio, round.direct_cpu_us,
          round.server_cpu_us, round.cpu_ratio, round.idle_rate, round.idle_ratio, round.p99_ms,
          round.p99_ratio, round.idle_bytes, round.floor_rate_ratio, round.server_floor_rate);
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
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server_rate_bench: %s\n", e.what());
    return 1;
  }
  mysql_library_end();
  return 0;
}
