// larvek_load: load generator for the srvlarvek server, terminals over loopback.
//
//   larvek_load [options] HOST:PORT
//
// One thread and one epoll set hold every connection, so 10,000 and more terminals are fine
// (the descriptor limit is raised to the hard limit at start). Each terminal works in a closed
// loop: it sends a request, waits for its reply (a reply ends at CR), checks it and only then
// sends the next request. HOST must be a loopback address (127.0.0.0/8).
//
//   --connections N   terminals (default 1)
//   --requests M      requests per terminal (default 1; 0 = until --duration ends the run)
//   --request TEXT    request template, UTF-8, sent as Windows-1250 + CR; every %d becomes the
//                     request's own number (1, 2, ... over the whole run), so each request of
//                     the run is different (default 'ECHO;%d')
//   --terminator T    the server's reply terminator (key Ukoncovac; default empty)
//   --expect RULE     echo (default): the reply must be exactly NAME;PARAM T CR, where NAME is
//                     the request's command name and PARAM its first parameter (a definition
//                     that returns the parameter, e.g. `select %a% as v`);
//                     name: the reply must be NAME;... CR (records, empty result text)
//                     With either rule NAME;error T CR is an error record.
//   --allow-errors    error records do not fail the run (they are still counted)
//   --idle K          K more connections that connect at start and stay idle to the end
//   --reconnect       a new connection for every request (closed after its reply)
//   --timeout MS      time for a request from its start (connect, send) to its reply (10000)
//   --duration S      no request is started after S seconds; the ones under way finish
//   --progress        a progress line on standard error every second
//   --report N        describe the first N lost or mismatched requests (default 5)
//   --count FIRST     counting mode: terminal k (0, 1, ...) owns the counter FIRST + k and sends
//                     CITAC;<counter> in its closed loop, through every reconnect. The ok reply
//                     is CITAC;<counter>;<n> T CR with n a whole number (a definition that adds
//                     one to the counter's row and reads it back, do_ctecky `id|n`); --request
//                     and --expect do not apply
//   --record FILE     counting mode: every request's outcome into FILE, one CSV line each after
//                     the header `counter,outcome,value,sent_us,ended_us`: the outcome (ok,
//                     error, lost, mismatched), n of an ok reply (else empty), and the wall-clock
//                     times in microseconds since 1970 when the request was started (connect or
//                     send) and when it ended
//
// Every request ends as one of:
//   ok          the expected record
//   error       the error record
//   lost        no reply within the timeout, the connection closed or refused before the reply
//   mismatched  a reply that is neither (e.g. the record of another request); bytes after a
//               reply's CR or on an idle connection count as a mismatched reply too
// An idle connection that cannot connect or is closed by the server counts as lost.
// A lost request's connection is dropped; the terminal goes on with a new one, so a late reply
// cannot be taken for the answer to its next request.
//
// Output: one summary line on standard output, then the latency line (milliseconds from the
// request's last byte sent to its CR received, over every reply); the first lost and
// mismatched requests are described on standard error, one line each:
//   larvek_load: lost: terminal 7 request 'ECHO;r7': no reply within 10000 ms
//
// Exit status: 0 when nothing was lost or mismatched (and, without --allow-errors, no error
// record came); 1 otherwise; 2 usage or set-up errors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "base/codepage.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;
constexpr int kFailed = 1;

void Usage() {
  std::fprintf(stderr,
               "usage: larvek_load [--connections N] [--requests M] [--request TEXT]\n"
               "         [--terminator T] [--expect echo|name] [--allow-errors] [--idle K]\n"
               "         [--reconnect] [--timeout MS] [--duration S] [--progress] [--report N]\n"
               "         [--count FIRST [--record FILE]] HOST:PORT\n"
               "  e.g. larvek_load --connections 300 --requests 100 --request 'ECHO;%%d'\n"
               "       --terminator '#' 127.0.1.1:2000\n");
}

enum class Expect { kEcho, kName };

struct Options {
  long connections = 1;
  long requests = 1;
  std::string request = "ECHO;%d";
  std::string terminator;
  Expect expect = Expect::kEcho;
  bool allow_errors = false;
  long idle = 0;
  bool reconnect = false;
  long timeout_ms = 10000;
  long duration_s = 0;
  bool progress = false;
  long report = 5;
  long first_counter = -1;  // counting mode when >= 0
  std::string record_path;
};

// The ways a request ends, as the summary counts them and the record file names them.
enum class Outcome { kOk, kError, kLost, kMismatched };

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kError:
      return "error";
    case Outcome::kLost:
      return "lost";
    case Outcome::kMismatched:
      return "mismatched";
  }
  return "";
}

// How a reply was judged; value is n of a counting mode's ok reply.
struct Verdict {
  Outcome outcome;
  std::string value;
};

int64_t WallMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

enum class State { kOff, kConnecting, kSending, kWaiting, kIdle };

// A terminal (or an idle connection) and its connection of the moment.
struct Terminal {
  bool idle = false;
  int fd = -1;
  State state = State::kOff;
  long done = 0;        // requests finished
  uint64_t number = 0;  // number of the request under way
  std::string request;  // its bytes, CR included
  size_t sent = 0;
  std::string received;
  Clock::time_point sent_at;
  int64_t started_wall_us = 0;    // when the request under way was started (record file)
  uint64_t timer_generation = 0;  // a queued deadline of another generation is stale
};

struct Deadline {
  Clock::time_point at;
  size_t terminal;
  uint64_t generation;
};

bool ParseNumber(const char* text, long min, long max, long& value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  value = v;
  return true;
}

class Load {
 public:
  Load(const Options& options, const sockaddr_in& target, FILE* record)
      : options_(options),
        target_(target),
        template_(larvek::Utf8ToCp1250(options.request)),
        record_(record) {}

  int Run();

 private:
  void StartRequest(size_t i);
  void Connect(size_t i);
  void Send(size_t i);
  void OnEvent(size_t i, uint32_t events);
  void OnConnected(size_t i);
  void OnReadable(size_t i);
  void CheckReply(size_t i);
  void FailConnect(size_t i, const std::string& why);
  Verdict Judge(size_t i, const std::string& reply);
  Verdict JudgeCount(size_t i, const std::string& reply) const;
  void Record(size_t i, const Verdict& verdict);
  bool Counting() const { return options_.first_counter >= 0; }
  void RequestLost(size_t i, const std::string& why);
  void RequestDone(size_t i);
  void IdleLost(size_t i, const std::string& why);
  void Mismatched(size_t i, const std::string& what);
  void Drop(size_t i);
  void Watch(size_t i, uint32_t events);
  void ArmDeadline(size_t i);
  void ExpireDeadlines(Clock::time_point now);
  bool StartsNew() const { return !stopping_; }
  bool Finished(const Terminal& t) const {
    return options_.requests != 0 && t.done >= options_.requests;
  }
  std::string Describe(size_t i) const;
  void PrintProgress(Clock::time_point now) const;
  void PrintSummary(double seconds) const;

  const Options& options_;
  const sockaddr_in target_;
  const std::string template_;
  FILE* const record_;  // the record file, or null
  int epoll_ = -1;
  std::vector<Terminal> terminals_;
  std::deque<Deadline> deadlines_;  // every deadline is now + timeout: kept in order by itself
  Clock::time_point started_;
  bool stopping_ = false;
  long working_ = 0;  // terminals with requests still to do
  uint64_t next_number_ = 0;
  // Connections that failed at once, ended from the loop (not from within Connect, where a
  // chain of refused connections would recurse request by request).
  std::vector<std::pair<size_t, std::string>> failed_connects_;

  uint64_t finished_ = 0;  // requests that ended one way or another
  uint64_t ok_ = 0, errors_ = 0, lost_ = 0, mismatched_ = 0;
  long reported_ = 0;
  std::vector<uint32_t> latencies_us_;
};

void Load::Watch(size_t i, uint32_t events) {
  Terminal& t = terminals_[i];
  epoll_event e{};
  e.events = events;
  e.data.u64 = i;
  if (epoll_ctl(epoll_, EPOLL_CTL_MOD, t.fd, &e) != 0) {
    std::perror("larvek_load: epoll_ctl");
    std::exit(kUsageError);
  }
}

void Load::ArmDeadline(size_t i) {
  Terminal& t = terminals_[i];
  ++t.timer_generation;
  deadlines_.push_back(
      {Clock::now() + std::chrono::milliseconds(options_.timeout_ms), i, t.timer_generation});
}

// Closes the connection of the moment; queued deadlines for it become stale.
void Load::Drop(size_t i) {
  Terminal& t = terminals_[i];
  if (t.fd >= 0) close(t.fd);  // closing also takes it out of the epoll set
  t.fd = -1;
  t.state = State::kOff;
  t.received.clear();
  ++t.timer_generation;
}

void Load::Connect(size_t i) {
  Terminal& t = terminals_[i];
  t.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (t.fd < 0) {
    failed_connects_.emplace_back(i, std::string("socket: ") + std::strerror(errno));
    return;
  }
  int one = 1;
  setsockopt(t.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  epoll_event e{};
  e.events = EPOLLOUT;
  e.data.u64 = i;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, t.fd, &e) != 0) {
    std::perror("larvek_load: epoll_ctl");
    std::exit(kUsageError);
  }
  t.state = State::kConnecting;
  int rc = connect(t.fd, reinterpret_cast<const sockaddr*>(&target_), sizeof target_);
  if (rc != 0 && errno != EINPROGRESS) {
    failed_connects_.emplace_back(i, std::string("connect: ") + std::strerror(errno));
    Drop(i);
  }
  // Completion (or failure) is reported as writability.
}

void Load::FailConnect(size_t i, const std::string& why) {
  if (terminals_[i].idle) {
    IdleLost(i, why);
  } else {
    RequestLost(i, why);
  }
}

// Starts the terminal's next request, or ends the terminal when it has none left.
void Load::StartRequest(size_t i) {
  Terminal& t = terminals_[i];
  if (Finished(t) || !StartsNew()) {
    Drop(i);
    --working_;
    return;
  }
  t.number = ++next_number_;
  t.request.clear();
  if (Counting()) {
    t.request = "CITAC;" + std::to_string(options_.first_counter + static_cast<long>(i));
  } else {
    const std::string number = std::to_string(t.number);
    for (size_t p = 0; p < template_.size(); ++p) {
      if (template_.compare(p, 2, "%d") == 0) {
        t.request += number;
        ++p;
      } else {
        t.request += template_[p];
      }
    }
  }
  t.request += '\r';
  t.started_wall_us = WallMicroseconds();
  t.sent = 0;
  t.received.clear();
  ArmDeadline(i);
  if (t.fd < 0) {
    Connect(i);
  } else {
    Send(i);
  }
}

void Load::Send(size_t i) {
  Terminal& t = terminals_[i];
  while (t.sent < t.request.size()) {
    ssize_t n = send(t.fd, t.request.data() + t.sent, t.request.size() - t.sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (t.state != State::kSending) Watch(i, EPOLLIN | EPOLLOUT);
      t.state = State::kSending;
      return;
    }
    if (n < 0) {
      RequestLost(i, std::string("send: ") + std::strerror(errno));
      return;
    }
    t.sent += static_cast<size_t>(n);
  }
  if (t.state != State::kWaiting) Watch(i, EPOLLIN);
  t.state = State::kWaiting;
  t.sent_at = Clock::now();
  if (!t.received.empty()) CheckReply(i);  // came while the request was still going out
}

void Load::OnConnected(size_t i) {
  Terminal& t = terminals_[i];
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(t.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    FailConnect(i, std::string("connect: ") + std::strerror(err));
    return;
  }
  if (t.idle) {
    ++t.timer_generation;  // connected: its deadline is over
    t.state = State::kIdle;
    Watch(i, EPOLLIN);
    return;
  }
  t.state = State::kSending;
  Watch(i, EPOLLIN | EPOLLOUT);
  Send(i);
}

void Load::OnEvent(size_t i, uint32_t events) {
  Terminal& t = terminals_[i];
  switch (t.state) {
    case State::kOff:
      return;
    case State::kConnecting:
      if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) OnConnected(i);
      return;
    case State::kSending:
      if (events & EPOLLOUT) Send(i);
      if (t.state != State::kOff && (events & (EPOLLIN | EPOLLERR | EPOLLHUP))) OnReadable(i);
      return;
    case State::kWaiting:
    case State::kIdle:
      OnReadable(i);
      return;
  }
}

void Load::OnReadable(size_t i) {
  Terminal& t = terminals_[i];
  char buf[4096];
  ssize_t n;
  do {
    n = recv(t.fd, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) return;
  if (n <= 0) {
    std::string why = n == 0 ? "connection closed by the server"
                             : std::string("connection failed: ") + std::strerror(errno);
    if (t.idle) {
      IdleLost(i, why);
    } else {
      RequestLost(i, why + (t.received.empty()
                                ? ""
                                : ", part received: '" + larvek::VisibleCp1250(t.received) + "'"));
    }
    return;
  }
  if (t.idle) {
    Mismatched(i, "bytes on an idle connection: '" +
                      larvek::VisibleCp1250(std::string(buf, static_cast<size_t>(n))) + "'");
    return;
  }
  t.received.append(buf, static_cast<size_t>(n));
  if (t.state == State::kWaiting) CheckReply(i);  // else judged once the request is out
}

// Judges the reply once its CR is in.
void Load::CheckReply(size_t i) {
  Terminal& t = terminals_[i];
  size_t cr = t.received.find('\r');
  if (cr == std::string::npos) return;
  auto latency = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t.sent_at);
  latencies_us_.push_back(static_cast<uint32_t>(std::min<int64_t>(latency.count(), UINT32_MAX)));
  std::string reply = t.received.substr(0, cr + 1);
  std::string rest = t.received.substr(cr + 1);
  t.received.clear();
  Record(i, Judge(i, reply));
  if (!rest.empty()) Mismatched(i, "bytes after the reply: '" + larvek::VisibleCp1250(rest) + "'");
  RequestDone(i);
}

// Sorts the reply into ok, error record or mismatched, and counts it.
Verdict Load::Judge(size_t i, const std::string& reply) {
  if (Counting()) {
    Verdict verdict = JudgeCount(i, reply);
    if (verdict.outcome == Outcome::kOk) ++ok_;
    if (verdict.outcome == Outcome::kError) ++errors_;
    if (verdict.outcome == Outcome::kMismatched)
      Mismatched(i, "reply '" + larvek::VisibleCp1250(reply) + "'");
    return verdict;
  }
  const Terminal& t = terminals_[i];
  const std::string request = t.request.substr(0, t.request.size() - 1);
  const size_t name_end = request.find(';');
  const std::string name = request.substr(0, name_end);
  std::string param;
  if (name_end != std::string::npos) {
    size_t param_end = request.find(';', name_end + 1);
    param = request.substr(name_end + 1, param_end == std::string::npos ? std::string::npos
                                                                        : param_end - name_end - 1);
  }
  if (reply == name + ";error" + options_.terminator + "\r") {
    ++errors_;
    return {Outcome::kError, ""};
  }
  bool ok = options_.expect == Expect::kEcho
                ? reply == name + ";" + param + options_.terminator + "\r"
                : reply.compare(0, name.size() + 1, name + ";") == 0;
  if (ok) {
    ++ok_;
    return {Outcome::kOk, ""};
  }
  Mismatched(i, "reply '" + larvek::VisibleCp1250(reply) + "'");
  return {Outcome::kMismatched, ""};
}

// Counting mode: the ok reply is the request (CITAC;<counter>), `;`, the counter's value, T, CR.
Verdict Load::JudgeCount(size_t i, const std::string& reply) const {
  const std::string request = terminals_[i].request.substr(0, terminals_[i].request.size() - 1);
  const std::string end = options_.terminator + "\r";
  if (reply == "CITAC;error" + end) return {Outcome::kError, ""};
  const std::string prefix = request + ";";
  if (reply.size() > prefix.size() + end.size() && reply.compare(0, prefix.size(), prefix) == 0 &&
      reply.compare(reply.size() - end.size(), end.size(), end) == 0) {
    std::string value = reply.substr(prefix.size(), reply.size() - prefix.size() - end.size());
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return {Outcome::kOk, value};
  }
  return {Outcome::kMismatched, ""};
}

// One line of the record file for the request that just ended.
void Load::Record(size_t i, const Verdict& verdict) {
  if (record_ == nullptr) return;
  const Terminal& t = terminals_[i];
  std::fprintf(record_, "%ld,%s,%s,%lld,%lld\n", options_.first_counter + static_cast<long>(i),
               OutcomeName(verdict.outcome), verdict.value.c_str(),
               static_cast<long long>(t.started_wall_us),
               static_cast<long long>(WallMicroseconds()));
}

void Load::Mismatched(size_t i, const std::string& what) {
  ++mismatched_;
  if (reported_++ < options_.report)
    std::fprintf(stderr, "larvek_load: mismatched: %s: %s\n", Describe(i).c_str(), what.c_str());
}

void Load::RequestLost(size_t i, const std::string& why) {
  ++lost_;
  if (reported_++ < options_.report)
    std::fprintf(stderr, "larvek_load: lost: %s: %s\n", Describe(i).c_str(), why.c_str());
  Record(i, {Outcome::kLost, ""});
  Drop(i);
  RequestDone(i);
}

void Load::IdleLost(size_t i, const std::string& why) {
  ++lost_;
  if (reported_++ < options_.report)
    std::fprintf(stderr, "larvek_load: lost: %s: %s\n", Describe(i).c_str(), why.c_str());
  Drop(i);
}

void Load::RequestDone(size_t i) {
  Terminal& t = terminals_[i];
  ++t.done;
  ++finished_;
  if (options_.reconnect) Drop(i);
  StartRequest(i);
}

std::string Load::Describe(size_t i) const {
  const Terminal& t = terminals_[i];
  if (t.idle) return "idle connection " + std::to_string(i - options_.connections + 1);
  return "terminal " + std::to_string(i + 1) + " request '" +
         larvek::VisibleCp1250(t.request.substr(0, t.request.size() - 1)) + "'";
}

void Load::ExpireDeadlines(Clock::time_point now) {
  while (!deadlines_.empty() && deadlines_.front().at <= now) {
    Deadline d = deadlines_.front();
    deadlines_.pop_front();
    Terminal& t = terminals_[d.terminal];
    if (d.generation != t.timer_generation || t.state == State::kOff) continue;
    const std::string limit = std::to_string(options_.timeout_ms) + " ms";
    if (t.idle) {
      IdleLost(d.terminal, "not connected within " + limit);
    } else if (t.state == State::kConnecting) {
      RequestLost(d.terminal, "not connected within " + limit);
    } else {
      RequestLost(d.terminal,
                  "no reply within " + limit +
                      (t.received.empty()
                           ? ""
                           : ", part received: '" + larvek::VisibleCp1250(t.received) + "'"));
    }
  }
}

void Load::PrintProgress(Clock::time_point now) const {
  double seconds = std::chrono::duration<double>(now - started_).count();
  std::fprintf(stderr,
               "larvek_load: progress %.0f s: done=%llu ok=%llu errors=%llu lost=%llu "
               "mismatched=%llu\n",
               seconds, static_cast<unsigned long long>(finished_),
               static_cast<unsigned long long>(ok_), static_cast<unsigned long long>(errors_),
               static_cast<unsigned long long>(lost_),
               static_cast<unsigned long long>(mismatched_));
}

void Load::PrintSummary(double seconds) const {
  const uint64_t done = finished_;
  uint64_t unsent = 0;
  if (options_.requests != 0) {
    const uint64_t planned = static_cast<uint64_t>(options_.requests) * options_.connections;
    unsent = planned > next_number_ ? planned - next_number_ : 0;
  }
  std::printf(
      "larvek_load: requests=%llu ok=%llu errors=%llu lost=%llu mismatched=%llu unsent=%llu "
      "terminals=%ld idle=%ld in %.1f s, %.0f requests/s\n",
      static_cast<unsigned long long>(done), static_cast<unsigned long long>(ok_),
      static_cast<unsigned long long>(errors_), static_cast<unsigned long long>(lost_),
      static_cast<unsigned long long>(mismatched_), static_cast<unsigned long long>(unsent),
      options_.connections, options_.idle, seconds, seconds > 0 ? done / seconds : 0.0);
  std::vector<uint32_t> v = latencies_us_;
  if (v.empty()) {
    std::printf("larvek_load: latency ms: no replies\n");
    return;
  }
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (uint32_t x : v) sum += x;
  auto at = [&v](double q) {
    size_t k = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, k == 0 ? 0 : k - 1)] / 1000.0;
  };
  std::printf("larvek_load: latency ms: mean=%.2f p50=%.2f p99=%.2f max=%.2f\n",
              sum / static_cast<double>(v.size()) / 1000.0, at(0.50), at(0.99), v.back() / 1000.0);
}

int Load::Run() {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) {
    std::perror("larvek_load: epoll_create1");
    return kUsageError;
  }
  terminals_.resize(static_cast<size_t>(options_.connections + options_.idle));
  started_ = Clock::now();
  const Clock::time_point stop_at = started_ + std::chrono::seconds(options_.duration_s);
  Clock::time_point next_progress = started_ + std::chrono::seconds(1);

  for (size_t i = static_cast<size_t>(options_.connections); i < terminals_.size(); ++i) {
    terminals_[i].idle = true;
    ArmDeadline(i);
    Connect(i);
  }
  working_ = options_.connections;
  for (size_t i = 0; i < static_cast<size_t>(options_.connections); ++i) StartRequest(i);

  std::vector<epoll_event> events(1024);
  std::vector<std::pair<size_t, std::string>> refused;
  while (working_ > 0) {
    refused.swap(failed_connects_);
    for (const auto& [terminal, why] : refused) FailConnect(terminal, why);
    refused.clear();
    Clock::time_point now = Clock::now();
    Clock::time_point wake = now + std::chrono::seconds(1);
    if (!deadlines_.empty()) wake = std::min(wake, deadlines_.front().at);
    if (options_.progress) wake = std::min(wake, next_progress);
    if (options_.duration_s > 0 && !stopping_) wake = std::min(wake, stop_at);
    long wait_ms = 0;
    if (wake > now && failed_connects_.empty())
      wait_ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()),
                       static_cast<int>(wait_ms));
    if (n < 0 && errno != EINTR) {
      std::perror("larvek_load: epoll_wait");
      return kUsageError;
    }
    for (int k = 0; k < n; ++k) OnEvent(static_cast<size_t>(events[k].data.u64), events[k].events);
    now = Clock::now();
    ExpireDeadlines(now);
    if (options_.duration_s > 0 && now >= stop_at) stopping_ = true;
    if (options_.progress && now >= next_progress) {
      PrintProgress(now);
      next_progress = now + std::chrono::seconds(1);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  for (const auto& [terminal, why] : failed_connects_) FailConnect(terminal, why);
  // The idle connections had to stay up for the whole run.
  for (size_t i = static_cast<size_t>(options_.connections); i < terminals_.size(); ++i) {
    if (terminals_[i].state == State::kIdle) {
      char probe;
      ssize_t n = recv(terminals_[i].fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK);
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        IdleLost(i, "connection closed by the server");
        continue;
      }
    }
    Drop(i);
  }
  close(epoll_);
  PrintSummary(seconds);
  const bool failed = lost_ != 0 || mismatched_ != 0 || (!options_.allow_errors && errors_ != 0);
  return failed ? kFailed : 0;
}

// The loopback address HOST:PORT stands for; false after printing why there is none.
bool ResolveLoopback(const std::string& address, sockaddr_in& target) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
    Usage();
    return false;
  }
  const std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) {
    std::fprintf(stderr, "larvek_load: %s: %s\n", address.c_str(), gai_strerror(rc));
    return false;
  }
  std::memcpy(&target, list->ai_addr, sizeof target);
  freeaddrinfo(list);
  if ((ntohl(target.sin_addr.s_addr) >> 24) != 127) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &target.sin_addr, text, sizeof text);
    std::fprintf(stderr, "larvek_load: %s is not a loopback address (127.0.0.0/8)\n", text);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string opt = argv[i];
    const bool has_value = i + 1 < argc;
    bool good = true;
    if (opt == "--connections" && has_value) {
      good = ParseNumber(argv[++i], 1, 1000000, o.connections);
    } else if (opt == "--requests" && has_value) {
      good = ParseNumber(argv[++i], 0, 1000000000, o.requests);
    } else if (opt == "--request" && has_value) {
      o.request = argv[++i];
      good = !o.request.empty();
    } else if (opt == "--terminator" && has_value) {
      o.terminator = larvek::Utf8ToCp1250(argv[++i]);
    } else if (opt == "--expect" && has_value) {
      const std::string rule = argv[++i];
      good = rule == "echo" || rule == "name";
      o.expect = rule == "name" ? Expect::kName : Expect::kEcho;
    } else if (opt == "--allow-errors") {
      o.allow_errors = true;
    } else if (opt == "--idle" && has_value) {
      good = ParseNumber(argv[++i], 0, 1000000, o.idle);
    } else if (opt == "--reconnect") {
      o.reconnect = true;
    } else if (opt == "--timeout" && has_value) {
      good = ParseNumber(argv[++i], 1, 3600 * 1000, o.timeout_ms);
    } else if (opt == "--duration" && has_value) {
      good = ParseNumber(argv[++i], 1, 7 * 24 * 3600, o.duration_s);
    } else if (opt == "--progress") {
      o.progress = true;
    } else if (opt == "--report" && has_value) {
      good = ParseNumber(argv[++i], 0, 1000000000, o.report);
    } else if (opt == "--count" && has_value) {
      good = ParseNumber(argv[++i], 0, 1000000000, o.first_counter);
    } else if (opt == "--record" && has_value) {
      o.record_path = argv[++i];
      good = !o.record_path.empty();
    } else if (opt == "--help") {
      Usage();
      return 0;
    } else {
      good = false;
    }
    if (!good) {
      Usage();
      return kUsageError;
    }
  }
  if (i + 1 != argc) {
    Usage();
    return kUsageError;
  }
  if (o.requests == 0 && o.duration_s == 0) {
    std::fprintf(stderr, "larvek_load: --requests 0 needs --duration\n");
    return kUsageError;
  }
  if (!o.record_path.empty() && o.first_counter < 0) {
    std::fprintf(stderr, "larvek_load: --record needs --count\n");
    return kUsageError;
  }
  sockaddr_in target{};
  if (!ResolveLoopback(argv[i], target)) return kUsageError;

  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  const rlim_t needed = static_cast<rlim_t>(o.connections + o.idle + 16);
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < needed) {
    std::fprintf(stderr, "larvek_load: %ld connections need %llu descriptors, the limit is %llu\n",
                 o.connections + o.idle, static_cast<unsigned long long>(needed),
                 static_cast<unsigned long long>(limit.rlim_cur));
    return kUsageError;
  }
  FILE* record = nullptr;
  if (!o.record_path.empty()) {
    record = std::fopen(o.record_path.c_str(), "w");
    if (record == nullptr) {
      std::fprintf(stderr, "larvek_load: %s: %s\n", o.record_path.c_str(), std::strerror(errno));
      return kUsageError;
    }
    std::fprintf(record, "counter,outcome,value,sent_us,ended_us\n");
  }
  Load load(o, target, record);
  const int status = load.Run();
  if (record != nullptr && std::fclose(record) != 0) {
    std::fprintf(stderr, "larvek_load: %s: %s\n", o.record_path.c_str(), std::strerror(errno));
    return kUsageError;
  }
  return status;
}
