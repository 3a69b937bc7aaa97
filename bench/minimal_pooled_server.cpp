// The floor of a server that answers terminals on kept database links: a bare process with one
// thread and one epoll set that does only what every request needs and nothing else. It accepts
// terminals on 127.0.0.1, takes each reception as one request, writes what the server writes
// per request (the reception over the start of the dump file u.txt, the reception's and the
// reply's log line to a log file and to a second file standing for standard output), and runs
// the request on one of at most `links` kept links through the client library's non-blocking
// calls: mysql_reset_connection when the link served a request before, "SET NAMES cp1250", the
// one-row select, its result stored; then it sends the reply and gives the link to the next
// waiting request. Links are opened (without blocking, several at once) only while requests
// wait and fewer than `links` exist, and are never closed; a request waits in arrival order while every link is
// busy. Any database failure ends the process with status 1: it is a floor, not a server.
//
// Usage: minimal_pooled_server db_host db_port db_user db_password database port links dir
// It listens on 127.0.0.1:port, answers every request with the record of the row ('A1',
// 'Šroub', 10) of the table sklad, writes its files into dir and runs until it is killed
// (bench/server_rate_bench.sh starts and stops it).
#include <mysql.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const char kReply[] = "STAV;A1;Sroub;10#\r";
const char kCharset[] = "SET NAMES cp1250";
const char kTemplate[] = "select kod, nazev, mnozstvi from sklad where kod = \"A1\"";
const char kReceivedLine[] = "12:00:00  Na\xE8teno z 127.0.0.1: 'STAV;A1'\r\n";
const char kSentLine[] = "12:00:00  Odeslal na 127.0.0.1: STAV;A1;Sroub;10#\r\n";

// epoll tags: the listener, a terminal (its id) or a link (its index), in the top bits.
constexpr std::uint64_t kListenerTag = 0;
constexpr std::uint64_t kTerminalTag = 1ull << 62;
constexpr std::uint64_t kLinkTag = 2ull << 62;
constexpr std::uint64_t kTagMask = 3ull << 62;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "minimal_pooled_server: %s\n", what.c_str());
  std::exit(1);
}

struct Database {
  std::string host, user, password, name;
  unsigned port = 0;
};

// The steps of a request on a link; each is one non-blocking call of the client library,
// started and then continued while the library waits for the socket.
enum class Step { kConnect, kReset, kCharset, kTemplate, kStoreResult, kIdle };

struct Link {
  MYSQL* handle = nullptr;
  Step step = Step::kIdle;
  int waits_for = 0;             // MYSQL_WAIT_* the running call waits for; 0 = none runs
  std::uint32_t watched = 0;     // epoll events registered for its socket; 0 = not registered
  int socket = -1;
  std::uint64_t terminal = 0;    // the terminal whose request it runs (0 = none)
  bool served_before = false;    // a request ran on it: reset it before the next
  MYSQL* connected = nullptr;
  int status = 0;
  MYSQL_RES* result = nullptr;
};

class PooledServer {
 public:
  PooledServer(Database db, int port, int max_links, const std::string& dir)
      : db_(std::move(db)), max_links_(max_links) {
    dump_ = open((dir + "/u.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    log_ = open((dir + "/log.txt").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    out_ = open((dir + "/stdout.txt").c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0644);
    poller_ = epoll_create1(0);
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    int one = 1;
    if (dump_ < 0 || log_ < 0 || out_ < 0 || poller_ < 0 || listener_ < 0 ||
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 4096) != 0)
      Die(std::string("cannot set up: ") + std::strerror(errno));
    Watch(listener_, EPOLLIN, kListenerTag, EPOLL_CTL_ADD);
    links_.reserve(max_links_);
  }

  [[noreturn]] void Run() {
    epoll_event events[256];
    for (;;) {
      const int n = epoll_wait(poller_, events, 256, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        Die(std::string("epoll_wait: ") + std::strerror(errno));
      }
      for (int i = 0; i < n; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        switch (tag & kTagMask) {
          case kListenerTag: Accept(); break;
          case kTerminalTag: OnTerminal(tag & ~kTagMask); break;
          default: OnLink(static_cast<size_t>(tag & ~kTagMask), events[i].events); break;
        }
      }
    }
  }

 private:
  void Watch(int fd, std::uint32_t events, std::uint64_t tag, int op) {
    epoll_event watch{};
    watch.events = events;
    watch.data.u64 = tag;
    if (epoll_ctl(poller_, op, fd, &watch) != 0)
      Die(std::string("epoll_ctl: ") + std::strerror(errno));
  }

  void Accept() {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        if (errno == ECONNABORTED) continue;
        Die(std::string("accept: ") + std::strerror(errno));
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const std::uint64_t id = next_terminal_++;
      terminals_[id] = fd;
      Watch(fd, EPOLLIN, kTerminalTag | id, EPOLL_CTL_ADD);
    }
  }

  void OnTerminal(std::uint64_t id) {
    const auto found = terminals_.find(id);
    if (found == terminals_.end()) return;
    char buf[65536];
    const ssize_t n = recv(found->second, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {  // closed: a request of it still on a link is answered to nobody
      close(found->second);
      terminals_.erase(found);
      return;
    }
    bool ok = pwrite(dump_, buf, n, 0) == n;
    ok &= WriteLine(kReceivedLine, sizeof kReceivedLine - 1);
    if (!ok) Die("cannot write the files");
    waiting_.push_back(id);
    Dispatch();
  }

  static bool WriteLineTo(int fd, const char* line, size_t size) {
    return write(fd, line, size) == static_cast<ssize_t>(size);
  }
  bool WriteLine(const char* line, size_t size) {
    return WriteLineTo(log_, line, size) && WriteLineTo(out_, line, size);
  }

  // Gives waiting requests to idle links, and opens links (at once, up to the limit) for the
  // requests that still wait beyond the links being opened.
  void Dispatch() {
    for (size_t i = 0; i < links_.size() && !waiting_.empty(); ++i)
      if (links_[i].step == Step::kIdle) TakeNext(i);
    while (waiting_.size() > static_cast<size_t>(opening_) &&
           links_.size() < static_cast<size_t>(max_links_)) {
      links_.emplace_back();
      Link& link = links_.back();
      link.handle = mysql_init(nullptr);
      if (!link.handle) Die("mysql_init failed");
      mysql_options(link.handle, MYSQL_OPT_NONBLOCK, nullptr);
      my_bool reconnect = 0;
      mysql_options(link.handle, MYSQL_OPT_RECONNECT, &reconnect);
      mysql_options(link.handle, MYSQL_SET_CHARSET_NAME, "cp1250");
      ++opening_;
      Begin(links_.size() - 1, Step::kConnect);
    }
  }

  // The idle link `index` takes the first waiting request, if any: a link that served one
  // before is reset first.
  void TakeNext(size_t index) {
    Link& link = links_[index];
    link.step = Step::kIdle;
    link.terminal = 0;
    if (waiting_.empty()) return;
    link.terminal = waiting_.front();
    waiting_.pop_front();
    Begin(index, link.served_before ? Step::kReset : Step::kCharset);
  }

  // Starts the call of `step` on link `index`.
  void Begin(size_t index, Step step) {
    Link& link = links_[index];
    link.step = step;
    switch (step) {
      case Step::kConnect:
        link.waits_for = mysql_real_connect_start(
            &link.connected, link.handle, db_.host.c_str(), db_.user.c_str(),
            db_.password.c_str(), db_.name.c_str(), db_.port, nullptr, CLIENT_CONNECT_WITH_DB);
        break;
      case Step::kReset:
        link.waits_for = mysql_reset_connection_start(&link.status, link.handle);
        break;
      case Step::kCharset:
        link.waits_for = mysql_real_query_start(&link.status, link.handle, kCharset,
                                                sizeof kCharset - 1);
        break;
      case Step::kTemplate:
        link.waits_for = mysql_real_query_start(&link.status, link.handle, kTemplate,
                                                sizeof kTemplate - 1);
        break;
      case Step::kStoreResult:
        link.waits_for = mysql_store_result_start(&link.result, link.handle);
        break;
      case Step::kIdle:
        link.waits_for = 0;
        break;
    }
    Settle(index);
  }

  // Continues the running call of link `index` with the socket events that happened.
  void OnLink(size_t index, std::uint32_t events) {
    Link& link = links_[index];
    // An idle link stays registered for reading: the database has nothing to send on it
    // unless it closes the link, which a floor does not handle.
    if (link.waits_for == 0) Die("the database closed an idle link");
    int happened = 0;
    if (events & EPOLLIN) happened |= MYSQL_WAIT_READ;
    if (events & EPOLLOUT) happened |= MYSQL_WAIT_WRITE;
    if (events & (EPOLLERR | EPOLLHUP)) happened |= link.waits_for & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
    switch (link.step) {
      case Step::kConnect:
        link.waits_for = mysql_real_connect_cont(&link.connected, link.handle, happened);
        break;
      case Step::kReset:
        link.waits_for = mysql_reset_connection_cont(&link.status, link.handle, happened);
        break;
      case Step::kCharset:
      case Step::kTemplate:
        link.waits_for = mysql_real_query_cont(&link.status, link.handle, happened);
        break;
      case Step::kStoreResult:
        link.waits_for = mysql_store_result_cont(&link.result, link.handle, happened);
        break;
      case Step::kIdle:
        return;
    }
    Settle(index);
  }

  // Registers the socket for what the running call waits for, or, when the call has finished,
  // goes on to the next step (finishing the request after the stored result).
  void Settle(size_t index) {
    Link& link = links_[index];
    if (link.waits_for != 0) {
      std::uint32_t wanted = 0;
      if (link.waits_for & MYSQL_WAIT_READ) wanted |= EPOLLIN;
      if (link.waits_for & MYSQL_WAIT_WRITE) wanted |= EPOLLOUT;
      const int socket = mysql_get_socket(link.handle);
      if (socket != link.socket) {
        if (link.watched) epoll_ctl(poller_, EPOLL_CTL_DEL, link.socket, nullptr);
        link.socket = socket;
        link.watched = 0;
      }
      if (wanted != link.watched) {
        Watch(socket, wanted, kLinkTag | index, link.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
        link.watched = wanted;
      }
      return;
    }
    switch (link.step) {
      case Step::kConnect:
        if (!link.connected) Die(std::string("connect: ") + mysql_error(link.handle));
        --opening_;
        TakeNext(index);
        return;
      case Step::kReset:
        if (link.status != 0) Die(std::string("reset: ") + mysql_error(link.handle));
        Begin(index, Step::kCharset);
        return;
      case Step::kCharset:
        if (link.status != 0) Die(std::string("SET NAMES: ") + mysql_error(link.handle));
        Begin(index, Step::kTemplate);
        return;
      case Step::kTemplate:
        if (link.status != 0) Die(std::string("select: ") + mysql_error(link.handle));
        Begin(index, Step::kStoreResult);
        return;
      case Step::kStoreResult: {
        MYSQL_ROW row = link.result ? mysql_fetch_row(link.result) : nullptr;
        const bool whole = row && mysql_num_fields(link.result) == 3;
        if (link.result) mysql_free_result(link.result);
        link.result = nullptr;
        if (!whole) Die("select: no row");
        Answer(link.terminal);
        link.served_before = true;
        TakeNext(index);
        return;
      }
      case Step::kIdle:
        return;
    }
  }

  void Answer(std::uint64_t terminal) {
    const auto found = terminals_.find(terminal);
    if (found == terminals_.end()) return;
    if (send(found->second, kReply, sizeof kReply - 1, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(sizeof kReply - 1) ||
        !WriteLine(kSentLine, sizeof kSentLine - 1))
      Die("cannot send a reply or write the files");
  }

  Database db_;
  int max_links_;
  int dump_ = -1, log_ = -1, out_ = -1, poller_ = -1, listener_ = -1;
  std::vector<Link> links_;
  int opening_ = 0;
  std::unordered_map<std::uint64_t, int> terminals_;  // id -> socket
  std::uint64_t next_terminal_ = 1;
  std::deque<std::uint64_t> waiting_;                 // requests in arrival order
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr,
                 "usage: %s db_host db_port db_user db_password database port links dir\n",
                 argv[0]);
    return 2;
  }
  const int links = std::atoi(argv[7]);
  if (links < 1) Die("links must be at least 1");
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  mysql_library_init(0, nullptr, nullptr);
  PooledServer server(Database{argv[1], argv[3], argv[4], argv[5],
                               static_cast<unsigned>(std::atoi(argv[2]))},
                      std::atoi(argv[6]), links, argv[8]);
  server.Run();
}
