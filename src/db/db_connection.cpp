#include "db/db_connection.h"

#include <mysql.h>

#include <errmsg.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
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

// Errors after which the server side of the link is gone: the statement fails, and the next
// one must connect anew instead of failing the same way until someone disconnects.
bool IsLinkLost(unsigned error) {
  switch (error) {
    case 1053:  // ER_SERVER_SHUTDOWN
    case 1927:  // ER_CONNECTION_KILLED
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case 2055:  // CR_SERVER_LOST_EXTENDED
    case 4031:  // ER_CLIENT_INTERACTION_TIMEOUT
      return true;
    default:
      return false;
  }
}

// Waits until the link's socket shows one of the events `waits_for` names (MYSQL_WAIT_*
// flags) or, when it names MYSQL_WAIT_TIMEOUT, until the client library's time-out is over;
// returns what happened, as the library's continue functions take it.
int AwaitLink(MYSQL* m, int waits_for) {
  pollfd watch{mysql_get_socket(m), 0, 0};
  if (waits_for & MYSQL_WAIT_READ) watch.events |= POLLIN;
  if (waits_for & MYSQL_WAIT_WRITE) watch.events |= POLLOUT;
  if (waits_for & MYSQL_WAIT_EXCEPT) watch.events |= POLLPRI;
  using Clock = std::chrono::steady_clock;
  const bool timed = (waits_for & MYSQL_WAIT_TIMEOUT) != 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timed ? mysql_get_timeout_value_ms(m) : 0);
  for (;;) {
    int wait_ms = -1;
    if (timed) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    const int ready = ::poll(&watch, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
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

}  // namespace

DbConnection::DbConnection() = default;

DbConnection::~DbConnection() {
  Disconnect();
  for (DbQuery* q : queries_) q->DetachConnection();
}

void DbConnection::Disconnect() {
  if (opening_) {
    try {
      EnsureOpen();
    } catch (...) {
    }
  }
  if (!mysql_) return;
  for (DbQuery* q : queries_) {
    try {
      q->Close();
    } catch (...) {
    }
  }
  mysql_close(mysql_);
  mysql_ = nullptr;
  mode_confirmed_ = false;
  --g_open_links;
}

void DbConnection::BeginOpen() {
  if (mysql_ || opening_) return;
  InitClientLibrary();
  MYSQL* m = mysql_init(nullptr);
  if (!m) return;  // EnsureOpen tries again and reports the failure
  unsigned int timeout = settings_.timeout_seconds;
  my_bool reconnect = 0;
  // Opening without blocking also spares the short sleep the blocking connect takes after
  // starting the TCP connect.
  mysql_options(m, MYSQL_OPT_NONBLOCK, nullptr);
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_RECONNECT, &reconnect);
  // The link speaks cp1250 from the handshake on, so the definition lookup compares command
  // names with letters beyond ASCII in the table's character set; the SET NAMES statement of
  // each command stays where it is.
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "cp1250");
  auto or_null = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  opened_ = nullptr;
  opening_waits_for_ = mysql_real_connect_start(
      &opened_, m, or_null(settings_.host), or_null(settings_.user), settings_.password.c_str(),
      or_null(settings_.database), settings_.port == 0 ? 3306 : settings_.port, nullptr,
      CLIENT_CONNECT_WITH_DB);
  opening_ = m;
}

void DbConnection::EnsureOpen() {
  if (mysql_) return;
  BeginOpen();
  if (!opening_) ThrowDatabaseError(kConnectFailed);
  MYSQL* m = std::exchange(opening_, nullptr);
  while (opening_waits_for_ != 0)
    opening_waits_for_ = mysql_real_connect_cont(&opened_, m, AwaitLink(m, opening_waits_for_));
  if (!std::exchange(opened_, nullptr)) {
    unsigned error = mysql_errno(m);
    std::string text(TrimSpaceAndControls(mysql_error(m)));
    mysql_close(m);
    if (error == 0 || text.empty()) ThrowDatabaseError(kConnectFailed);
    ThrowDatabaseError(kSqlErrorPrefix + text, static_cast<int>(error));
  }
  mysql_ = m;
  mode_confirmed_ = false;
  ++g_open_links;
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
  if (IsLinkLost(error)) Disconnect();
  ThrowDatabaseError(kSqlErrorPrefix + text, static_cast<int>(error));
}

std::string DbConnection::QuoteValue(std::string_view value) {
  EnsureOpen();
  return QuoteSqlValue(value, Mode());
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

void DbConnection::Bind(DbQuery* query) {
  queries_.push_back(query);
}

void DbConnection::Unbind(DbQuery* query) {
  queries_.erase(std::remove(queries_.begin(), queries_.end(), query), queries_.end());
}

}  // namespace larvek
