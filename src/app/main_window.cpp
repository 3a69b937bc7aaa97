#include "app/main_window.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "app/error.h"
#include "app/regional.h"
#include "net/host_address.h"
#include "net/tcp_srv_client.h"
#include "platform/event_loop.h"
#include "platform/main_window_view.h"

namespace larvek {
namespace {

const char kProbeStatement[] = "SHOW TABLES LIKE \"server_term\"";
// With ANSI_QUOTES the server reads the double-quoted parameter values as column names.
const char kAnsiQuotesWarning[] =
    "Varov\xE1n\xED: sql_mode datab\xE1ze obsahuje ANSI_QUOTES, hodnoty v uvozovk\xE1"
    "ch by se \xE8"
    "etly jako n\xE1zvy sloupc\xF9";
const char kDumpFile[] = "u.txt";

std::string ClientCountLine(int count) {
  return "Pr\xE1v\xEC je p\xF8ipojeno " + std::to_string(count) + " klient\xF9.";
}

// The time-of-day part of a duration in day numbers as "hh:nn:ss"; whole days are dropped.
std::string FormatDuration(DateTime duration) {
  double fraction = duration - std::floor(duration);
  long seconds = std::lround(fraction * 86400000.0) / 1000 % 86400;
  return FormatClockTime(static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                         static_cast<int>(seconds % 60));
}

std::string WithoutLineBreaks(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

// Rewrites the dump file with the reception + CR LF. The bytes are written over the old content
// and the file is then cut to their length: the same result as creating it anew, without the
// file system flushing a truncated-and-rewritten file at every close.
void WriteDumpFile(const std::string& bytes) {
  int fd = ::open(kDumpFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    throw Error(kFileCreateError,
                std::string("Cannot create file \"u.txt\". ") + std::strerror(errno));
  const std::string content = bytes + "\r\n";
  bool ok =
      ::pwrite(fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()) &&
      ::ftruncate(fd, static_cast<off_t>(content.size())) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok) throw Error(kWriteError, "Stream write error");
}

}  // namespace

std::string ApplicationTitle(const std::string& program_path) {
  std::string name = program_path.substr(program_path.find_last_of('/') + 1);
  name = name.substr(0, name.find('.'));
  for (size_t i = 1; i < name.size(); ++i)
    if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
  return name;
}

std::string MessageBoxText(const std::string& text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') return text + ".";
  return text;
}

Tsrvlarvek::Tsrvlarvek(EventLoop& loop, MainWindowView& view, const std::string& program_path)
    : TcpListener1(loop),
      DbQuery1(DbConnection1, "DbQuery1"),
      IniStorage1(OwnConfigPath(program_path)),
      Timer1(loop),
      loop_(loop),
      view_(view),
      program_dir_(ProgramDirectory(program_path)),
      log_(view.Log(), program_dir_),
      processor_(DbConnection1, DbQuery1, IniStorage1, Timer1, settings_,
                 [this](const std::string& text) { AddLogLine(text); }) {
  TcpListener1.OnClientConnect = [this](TTcpListener&, TTcpSrvClient& c) {
    TcpListener1ClientConnect(c);
  };
  TcpListener1.OnClientDisconnect = [this](TTcpListener&, TTcpSrvClient& c) {
    TcpListener1ClientDisconnect(c);
  };
  TcpListener1.OnBgException = [this](TTcpListener&, const Error& e, bool& can_close) {
    TcpListener1BgException(e, can_close);
  };
  TcpListener1.OnSessionClosed = [this](TTcpListener&, int code) {
    TcpListener1SessionClosed(code);
  };
  Timer1.OnTimer = [this] {
    try {
      processor_.Timer1Timer();
    } catch (const std::exception& e) {
      ShowError(e);
    }
  };
}

Tsrvlarvek::~Tsrvlarvek() {
  Timer1.SetEnabled(false);
}

void Tsrvlarvek::ShowError(const std::exception& error) {
  view_.ShowErrorMessage(MessageBoxText(error.what()));
}

void Tsrvlarvek::Create() {
  try {
    FormCreate();
  } catch (const std::exception& e) {
    ShowError(e);
  }
}

void Tsrvlarvek::Show() {
  FormShow();
}

void Tsrvlarvek::Destroy() {
  try {
    FormDestroy();
  } catch (const std::exception& e) {
    ShowError(e);
  }
}

std::string Tsrvlarvek::Caption() const {
  return "Serv_Larvek: database: " + DbConnection1.Database + ", port: " + server_port_;
}

void Tsrvlarvek::ApplyConfig(const StartupConfig& config) {
  DbConnection1.HostName = config.host;
  DbConnection1.Password = config.password;
  DbConnection1.User = config.user;
  DbConnection1.Port = config.port;
  DbConnection1.Database = config.database;
  settings_.ukoncovac = config.ukoncovac;
  server_port_ = config.server_port;
  if (config.max_time) Timer1.SetInterval(*config.max_time);
  settings_.interval_on = config.interval_on;
  SetRegional(config.regional);
}

void Tsrvlarvek::FormCreate() {
  settings_.use_ini_definitions = true;

  StartupConfig config;
  try {
    ReadStartupConfig(IniStorage1, program_dir_, config);
  } catch (...) {
    ApplyConfig(config);  // what was read before the failure stays in force
    throw;
  }
  ApplyConfig(config);

  view_.SetWindowCaption(Caption());
  IniStorage1.IniSection = "";

  if (GlobalSqlModeHasAnsiQuotes()) AddLogLine(kAnsiQuotesWarning);
  {
    TDbQuery probe(DbConnection1);
    probe.SqlAdd(kProbeStatement);
    probe.Open();
    if (!probe.NoRows()) settings_.use_ini_definitions = false;
    probe.Close();
  }

  TcpListener1.Banner.clear();
  log_.Load();
  PostStartServer();
}

bool Tsrvlarvek::GlobalSqlModeHasAnsiQuotes() {
  TDbQuery mode(DbConnection1);
  mode.SqlAdd("select @@global.sql_mode as m");
  mode.Open();
  return !mode.NoRows() &&
         mode.ColumnByName("m").AsString().find("ANSI_QUOTES") != std::string::npos;
}

void Tsrvlarvek::FormShow() {
  PostStartServer();
}

void Tsrvlarvek::PostStartServer() {
  if (start_posted_) return;
  start_posted_ = true;
  loop_.Post([this] {
    try {
      WMStartServer();
    } catch (const std::exception& e) {
      ShowError(e);
    }
  });
}

void Tsrvlarvek::FormDestroy() {
  log_.Save();
}

void Tsrvlarvek::WMStartServer() {
  const std::string caption = Caption();
  view_.SetWindowCaption(caption);
  view_.SetTitleBarCaption(caption);
  TcpListener1.Port = server_port_;
  TcpListener1.Address = DottedQuad(HostIPv4Address());
  TcpListener1.Listen();
}

void Tsrvlarvek::TcpListener1ClientConnect(TTcpSrvClient& client) {
  AddLogLine("P\xF8ipojeno. Klient: " + client.PeerAddress() + "/" + client.PeerPort() +
             " Server: " + client.BoundAddress() + "/" + client.BoundPort());
  AddLogLine(ClientCountLine(TcpListener1.ConnectionCount()));
  client.OnDataAvailable = [this](TTcpSrvClient& c) { TerminalDataAvailable(c); };
  client.OnBgException = [this](TTcpSrvClient&, const Error& e, bool& can_close) {
    TerminalBgException(e, can_close);
  };
  client.ConnectedAt = ToDateTime(Now());
}

void Tsrvlarvek::TcpListener1ClientDisconnect(TTcpSrvClient& client) {
  processor_.ForgetClient(client);
  AddLogLine("Odpojen\xED klienta: " + client.PeerAddress() + "   " +
             "Trv\xE1n\xED: " + FormatDuration(ToDateTime(Now()) - client.ConnectedAt));
  AddLogLine(ClientCountLine(TcpListener1.ConnectionCount() - 1));
}

void Tsrvlarvek::TcpListener1BgException(const Error& error, bool& can_close) {
  AddLogLine("Chyba serveru: " + error.ClassName() + ": " + error.Message());
  can_close = false;
}

void Tsrvlarvek::TcpListener1SessionClosed(int code) {
  view_.ShowListenerClosedWarning(code);
}

void Tsrvlarvek::TerminalDataAvailable(TTcpSrvClient& client) {
  const std::string text = client.Read();
  client.ReceivedLine = text;
  WriteDumpFile(text);
  std::string& line = client.ReceivedLine;
  while (!line.empty() && line.back() == '\r') line.pop_back();
  AddLogLine("Na\xE8teno z " + client.PeerAddress() + ": '" + WithoutLineBreaks(line) + "'");
  processor_.zpracPrikaz(client);
}

void Tsrvlarvek::TerminalBgException(const Error& error, bool& can_close) {
  AddLogLine("Chyba klienta: " + error.ClassName() + ": " + error.Message());
  can_close = true;
}

}  // namespace larvek
