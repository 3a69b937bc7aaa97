#include "server/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "base/file_io.h"
#include "base/regional.h"
#include "db/db_error.h"
#include "commands/text_utils.h"
#include "net/host_address.h"
#include "net/socket_error.h"
#include "net/terminal_connection.h"
#include "platform/event_loop.h"
#include "platform/process_stats.h"
#include "server/database_login.h"
#include "server/main_window_view.h"

namespace larvek {
namespace {

// With ANSI_QUOTES the server reads the double-quoted parameter values as column names.
const char kAnsiQuotesWarning[] =
    "Varov\xE1n\xED: sql_mode datab\xE1ze obsahuje ANSI_QUOTES, hodnoty v uvozovk\xE1"
    "ch by se \xE8"
    "etly jako n\xE1zvy sloupc\xF9";
const char kDumpFile[] = "u.txt";
// Sent + CR LF to each terminal that connects while start-up has not reached the day's log.
const char kGreeting[] = "V\xEDtejte na serveru Larvek!";

// Log line once the listener is up: + "address:port".
const char kListeningOn[] = "Naslouch\xE1 na ";
// Log line when the host name gives a loopback address: + the address + kLoopbackWarningEnd.
const char kLoopbackWarning[] = "Varov\xE1n\xED: ";
const char kLoopbackWarningEnd[] =
    " je adresa jen pro tento po\xE8\xEDta\xE8, termin\xE1ly z jin\xFD"
    "ch po\xE8\xEDta\xE8\xF9 se nep\xF8ipoj\xED; nastavte Server_IP v sekci [Server] "
    "vlastn\xEDho INI souboru";

// Log line of connections refused by a limit: "Odmítnuto <n> připojení[ z <address>]:
// překročen limit [Server] <key>=<limit>".
std::string RefusedConnectionsLine(const RefusedConnections& refused) {
  std::string line = "Odm\xEDtnuto " + std::to_string(refused.count) + " p\xF8ipojen\xED";
  if (refused.per_address) line += " z " + refused.address;
  return line +
         ": p\xF8"
         "ekro\xE8"
         "en limit [Server] " +
         (refused.per_address ? "Max_clients_per_address=" : "Max_clients=") +
         std::to_string(refused.limit);
}

bool IsLoopback(uint32_t address_network_order) {
  return (ntohl(address_network_order) >> 24) == 127;
}

std::string ClientCountLine(int count) {
  return "Pr\xE1v\xEC je p\xF8ipojeno " + std::to_string(count) + " klient\xF9.";
}

// Log lines of the request mode: + limit + kParallelModeEnd / "[Server] Parallel_requests=" +
// value + kBadParallelEnd.
const char kParallelMode[] =
    "Paraleln\xED re\x9Eim: nejv\xFD\x9A"
    "e ";
const char kParallelModeEnd[] =
    " po\x9E"
    "adavk\xF9 sou\xE8"
    "asn\xEC u datab\xE1ze";
const char kBadParallelEnd[] =
    ": plat\xED cel\xE9 \xE8\xEDslo 1 a\x9E 256, po\x9E"
    "adavky pob\xEC\x9E\xED po jednom";
// Log lines of the database host name in parallel mode: "Databáze <name> má adresu <address>" /
// "Název databáze <name> nelze přeložit: <reason>".
const char kDatabaseAddress[] = "Datab\xE1ze ";
const char kDatabaseAddressMiddle[] = " m\xE1 adresu ";
const char kDatabaseUnresolved[] = "N\xE1zev datab\xE1ze ";
const char kDatabaseUnresolvedMiddle[] =
    " nelze p\xF8"
    "elo\x9Eit: ";

// The login for links the loop waits for (the pool's, the readiness probe's), which would look a
// host name up blocking at every connect: each name is looked up once, here, and they connect
// to its address. `log_lines` say what came of the lookups; none when none was needed.
struct LoopLinkLogin {
  LinkSettings settings;
  std::vector<std::string> log_lines;
};

LoopLinkLogin LoginForLoopLinks(LinkSettings links) {
  LoopLinkLogin login{std::move(links), {}};
  for (HostPort& entry : login.settings.hosts) {
    const std::string name = entry.host;
    if (name.empty() || name == "localhost" || IsNumericAddress(name)) continue;
    const Resolved resolved = ResolveHostName(name);
    if (!resolved.address) {
      login.log_lines.push_back(kDatabaseUnresolved + name + kDatabaseUnresolvedMiddle +
                                resolved.failure);
      continue;
    }
    login.log_lines.push_back(kDatabaseAddress + name + kDatabaseAddressMiddle +
                              *resolved.address);
    entry.host = *resolved.address;
  }
  return login;
}

// Log line of a host list: "Databázové servery v pořadí zkoušení: " + "host:port, ...".
const char kDatabaseHosts[] =
    "Datab\xE1zov\xE9 servery v po\xF8"
    "ad\xED zkou\x9A"
    "en\xED: ";

std::string DatabaseHostsLine(const std::vector<HostPort>& hosts) {
  return kDatabaseHosts + HostListText(hosts);
}

// Log line of a link that opened after failed connects: "Spojení s databází navázáno na " + n +
// ". pokus (" + host:port + "), předtím: " + the last failure.
const char kRetriedOpen[] =
    "Spojen\xED s datab\xE1z\xED nav\xE1z\xE1no na ";
const char kRetriedOpenTry[] = ". pokus (";
const char kRetriedOpenBefore[] = "), p\xF8" "edt\xEDm: ";

std::string RetriedOpenLine(const LinkOpening& opening) {
  return kRetriedOpen + std::to_string(opening.failed_tries + 1) + kRetriedOpenTry +
         HostPortText(opening.host) + kRetriedOpenBefore + opening.last_failure;
}

// Log lines of a reload: kReloaded + (kReloadChanged + keys)? + (kReloadAtRestart + keys)?, or
// kReloaded + kReloadUnchanged; kReloadRefused + the reason when nothing was applied.
const char kReloaded[] = "Konfigurace znovu na\xE8tena";
const char kReloadChanged[] = ", zm\xECn\xECno: ";
const char kReloadAtRestart[] = "plat\xED a\x9E po restartu: ";
const char kReloadUnchanged[] = ", beze zm\xECn";
const char kReloadRefused[] = "Konfiguraci nelze znovu na\xE8\xEDst, plat\xED dosavadn\xED: ";

std::string KeyList(const std::vector<std::string>& keys) {
  std::string list;
  for (const std::string& key : keys) list += (list.empty() ? "" : ", ") + key;
  return list;
}

std::string ReloadedLine(const ConfigReload& reload) {
  std::string line = kReloaded;
  if (reload.applied.empty() && reload.need_restart.empty()) return line + kReloadUnchanged;
  if (!reload.applied.empty()) line += kReloadChanged + KeyList(reload.applied);
  if (!reload.need_restart.empty())
    line += (reload.applied.empty() ? ", " : "; ") +
            (kReloadAtRestart + KeyList(reload.need_restart));
  return line;
}

// A terminal as the reply sink of a request of parallel mode, found by its id at each reply:
// the connection may be gone by the time the request ends.
class TerminalById final : public ReplySink {
 public:
  TerminalById(const TcpListener& listener, const TerminalConnection& connection)
      : listener_(listener), id_(connection.Id()), address_(connection.PeerAddress()) {}
  uint64_t Id() const override { return id_; }
  std::string PeerAddress() const override { return address_; }
  void Send(std::string bytes) override {
    TerminalConnection* connection = listener_.Find(id_);
    if (connection == nullptr || !connection->Connected()) ThrowSocketError(kWsaeNotConn, "Send");
    connection->SendText(std::move(bytes));
  }

 private:
  const TcpListener& listener_;
  const uint64_t id_;
  const std::string address_;
};

// A connection as the command processor's reply sink.
class ConnectionReplySink final : public ReplySink {
 public:
  explicit ConnectionReplySink(TerminalConnection& connection) : connection_(connection) {}
  uint64_t Id() const override { return connection_.Id(); }
  std::string PeerAddress() const override { return connection_.PeerAddress(); }
  void Send(std::string bytes) override { connection_.SendText(std::move(bytes)); }

 private:
  TerminalConnection& connection_;
};

// Appends `text` to `out` without its CR and LF bytes.
void AppendWithoutLineBreaks(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const size_t end = std::min(text.find_first_of("\r\n"), text.size());
    out.append(text, 0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

// Log line of a configuration value that stops the server: + "[section] key=value: " + error.
const char kBadKeyValue[] = "Chybn\xE1 hodnota ";
// Log line when the listener cannot start: + "[Server] Server_port=<value>): " + error.
const char kListenFailure[] = "Nelze naslouchat (";
// Log line when the dump file cannot be written: + the reason.
const char kDumpFailure[] = "Nelze zapsat u.txt: ";
// Log line once the status listener is up: + "address:port".
const char kStatusPagesOn[] = "Stavov\xE9 str\xE1nky na http://";

// Log line at the end of start-up: "srvlarvek verze <version>, konfigurace <program directory>,
// definice <where from>, <the request mode>".
const char kStartUpVersion[] = "srvlarvek verze ";
const char kStartUpConfiguration[] = ", konfigurace ";
const char kDefinitionsInTable[] = ", definice z tabulky server_term";
const char kDefinitionsInOwnFile[] = ", definice z vlastn\xEDho INI souboru";
const char kDefinitionsUndecided[] =
    ", zdroj definic zat\xEDm neur\xE8"
    "en (datab\xE1ze neodpov\xEC"
    "d\xEC"
    "la)";
const char kOneAtATime[] =
    ", po\x9E"
    "adavky po jednom";
// + limit + kParallelUpToEnd.
const char kParallelUpTo[] =
    ", paraleln\xEC nejv\xFD\x9A"
    "e ";
const char kParallelUpToEnd[] =
    " po\x9E"
    "adavk\xF9";

std::string StartUpLine(const std::string& config_dir, std::optional<DefinitionSource> source,
                        size_t parallel_limit) {
  std::string line =
      kStartUpVersion + std::string(LARVEK_VERSION) + kStartUpConfiguration + config_dir;
  if (!source)
    line += kDefinitionsUndecided;
  else
    line += *source == DefinitionSource::kTable ? kDefinitionsInTable : kDefinitionsInOwnFile;
  if (parallel_limit == 0) return line + kOneAtATime;
  return line + kParallelUpTo + std::to_string(parallel_limit) + kParallelUpToEnd;
}

// The end of a request as the metrics name it; none for a blank reception.
std::optional<RequestEnd> EndOf(const RequestOutcome& outcome) {
  switch (outcome.kind) {
    case RequestOutcome::Kind::kNothing:
      return std::nullopt;
    case RequestOutcome::Kind::kRecords:
      return RequestEnd::kRecords;
    case RequestOutcome::Kind::kEmptyResult:
      return RequestEnd::kEmpty;
    case RequestOutcome::Kind::kErrorRecord:
      return RequestEnd::kError;
    case RequestOutcome::Kind::kUnknownCommand:
      return RequestEnd::kUnknownCommand;
    case RequestOutcome::Kind::kNoReply:
      return outcome.cut ? RequestEnd::kCut : RequestEnd::kNoReply;
    case RequestOutcome::Kind::kTimeoutRecord:
      return RequestEnd::kTimeout;
  }
  return std::nullopt;
}

// Error numbers that say the database did not take the request at all: the client library's
// own (no link, lost link, time-out), a lost session, and the server refusing the login or
// the session (too many connections, access denied, unknown database, a cluster node that is
// not ready).
bool DatabaseDidNotAnswer(int code) {
  return code == 0 || code >= 2000 || IsLinkLostError(code) || code == 1040 || code == 1044 ||
         code == 1045 || code == 1047 || code == 1049;
}

HttpReply TextReply(unsigned status, std::string text) {
  return {status, "text/plain; charset=utf-8", std::move(text) + "\n"};
}

// The status port as a number 1..65535.
uint16_t StatusPortNumber(const std::string& text) {
  unsigned value = 0;
  bool valid = !text.empty() && text.size() <= 5;
  for (char c : text) {
    if (c < '0' || c > '9') valid = false;
    if (valid) value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!valid || value < 1 || value > 65535)
    throw Error::Socket("'" + text + "' is not a port number (1-65535)");
  return static_cast<uint16_t>(value);
}

}  // namespace

// The dump file stays open; each reception + CR LF is written over its start with one
// positioned write, and the file is cut only when the new content is shorter than the old.
// A file that cannot be opened is tried again at the next reception; one that could not be
// written is opened anew then.
void Server::WriteDumpFile(const std::string& bytes) {
  if (dump_fd_ < 0) {
    dump_fd_ = ::open(kDumpFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (dump_fd_ < 0) throw Error::FileCreate(kDumpFile, errno);
    struct stat st {};
    dump_size_ = ::fstat(dump_fd_, &st) == 0 ? static_cast<size_t>(st.st_size) : SIZE_MAX;
  }
  const std::string content = bytes + "\r\n";
  bool ok = WriteAllAt(dump_fd_, content, 0).Ok();
  if (ok && content.size() < dump_size_)
    ok = ::ftruncate(dump_fd_, static_cast<off_t>(content.size())) == 0;
  if (ok) {
    dump_size_ = content.size();
    return;
  }
  ::close(dump_fd_);
  dump_fd_ = -1;
  throw Error::Write();
}

std::string ApplicationTitle(const std::string& program_path) {
  std::string name = program_path.substr(program_path.find_last_of('/') + 1);
  name = name.substr(0, name.find('.'));
  for (size_t i = 1; i < name.size(); ++i)
    if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
  return name;
}

std::string FormatDuration(std::chrono::milliseconds duration) {
  constexpr std::chrono::milliseconds kDay = std::chrono::days{1};
  std::chrono::milliseconds within_day = duration % kDay;
  if (within_day < within_day.zero()) within_day += kDay;
  return FormatClockTime(std::chrono::hh_mm_ss(within_day));
}

std::string MessageBoxText(const std::string& text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') return text + ".";
  return text;
}

Server::Server(EventLoop& loop, MainWindowView& view, const std::string& program_path,
               const std::string& log_dir)
    : listener(loop),
      shared_query(db_connection, "DbQuery1"),
      config_store(OwnConfigPath(program_path)),
      watchdog_timer(loop),
      loop_(loop),
      view_(view),
      program_dir_(ProgramDirectory(program_path)),
      log_(view.Log(), log_dir.empty() ? program_dir_ : log_dir),
      processor_(
          db_connection, shared_query, config_store, watchdog_timer, settings_,
          [this](const std::string& text) { AddLogLine(text); },
          [this](uint64_t id) -> std::unique_ptr<ReplySink> {
            TerminalConnection* connection = listener.Find(id);
            if (connection == nullptr || !connection->Connected()) return nullptr;
            return std::make_unique<ConnectionReplySink>(*connection);
          }),
      status_(loop,
              [this](const std::string& path, StatusListener::Answer answer) {
                ServeStatusPage(path, std::move(answer));
              }),
      drain_timer_(loop) {
  // Many requests of one round need the definitions: one look at the own file serves them all.
  config_store.ShareLooksWithinRounds([&loop] { return loop.CurrentRound(); });
  processor_.SetLinkOpenedHandler([this](const LinkOpening& opening) {
    metrics_.CountLinkOpened(opening.took);
    if (opening.failed_tries > 0) AddLogLine(RetriedOpenLine(opening));
  });
  listener.SetHandlers({
      .on_client_connect = [this](TcpListener&, TerminalConnection& c) { OnTerminalConnected(c); },
      .on_client_disconnect =
          [this](TcpListener&, TerminalConnection& c) { OnTerminalDisconnected(c); },
      .on_background_error = [this](TcpListener&, const Error& e) { return OnListenerError(e); },
      .on_session_closed = [this](TcpListener&, int code) { OnListenerClosed(code); },
      .on_connections_refused =
          [this](TcpListener&, const RefusedConnections& refused) {
            AddLogLine(RefusedConnectionsLine(refused));
          },
  });
  drain_timer_.SetInterval(kDrainTimeMs);
  drain_timer_.SetHandlers({.on_timer = [this] {
    drain_timer_.SetEnabled(false);
    processor_.CutAll();
    DrainStep();
  }});
  watchdog_timer.SetHandlers({.on_timer = [this] {
    // One at a time the late timeout record belongs to a request counted already.
    metrics_.CountWatchdogExpiry();
    try {
      const RequestOutcome late = processor_.OnWatchdogExpired();
      if (late.failure) metrics_.CountSocketError();
    } catch (const std::exception& e) {
      ShowError(e);
    }
  }});
}

Server::~Server() {
  watchdog_timer.SetEnabled(false);
  if (dump_fd_ >= 0) ::close(dump_fd_);
}

void Server::ShowError(const std::exception& error) {
  view_.ShowErrorMessage(MessageBoxText(error.what()));
}

StartOutcome Server::Start() {
  // A failed stage ends start-up; the outcome names it, since a database that is down is no
  // reason for a service to give up. Either way the log says what runs now.
  StartOutcome outcome = StartOutcome::kStarted;
  if (!ShowingErrors([this] { ReadConfiguration(); })) {
    outcome = StartOutcome::kFailed;
  } else if (!ShowingErrors([this] { ContactDatabase(); })) {
    database_down_at_start_ = true;
    outcome = StartOutcome::kDatabaseDown;
  } else if (!ShowingErrors([this] { LoadLogAndListen(); })) {
    outcome = StartOutcome::kFailed;
  }
  AddLogLine(StartUpLine(program_dir_, settings_.definitions, processor_.ParallelLimit()));
  return outcome;
}

bool Server::ShowingErrors(const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    ShowError(e);
    return false;
  }
}

void Server::OnWindowShown() {
  PostStartListening();
}

std::string Server::Caption() const {
  return "Serv_Larvek: database: " + db_connection.Settings().database + ", port: " + server_port_;
}

void Server::ApplyConfig(const StartupConfig& config) {
  server_port_ = config.server_port;
  server_ip_ = config.server_ip;
  status_port_ = config.status_port;
  status_ip_ = config.status_ip;
  ApplyChangeable(config);
  if (config.hosts.size() > 1) AddLogLine(DatabaseHostsLine(config.hosts));
  SetUpRequestMode(config);
}

void Server::ApplyChangeable(const StartupConfig& config) {
  ApplyDatabaseLogin(config, db_connection);
  settings_.terminator = config.terminator;
  settings_.max_reply = static_cast<size_t>(config.max_reply);
  ListenerSettings terminals = listener.Settings();  // the greeting is StartListening's
  terminals.max_clients = config.max_clients;
  terminals.max_clients_per_address = config.max_clients_per_address;
  terminals.requests_end_with_cr = config.requests_end_with_cr;
  listener.SetSettings(terminals);
  if (config.max_time) watchdog_timer.SetInterval(*config.max_time);
  settings_.watchdog_on = config.watchdog_on;
  settings_.regional = config.regional;
  view_.Log().EchoRequestLines(config.journal_requests);
}

void Server::SetUpRequestMode(const StartupConfig& config) {
  if (config.bad_parallel_requests)
    AddLogLine(std::string(kBadKeyValue) + "[Server] Parallel_requests=" +
               *config.bad_parallel_requests + kBadParallelEnd);
  const bool parallel = config.parallel_requests > 1 && !processor_.Parallel();
  const bool status_pages = StatusPagesConfigured();
  probe_settings_ = db_connection.Settings();
  if (!parallel && !status_pages) return;
  const LoopLinkLogin login = LoginForLoopLinks(db_connection.Settings());
  for (const std::string& line : login.log_lines) AddLogLine(line);
  const LinkSettings& links = login.settings;
  probe_settings_ = links;
  if (!parallel) return;
  processor_.SetParallel(loop_, static_cast<size_t>(config.parallel_requests), links);
  AddLogLine(kParallelMode + std::to_string(config.parallel_requests) + kParallelModeEnd);
}

void Server::ReloadConfiguration() {
  log_.ReopenDayFile();
  // The reading takes a file it cannot read for an empty one, which would put the defaults in
  // force: such a file stops the reload instead. A shared file that was not there before is
  // none of its business.
  const Result<void> own = CheckConfigFile(config_store.Path());
  const std::string shared_path = SharedConfigPath(program_dir_);
  const Result<void> shared = CheckConfigFile(shared_path);
  std::optional<Error> unreadable;
  if (!own) {
    unreadable = Error::FileOpen(config_store.Path(), own.Failure().code);
  } else if (!shared && (shared_config_present_ || shared.Failure().code != ENOENT)) {
    unreadable = Error::FileOpen(shared_path, shared.Failure().code);
  }
  if (unreadable) {
    AddLogLine(kReloadRefused + unreadable->Message());
    return;
  }
  const StartupConfigRead read = ReadStartupConfig(config_store, program_dir_);
  if (read.failure) {
    const std::string line = ReadFailureLine(read);
    AddLogLine(kReloadRefused + (line.empty() ? read.failure->Message() : line));
    return;
  }
  shared_config_present_ = shared.Ok();
  const ConfigReload reload = CompareForReload(running_config_, read.config);
  const StartupConfig& config = reload.config;
  const LinkSettings login_before = db_connection.Settings();
  ApplyChangeable(config);
  // Between two events no request holds the server's own link: the one start-up left open
  // goes, so that the next request logs in with what applies now.
  db_connection.Disconnect();
  const bool parallel = config.parallel_requests > 1;
  // The links the loop waits for take the new login; a host name is looked up again only
  // when it may have changed.
  if (!(db_connection.Settings() == login_before) || (parallel && !processor_.Parallel())) {
    const bool status_pages = StatusPagesConfigured();
    probe_settings_ = parallel || status_pages
                          ? LoginForLoopLinks(db_connection.Settings()).settings
                          : db_connection.Settings();
    ready_probe_stale_ = true;
  }
  if (parallel)
    processor_.SetParallel(loop_, static_cast<size_t>(config.parallel_requests), probe_settings_);
  else
    processor_.EndParallel();
  running_config_ = config;
  AddLogLine(ReloadedLine(reload));
}

void Server::ReadConfiguration() {
  settings_.definitions = DefinitionSource::kOwnFile;

  shared_config_present_ = CheckConfigFile(SharedConfigPath(program_dir_)).Ok();
  const StartupConfigRead read = ReadStartupConfig(config_store, program_dir_);
  ApplyConfig(read.config);  // what was read before a failure stays in force
  running_config_ = read.config;
  if (read.failure) {
    const std::string line = ReadFailureLine(read);
    if (!line.empty()) AddLogLine(line);
    throw *read.failure;
  }

  view_.SetWindowCaption(Caption());
}

std::string Server::ReadFailureLine(const StartupConfigRead& read) {
  // The value that stopped the reading, next to the error.
  if (!read.failure || read.failed_setting.empty()) return "";
  return std::string(kBadKeyValue) + read.failed_setting + ": " + read.failure->Message();
}

void Server::ContactDatabase() {
  // From here on a failure leaves the source undecided: requests probe the database again
  // until it answers (see CommandProcessor).
  settings_.definitions = std::nullopt;
  if (GlobalSqlModeHasAnsiQuotes()) AddLogLine(kAnsiQuotesWarning);
  settings_.definitions = ProbeDefinitionSource(db_connection);
  // In parallel mode requests use the pool's links only; the start-up's link would otherwise
  // stay open beside them for the whole run.
  if (processor_.Parallel()) db_connection.Disconnect();
}

void Server::LoadLogAndListen() {
  greet_terminals_ = false;
  log_.Load();
  PostStartListening();
}

bool Server::GlobalSqlModeHasAnsiQuotes() {
  DbQuery mode(db_connection);
  mode.SqlAdd("select @@global.sql_mode as m");
  mode.Open();
  return !mode.NoRows() &&
         mode.ColumnByName("m").AsString(settings_.regional).find("ANSI_QUOTES") !=
             std::string::npos;
}

void Server::PostStartListening() {
  if (start_posted_) return;
  start_posted_ = true;
  loop_.Post([this] {
    try {
      StartListening();
    } catch (const std::exception& e) {
      // The message box has the listener's text; the log also names the key behind it.
      AddLogLine(std::string(kListenFailure) + "[Server] Server_port=" + server_port_ +
                 "): " + e.what());
      ShowError(e);
    }
    bool up = listener.Listening();
    if (up && StatusPagesConfigured()) {
      try {
        StartStatusListener();
      } catch (const std::exception& e) {
        AddLogLine(std::string(kListenFailure) + "[Server] Status_port=" + status_port_ +
                   "): " + e.what());
        ShowError(e);
        up = false;
      }
    }
    if (OnListenAttempted) OnListenAttempted(up);
  });
}

void Server::ShutDown() {
  ShowingErrors([this] { log_.AppendTypedLines(); });
}

int Server::ExitStatus() const {
  return log_.AllLinesWritten() ? 0 : 1;
}

void Server::SaveWindowPlacement(const WindowGeometry& window, bool at_teardown) {
  larvek::SaveWindowPlacement(config_store, window, at_teardown);
}

void Server::RestoreWindowPlacement(WindowGeometry& window) const {
  larvek::RestoreWindowPlacement(config_store, window);
}

void Server::StartListening() {
  const std::string caption = Caption();
  view_.SetWindowCaption(caption);
  view_.SetTitleBarCaption(caption);
  // The greeting is decided here, once: listening starts after start-up has ended, so a normal
  // start greets no terminal and a start-up that stopped (the database down, a bad value)
  // greets every terminal for the whole run.
  ListenerSettings settings = listener.Settings();
  settings.greeting = greet_terminals_ ? kGreeting : "";
  listener.SetSettings(settings);
  // No Server_IP: the host name's first address, which on many machines is a loopback one.
  std::optional<uint32_t> host_address;
  if (server_ip_.empty()) host_address = HostIPv4Address();
  const std::string address = host_address ? DottedQuad(*host_address) : server_ip_;
  listener.Listen(address, server_port_);
  AddLogLine(kListeningOn + listener.ListeningAddress() + ":" +
             std::to_string(listener.ListeningPort()));
  if (host_address && IsLoopback(*host_address))
    AddLogLine(kLoopbackWarning + address + kLoopbackWarningEnd);
}

void Server::StartStatusListener() {
  status_.Listen(status_ip_, StatusPortNumber(status_port_));
  AddLogLine(kStatusPagesOn + status_ip_ + ":" + std::to_string(status_.Port()) + "/");
}

void Server::OnTerminalConnected(TerminalConnection& client) {
  metrics_.CountConnectionAccepted();
  AddLogLine("P\xF8ipojeno. Klient: " + client.PeerAddress() + "/" + client.PeerPort() +
             " Server: " + client.BoundAddress() + "/" + client.BoundPort());
  AddLogLine(ClientCountLine(listener.ConnectionCount()));
  client.SetHandlers({
      .on_data_available = [this](TerminalConnection& c) { OnTerminalData(c); },
      .on_slow_reader =
          [this](TerminalConnection& c) {
            metrics_.CountSlowTerminal();
            AddLogLine("Odpojen klient " + c.PeerAddress() +
                       ": ne\xE8te odpov\xEC"
                       "di");
          },
      .on_background_error =
          [this](TerminalConnection&, const Error& e) { return OnTerminalError(e); },
  });
  connected_at_[client.Id()] = Now();
}

void Server::OnTerminalDisconnected(TerminalConnection& client) {
  // A midnight when the connect handler failed before keeping the time: the duration shows the
  // time of day.
  LocalTime connected_at{};
  if (auto it = connected_at_.find(client.Id()); it != connected_at_.end()) {
    connected_at = it->second;
    connected_at_.erase(it);
  }
  AddLogLine("Odpojen\xED klienta: " + client.PeerAddress() + "   " +
             "Trv\xE1n\xED: " + FormatDuration(Now() - connected_at));
  AddLogLine(ClientCountLine(listener.ConnectionCount() - 1));
}

SocketErrorAction Server::OnListenerError(const Error& error) {
  metrics_.CountSocketError();
  AddLogLine("Chyba serveru: " + error.ClassName() + ": " + error.Message());
  return SocketErrorAction::kKeepOpen;
}

void Server::OnListenerClosed(int code) {
  view_.ShowListenerClosedWarning(code);
}

void Server::OnTerminalData(TerminalConnection& client) {
  std::string reception = client.Read();
  if (reception.size() >= TerminalConnection::kMaxReception) metrics_.CountLongReception();
  const bool parallel = processor_.Parallel();
  if (!parallel) processor_.OpenLinkAhead(reception);
  try {
    WriteDumpFile(reception);
    dump_failure_logged_ = false;
  } catch (const Error& e) {
    // The request is served all the same; the failure is logged once until a write succeeds.
    if (!dump_failure_logged_) AddLogLine(std::string(kDumpFailure) + e.Message());
    dump_failure_logged_ = true;
  }
  while (!reception.empty() && reception.back() == '\r') reception.pop_back();
  // A hostile terminal must not fill the disk through the log: long receptions are cut.
  const std::string_view logged = LoggedPart(reception);
  std::string line = "Na\xE8teno z ";
  line.reserve(line.size() + 48 + logged.size());
  line += client.PeerAddress();
  line += ": '";
  AppendWithoutLineBreaks(line, logged);
  line += '\'';
  if (logged.size() < reception.size()) line += CutNote(reception.size());
  AddLogLine(line);
  if (!parallel) {
    ConnectionReplySink terminal(client);
    Count(processor_.Handle(terminal, reception));
    return;
  }
  // One request per connection: its next bytes wait until this one has ended, so its replies
  // keep the order of its requests.
  if (reception.empty()) return;  // the end of the stream: nothing to do
  client.PauseReading();
  const uint64_t id = client.Id();
  processor_.Begin(std::make_unique<TerminalById>(listener, client), std::move(reception),
                   [this, id](const RequestOutcome& outcome) { RequestEnded(id, outcome); });
}

void Server::RequestEnded(uint64_t terminal_id, const RequestOutcome& outcome) {
  Count(outcome);
  if (draining_) {
    // Told after the request has gone from the processor's count.
    loop_.Post([this] { DrainStep(); });
    return;
  }
  if (TerminalConnection* connection = listener.Find(terminal_id)) connection->ResumeReading();
}

void Server::Drain(std::function<void()> done) {
  if (draining_) return;
  draining_ = true;
  drained_ = std::move(done);
  // Also when the requests of parallel mode end after a reload went back to one at a time.
  if (processor_.Parallel() || processor_.InFlight() > 0) {
    listener.StopServing();
    processor_.CutWaiting();
    if (processor_.InFlight() > 0) drain_timer_.SetEnabled(true);
  }
  DrainStep();
}

void Server::DrainStep() {
  if (!draining_ || processor_.InFlight() > 0 || !drained_) return;
  drain_timer_.SetEnabled(false);
  std::function<void()> done = std::move(drained_);
  drained_ = nullptr;
  done();
}

void Server::Count(const RequestOutcome& outcome) {
  const std::optional<RequestEnd> end = EndOf(outcome);
  if (!end) return;
  metrics_.CountRequest(*end, outcome.took, outcome.command);
  if (*end == RequestEnd::kTimeout) metrics_.CountWatchdogExpiry();
  if (outcome.failure && outcome.failure->Kind() == ErrorKind::kDatabase &&
      outcome.failure->Code() != 0)
    metrics_.CountDatabaseError(outcome.failure->Code());
  NoteDatabaseContact(outcome);
}

void Server::NoteDatabaseContact(const RequestOutcome& outcome) {
  bool answered = false;
  switch (outcome.kind) {
    case RequestOutcome::Kind::kRecords:
    case RequestOutcome::Kind::kEmptyResult:
      answered = true;
      break;
    case RequestOutcome::Kind::kUnknownCommand:
      // Only a lookup in the table asked the database.
      if (settings_.definitions != DefinitionSource::kTable) return;
      answered = true;
      break;
    case RequestOutcome::Kind::kErrorRecord:
      if (!outcome.failure || outcome.failure->Kind() != ErrorKind::kDatabase) return;
      answered = !DatabaseDidNotAnswer(outcome.failure->Code());
      break;
    default:
      return;
  }
  // Counted from the request's start, so that the contact is never younger than it was.
  last_contact_ = DatabaseContact{
      std::chrono::steady_clock::now() -
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(outcome.took),
      answered};
}

ServerCounts Server::Counts() const {
  const bool database_down = last_contact_ ? !last_contact_->answered : database_down_at_start_;
  return {metrics_.ConnectionsAccepted(), metrics_.Requests(), metrics_.Errors(), database_down};
}

MetricsGauges Server::Gauges() const {
  MetricsGauges gauges;
  if (processor_.Parallel()) {
    gauges.requests_in_flight = processor_.InFlight();
    gauges.requests_waiting = processor_.Waiting();
    gauges.links_open = processor_.LinksOpen();
    gauges.links_idle = processor_.LinksIdle();
  } else {
    // One at a time a page is made only between requests, when the link is closed.
    gauges.links_open = db_connection.Connected() ? 1 : 0;
  }
  gauges.terminals_connected = static_cast<uint64_t>(listener.ConnectionCount());
  gauges.accept_pauses = listener.AcceptPauses();
  gauges.log_write_failures = log_.UnwrittenLines();
  gauges.database_up = last_contact_ && last_contact_->answered;
  if (settings_.definitions == DefinitionSource::kTable) gauges.definition_source = "table";
  if (settings_.definitions == DefinitionSource::kOwnFile) gauges.definition_source = "file";
  gauges.process = ReadProcessStats();
  return gauges;
}

std::optional<std::string> Server::Unhealthy() const {
  if (draining_) return "the server is ending";
  if (!listener.Listening()) return "the terminal listener is not up";
  return std::nullopt;
}

void Server::ServeStatusPage(const std::string& path, StatusListener::Answer answer) {
  if (path == "/metrics") {
    answer({200, "text/plain; version=0.0.4", metrics_.Page(Gauges())});
  } else if (path == "/health") {
    const std::optional<std::string> reason = Unhealthy();
    answer(reason ? TextReply(503, *reason) : TextReply(200, "ok"));
  } else if (path == "/ready") {
    AnswerReady(std::move(answer));
  } else {
    answer(TextReply(404, "not found"));
  }
}

void Server::AnswerReady(StatusListener::Answer answer) {
  if (const std::optional<std::string> reason = Unhealthy()) {
    answer(TextReply(503, *reason));
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (last_contact_ && now - last_contact_->at < kContactFreshness) {
    answer(last_contact_->answered ? TextReply(200, "ok")
                                   : TextReply(503, "the database does not answer"));
    return;
  }
  // The last contact is too old to tell: a probe of its own asks the database, and every
  // readiness request until it ends gets its answer.
  ready_waiting_.push_back(std::move(answer));
  if (!ready_probe_ || (ready_probe_stale_ && !ready_probe_->Checking())) {
    ready_probe_ = std::make_unique<DatabaseProbe>(loop_, probe_settings_, kReadyProbeLimit);
    ready_probe_stale_ = false;
  }
  if (ready_probe_->Checking()) return;
  ready_probe_->Check([this, started = now](bool answered) {
    last_contact_ = DatabaseContact{started, answered};
    std::vector<StatusListener::Answer> waiting = std::move(ready_waiting_);
    ready_waiting_.clear();
    const std::optional<std::string> reason = Unhealthy();
    for (StatusListener::Answer& due : waiting) {
      if (reason) {
        due(TextReply(503, *reason));
      } else {
        due(answered ? TextReply(200, "ok") : TextReply(503, "the database does not answer"));
      }
    }
  });
}

SocketErrorAction Server::OnTerminalError(const Error& error) {
  metrics_.CountSocketError();
  AddLogLine("Chyba klienta: " + error.ClassName() + ": " + error.Message());
  return SocketErrorAction::kClose;
}

}  // namespace larvek
