// The main window object: owns every component of the server and holds the handlers that the
// event loop and the components call. Front ends (console, desktop) create one, call Create()
// and, when the window is first shown, Show(); at the end Destroy() saves the log.
#pragma once

#include <string>

#include "app/activity_log.h"
#include "app/config.h"
#include "app/ini_storage.h"
#include "commands/command_processor.h"
#include "db/db_connection.h"
#include "db/db_query.h"
#include "net/tcp_listener.h"
#include "platform/timer.h"

namespace larvek {

class Error;
class EventLoop;
class MainWindowView;

// The application title: the program file's name without its directory, cut at its first ".",
// every letter after the first in lower case.
std::string ApplicationTitle(const std::string& program_path);
// The text of an error message box: a "." is appended when the last character sorts after ".".
std::string MessageBoxText(const std::string& text);

class Tsrvlarvek {
 public:
  Tsrvlarvek(EventLoop& loop, MainWindowView& view, const std::string& program_path);
  ~Tsrvlarvek();
  Tsrvlarvek(const Tsrvlarvek&) = delete;
  Tsrvlarvek& operator=(const Tsrvlarvek&) = delete;

  // FormCreate with its failure handling: an error ends it and is shown in a message box.
  void Create();
  // FormShow: the window is shown for the first time (the console counts as shown at once).
  void Show();
  // FormDestroy with its failure handling.
  void Destroy();

  void FormCreate();
  void FormShow();
  void FormDestroy();
  void WMStartServer();

  void AddLogLine(const std::string& text) { log_.AddLogLine(text); }
  std::string Caption() const;

  // Components, created before any handler runs.
  TTcpListener TcpListener1;
  TDbConnection DbConnection1;
  TDbQuery DbQuery1;
  TIniStorage IniStorage1;
  Timer Timer1;

 private:
  void TcpListener1ClientConnect(TTcpSrvClient& client);
  void TcpListener1ClientDisconnect(TTcpSrvClient& client);
  void TcpListener1BgException(const Error& error, bool& can_close);
  void TcpListener1SessionClosed(int code);
  void TerminalDataAvailable(TTcpSrvClient& client);
  void TerminalBgException(const Error& error, bool& can_close);
  void ApplyConfig(const StartupConfig& config);
  // Whether the database server's global sql_mode holds ANSI_QUOTES; the first contact
  // with the database at start-up, so its failure stops start-up like the probe's.
  bool GlobalSqlModeHasAnsiQuotes();
  void PostStartServer();
  void ShowError(const std::exception& error);

  EventLoop& loop_;
  MainWindowView& view_;
  std::string program_dir_;
  ActivityLog log_;
  CommandSettings settings_;
  TCommandProcessor processor_;
  std::string server_port_;
  std::string database_;
  bool start_posted_ = false;
};

}  // namespace larvek
