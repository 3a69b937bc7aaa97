// A private MariaDB server for tests that need a real database: a fresh data directory in a
// temporary directory, a server on a free TCP port of 127.0.0.1 and a socket of its own, the
// database `larvek` and the user larvek/heslo with all privileges on it. Root keeps an admin
// link (over the socket, no password) for setup statements.
//
// TestDatabase() starts one server per test binary on first use; it is stopped after the
// last test (and at exit at the latest).
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

struct st_mysql;

namespace larvek {
class DbConnection;
}

namespace larvek::testing {

class MariaDb {
 public:
  // Creates the data directory and starts the server; throws std::runtime_error on failure.
  // `server_options` go to the server (not to the installation) at every start.
  MariaDb() : MariaDb(std::vector<std::string>{}) {}
  explicit MariaDb(std::vector<std::string> server_options);
  // Stops the server and removes the directory.
  ~MariaDb();
  MariaDb(const MariaDb&) = delete;
  MariaDb& operator=(const MariaDb&) = delete;

  const std::string& Host() const { return host_; }  // "127.0.0.1"
  int Port() const { return port_; }
  const std::string& User() const { return user_; }          // "larvek"
  const std::string& Password() const { return password_; }  // "heslo"
  const std::string& Database() const { return database_; }  // "larvek"
  const std::string& SocketPath() const { return socket_; }
  const std::string& Directory() const { return dir_; }  // the temporary directory, ending in "/"
  // Points a connection at this server as the user larvek.
  void Configure(DbConnection& connection) const;

  // Runs one or more statements (separated by ";") as root. Throws std::runtime_error with
  // the server's message when one fails.
  void Exec(const std::string& sql);
  // The rows of the statement's result as text, SQL NULL as "NULL".
  std::vector<std::vector<std::string>> Query(const std::string& sql);
  // The first column of the first row; "" when there is no row.
  std::string QueryValue(const std::string& sql);

  // The global sql_mode, which new links take over. ResetSqlMode restores the server's own.
  void SetGlobalSqlMode(const std::string& mode);
  void ResetSqlMode();

  // Starts a fresh general query log (every statement the server receives, from any link).
  void EnableGeneralLog();
  void DisableGeneralLog();
  // The log written since EnableGeneralLog.
  std::string GeneralLog() const;

  // Stops the server (SIGTERM, waiting for it to end) and starts it again on the same port and
  // data directory. Every open link is lost.
  void Restart();
  void Stop();
  void Start();
  bool Running() const { return pid_ > 0; }
  // Freezes the server (SIGSTOP): links stay open, nothing is answered, new connections wait in
  // the listen backlog. Thaw (SIGCONT) lets it go on. The admin link must not be used between.
  void Freeze();
  void Thaw();
  // Kills the server (SIGKILL) as a crash would; Start brings it back on the same data.
  void Kill();

 private:
  void ConnectAdmin();
  void CloseAdmin();
  std::string Tail(const std::string& file) const;

  std::string host_ = "127.0.0.1";
  std::string user_ = "larvek";
  std::string password_ = "heslo";
  std::string database_ = "larvek";
  std::string dir_;
  std::string datadir_;
  std::string socket_;
  std::vector<std::string> server_options_;
  std::string default_sql_mode_;
  std::string general_log_;
  int general_log_count_ = 0;
  int port_ = 0;
  pid_t pid_ = -1;
  bool frozen_ = false;
  st_mysql* admin_ = nullptr;
};

// The server shared by all tests of the binary, started on first use.
MariaDb& TestDatabase();

}  // namespace larvek::testing
