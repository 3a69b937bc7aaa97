#include "db/db_connection.h"

#include <mysql.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/text.h"
#include "db/db_error.h"
#include "db/db_query.h"

namespace larvek {
namespace {

int g_open_links = 0;

// The client library wants one initialisation per process; ending it at exit (when no link is
// left open) releases its global memory.
void InitClientLibrary() {
  static bool done = false;
  if (done) return;
  done = true;
  mysql_library_init(0, nullptr, nullptr);
  std::atexit([] {
    if (g_open_links == 0) mysql_library_end();
  });
}

// Waits until the socket `fd` shows one of the events `waits_for` names (MYSQL_WAIT_* flags)
// or, when it names MYSQL_WAIT_TIMEOUT, until `timeout_ms` have passed; returns what happened,
// as the library's continue functions take it. A negative `fd` (a pause) waits for the time.
int AwaitLink(int fd, int waits_for, unsigned timeout_ms) {
  pollfd watch{fd, 0, 0};
  if (waits_for & MYSQL_WAIT_READ) watch.events |= POLLIN;
  if (waits_for & MYSQL_WAIT_WRITE) watch.events |= POLLOUT;
  if (waits_for & MYSQL_WAIT_EXCEPT) watch.events |= POLLPRI;
  using Clock = std::chrono::steady_clock;
  const bool timed = (waits_for & MYSQL_WAIT_TIMEOUT) != 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timed ? timeout_ms : 0);
  for (;;) {
    int wait_ms = -1;
    if (timed) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    const int ready = ::poll(&watch, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && timed && Clock::now() < deadline) continue;
    if (ready <= 0) return MYSQL_WAIT_TIMEOUT;  // a failed poll ends the wait as a time-out
    int happened = 0;
    if (watch.revents & POLLIN) happened |= MYSQL_WAIT_READ;
    if (watch.revents & POLLOUT) happened |= MYSQL_WAIT_WRITE;
    if (watch.revents & POLLPRI) happened |= MYSQL_WAIT_EXCEPT;
    // An error or hang-up on the socket: the library finds it with its next read or write.
    if (watch.revents & (POLLERR | POLLHUP | POLLNVAL))
      happened |= waits_for & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
    return happened;
  }
}

// Which entry of a host list answered last, shared by the links with that list: a new link
// starts there. A few lists at most are ever in use (the running login, one reloaded).
size_t& PreferredHost(const std::vector<HostPort>& hosts) {
  static std::vector<std::pair<std::vector<HostPort>, size_t>> known;
  for (auto& [list, index] : known)
    if (list == hosts) return index;
  if (known.size() >= 8) known.erase(known.begin());
  known.emplace_back(hosts, 0);
  return known.back().second;
}

// The pauses before the second and the third round of tries.
constexpr std::chrono::milliseconds kConnectPauses[] = {std::chrono::milliseconds(100),
                                                        std::chrono::milliseconds(400)};

}  // namespace

DbConnection::DbConnection() = default;

DbConnection::~DbConnection() {
  if (step_ != Step::kNone) CloseAbruptly();
  Disconnect();
}

void DbConnection::Disconnect() {
  open_failed_ahead_ = false;
  if (Connecting()) {
    try {
      EnsureOpen();
    } catch (...) {
    }
  }
  if (!mysql_) return;
  EndSession();
  mysql_close(mysql_);
  mysql_ = nullptr;
  mode_confirmed_ = false;
  --g_open_links;
}

MYSQL* DbConnection::NewHandle() {
  InitClientLibrary();
  MYSQL* m = mysql_init(nullptr);
  if (!m) return nullptr;
  unsigned int timeout = settings_.timeout_seconds;
  my_bool reconnect = 0;
  // Opening without blocking also spares the short sleep the blocking connect takes after
  // starting the TCP connect. The option must come before any non-blocking call.
  mysql_options(m, MYSQL_OPT_NONBLOCK, nullptr);
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_RECONNECT, &reconnect);
  // The link speaks cp1250 from the handshake on, so the definition lookup compares command
  // names with letters beyond ASCII in the table's character set; the SET NAMES statement of
  // each command stays where it is.
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "cp1250");
  return m;
}

void DbConnection::Opened(MYSQL* m) {
  mysql_ = m;
  mode_confirmed_ = false;
  ++g_open_links;
  if (settings_.hosts.size() > 1) PreferredHost(settings_.hosts) = tries_.host;
  if (on_opened_)
    on_opened_({std::chrono::steady_clock::now() - connect_started_, settings_.hosts[tries_.host],
                tries_.failed, tries_.last_failure});
}

void DbConnection::BeginOpen() {
  if (mysql_ || Connecting() || open_failed_ahead_) return;
  opening_waits_for_ = StartConnect();
  // A connect that failed at once keeps its failure for EnsureOpen.
  open_failed_ahead_ = !Connecting() && !mysql_;
}

int DbConnection::StartConnect() {
  connect_started_ = std::chrono::steady_clock::now();
  timed_out_ = false;
  if (settings_.hosts.empty()) settings_.hosts = {HostPort{}};
  tries_ = Tries{};
  if (settings_.hosts.size() > 1)
    tries_.host = PreferredHost(settings_.hosts) % settings_.hosts.size();
  return StartTry();
}

int DbConnection::StartTry() {
  op_failure_.reset();
  MYSQL* m = NewHandle();
  if (!m) {
    op_failure_.emplace(kConnectFailed, 0);
    step_ = Step::kNone;
    return 0;
  }
  auto or_null = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  opened_ = nullptr;
  opening_ = m;
  ++socket_serial_;
  step_ = Step::kConnect;
  // The strings stay in settings_, which do not change while the link opens.
  const HostPort& host = settings_.hosts[tries_.host];
  const int waits = mysql_real_connect_start(
      &opened_, m, or_null(host.host), or_null(settings_.user), settings_.password.c_str(),
      or_null(settings_.database), host.port == 0 ? 3306 : host.port, nullptr,
      CLIENT_CONNECT_WITH_DB);
  if (waits != 0) return waits;
  return RunSteps(false, 0);
}

int DbConnection::TryFailed(int error) {
  ++tries_.failed;
  tries_.last_failure = op_failure_ ? op_failure_->first : kConnectFailed;
  if (IsRetryableConnectError(error)) tries_.retryable = true;
  const size_t hosts = settings_.hosts.size();
  tries_.host = (tries_.host + 1) % hosts;  // after a whole round: where the round began
  if (++tries_.in_round < hosts) return StartTry();
  // Every host failed. Another round only for a database that did not take the connect up,
  // and only when the pause ends within the time the connect may take.
  const auto now = std::chrono::steady_clock::now();
  const size_t pause_index = static_cast<size_t>(tries_.pauses);
  const bool pauses_left = pause_index < std::size(kConnectPauses);
  const bool in_time =
      pauses_left && (settings_.timeout_seconds == 0 ||
                      now + kConnectPauses[pause_index] <
                          connect_started_ + std::chrono::seconds(settings_.timeout_seconds));
  if (!tries_.retryable || !in_time) {
    step_ = Step::kNone;
    return 0;  // op_failure_ holds the last try's failure
  }
  tries_.pause_ends = now + kConnectPauses[pause_index];
  ++tries_.pauses;
  tries_.in_round = 0;
  tries_.retryable = false;
  step_ = Step::kConnectPause;
  return kLinkWaitTimeout;
}

int DbConnection::StartStatement(std::string text) {
  timed_out_ = false;
  op_failure_.reset();
  if (stored_) mysql_free_result(std::exchange(stored_, nullptr));
  stored_fields_ = 0;
  op_text_ = std::move(text);
  step_ = Step::kQuery;
  return RunSteps(false, 0);
}

int DbConnection::StartReset() {
  timed_out_ = false;
  op_failure_.reset();
  mode_confirmed_ = false;
  step_ = Step::kReset;
  return RunSteps(false, 0);
}

int DbConnection::StartClose() {
  timed_out_ = false;
  op_failure_.reset();
  if (!mysql_) return 0;
  EndSession();
  step_ = Step::kClose;
  return RunSteps(false, 0);
}

int DbConnection::Continue(int happened) {
  if (happened & kLinkWaitTimeout) timed_out_ = true;
  return RunSteps(true, happened);
}

int DbConnection::RunSteps(bool resume, int happened) {
  for (;;) {
    MYSQL* m = mysql_;
    int waits = 0;
    switch (step_) {
      case Step::kNone:
        return 0;
      case Step::kConnect: {
        m = opening_;
        if (resume) {
          waits = mysql_real_connect_cont(&opened_, m, happened);
          if (waits != 0) return waits;
        }
        opening_ = nullptr;
        step_ = Step::kNone;
        if (!std::exchange(opened_, nullptr)) {
          const unsigned error = mysql_errno(m);
          std::string text(TrimSpaceAndControls(mysql_error(m)));
          mysql_close(m);
          if (error == 0 || text.empty())
            op_failure_.emplace(kConnectFailed, 0);
          else
            op_failure_.emplace(kSqlErrorPrefix + text, static_cast<int>(error));
          return TryFailed(static_cast<int>(error));
        }
        timed_out_ = false;
        Opened(m);
        return 0;
      }
      case Step::kConnectPause:
        if (!resume) return kLinkWaitTimeout;
        // The pause's own time is over (or the operation's time, which the next try meets).
        timed_out_ = false;
        return StartTry();
      case Step::kQuery:
        waits = resume ? mysql_real_query_cont(&op_int_, m, happened)
                       : mysql_real_query_start(&op_int_, m, op_text_.data(), op_text_.size());
        if (waits != 0) return waits;
        if (op_int_ != 0) return FailStep();
        step_ = Step::kStore;
        break;
      case Step::kStore:
      case Step::kStoreMore:
        waits = resume ? mysql_store_result_cont(&op_result_, m, happened)
                       : mysql_store_result_start(&op_result_, m);
        if (waits != 0) return waits;
        if (!op_result_ && mysql_field_count(m) != 0) return FailStep();
        if (step_ == Step::kStore) {
          stored_ = std::exchange(op_result_, nullptr);
          stored_fields_ = mysql_field_count(m);
        } else if (op_result_) {
          mysql_free_result(std::exchange(op_result_, nullptr));
        }
        if (!mysql_more_results(m)) {
          // The whole answer is in: its status flags confirm the mode.
          mode_confirmed_ = true;
          step_ = Step::kNone;
          op_text_.clear();
          return 0;
        }
        step_ = Step::kNextResult;
        break;
      case Step::kNextResult:
        waits = resume ? mysql_next_result_cont(&op_int_, m, happened)
                       : mysql_next_result_start(&op_int_, m);
        if (waits != 0) return waits;
        if (op_int_ > 0) return FailStep();
        step_ = Step::kStoreMore;
        break;
      case Step::kReset:
        waits = resume ? mysql_reset_connection_cont(&op_int_, m, happened)
                       : mysql_reset_connection_start(&op_int_, m);
        if (waits != 0) return waits;
        if (op_int_ != 0) return FailStep();
        mode_confirmed_ = false;
        step_ = Step::kCharset;
        break;
      case Step::kCharset:
        // The reset brings the server's side back to the handshake's cp1250, but the client
        // keeps the character set a statement chose; a fresh link has cp1250 on both sides.
        if (!resume && std::strcmp(mysql_character_set_name(m), "cp1250") == 0) {
          step_ = Step::kSelectDb;
          break;
        }
        waits = resume ? mysql_set_character_set_cont(&op_int_, m, happened)
                       : mysql_set_character_set_start(&op_int_, m, "cp1250");
        if (waits != 0) return waits;
        if (op_int_ != 0) return FailStep();
        step_ = Step::kSelectDb;
        break;
      case Step::kSelectDb:
        // The reset keeps the database a USE chose (the client follows it through the
        // session's schema tracking); a fresh link is in the configured one.
        if (!resume && (settings_.database.empty() ||
                        (m->db != nullptr && settings_.database == m->db))) {
          step_ = Step::kNone;
          return 0;
        }
        waits = resume ? mysql_select_db_cont(&op_int_, m, happened)
                       : mysql_select_db_start(&op_int_, m, settings_.database.c_str());
        if (waits != 0) return waits;
        if (op_int_ != 0) return FailStep();
        step_ = Step::kNone;
        return 0;
      case Step::kClose:
        waits = resume ? mysql_close_cont(m, happened) : mysql_close_start(m);
        if (waits != 0) return waits;
        mysql_ = nullptr;
        mode_confirmed_ = false;
        --g_open_links;
        step_ = Step::kNone;
        return 0;
    }
    resume = false;
  }
}

int DbConnection::FailStep() {
  const unsigned error = mysql_errno(mysql_);
  std::string text(TrimSpaceAndControls(mysql_error(mysql_)));
  if (text.empty()) text = "unknown error";
  step_ = Step::kNone;
  op_text_.clear();
  if (stored_) mysql_free_result(std::exchange(stored_, nullptr));
  stored_fields_ = 0;
  mode_confirmed_ = false;
  op_failure_.emplace(kSqlErrorPrefix + text, static_cast<int>(error));
  if (IsLinkLostError(static_cast<int>(error)) || timed_out_) CloseAbruptly();
  return 0;
}

void DbConnection::FinishOperation() {
  if (!op_failure_) return;
  std::pair<std::string, int> failure = std::move(*op_failure_);
  op_failure_.reset();
  ThrowDatabaseError(failure.first, failure.second);
}

int DbConnection::Socket() const {
  if (step_ == Step::kConnectPause) return -1;
  if (opening_) return static_cast<int>(mysql_get_socket(opening_));
  return mysql_ ? static_cast<int>(mysql_get_socket(mysql_)) : -1;
}

unsigned DbConnection::WaitTimeoutMs() const {
  if (step_ == Step::kConnectPause) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        tries_.pause_ends - std::chrono::steady_clock::now());
    return static_cast<unsigned>(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
  }
  MYSQL* m = opening_ ? opening_ : mysql_;
  return m ? mysql_get_timeout_value_ms(m) : 0;
}

unsigned long DbConnection::ThreadId() const {
  return mysql_ ? mysql_thread_id(mysql_) : 0;
}

void DbConnection::CloseAbruptly() {
  if (step_ == Step::kConnectPause) step_ = Step::kNone;  // no handle between tries
  MYSQL* m = opening_ ? opening_ : mysql_;
  if (!m) return;
  // Whatever the operation had begun is dropped: the socket is shut first, so the goodbye the
  // library writes while closing cannot wait for anything.
  const int fd = static_cast<int>(mysql_get_socket(m));
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  if (op_result_) mysql_free_result(std::exchange(op_result_, nullptr));
  if (stored_) mysql_free_result(std::exchange(stored_, nullptr));
  stored_fields_ = 0;
  step_ = Step::kNone;
  op_text_.clear();
  if (opening_) {
    mysql_close(std::exchange(opening_, nullptr));
    opened_ = nullptr;
    return;
  }
  EndSession();
  mysql_close(mysql_);
  mysql_ = nullptr;
  mode_confirmed_ = false;
  --g_open_links;
}

void DbConnection::EnsureOpen() {
  if (mysql_) return;
  BeginOpen();
  open_failed_ahead_ = false;
  while (opening_waits_for_ != 0)
    opening_waits_for_ =
        Continue(AwaitLink(Socket(), opening_waits_for_, WaitTimeoutMs()));
  if (!mysql_ && !op_failure_) ThrowDatabaseError(kConnectFailed);
  FinishOperation();
}

void DbConnection::Execute(const std::string& text) {
  EnsureOpen();
  if (mysql_real_query(mysql_, text.data(), text.size()) != 0) RaiseLinkError();
}

void DbConnection::DiscardMoreResults() {
  while (mysql_more_results(mysql_)) {
    if (mysql_next_result(mysql_) > 0) RaiseLinkError();
    if (MYSQL_RES* extra = mysql_store_result(mysql_)) mysql_free_result(extra);
  }
  mode_confirmed_ = true;
}

void DbConnection::RaiseLinkError() {
  unsigned error = mysql_errno(mysql_);
  std::string text(TrimSpaceAndControls(mysql_error(mysql_)));
  if (text.empty()) text = "unknown error";
  // The session may have changed its mode before failing (a procedure that sets sql_mode,
  // then signals); the error reply does not say.
  mode_confirmed_ = false;
  if (IsLinkLostError(static_cast<int>(error))) Disconnect();
  ThrowDatabaseError(kSqlErrorPrefix + text, static_cast<int>(error));
}

std::optional<EscapeMode> DbConnection::ConfirmedMode() const {
  if (!mysql_ || !mode_confirmed_) return std::nullopt;
  return (mysql_->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) ? EscapeMode::kNoBackslash
                                                                      : EscapeMode::kBackslash;
}

EscapeMode DbConnection::Mode() {
  if (const std::optional<EscapeMode> mode = ConfirmedMode()) return *mode;
  Execute(kModeProbe);  // DO returns no result set
  DiscardMoreResults();
  if (const std::optional<EscapeMode> mode = ConfirmedMode()) return *mode;
  ThrowDatabaseError(kConnectFailed);  // not reached: an answered statement confirms the mode
}

}  // namespace larvek
