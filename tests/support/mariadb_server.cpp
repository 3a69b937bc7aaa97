#include "mariadb_server.h"

#include <mysql.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "db/db_connection.h"
#include "temp_dir.h"

namespace larvek::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string FindProgram(const std::string& name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin:/sbin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  throw std::runtime_error("MariaDB test server: program not found: " + name);
}

// A TCP port on 127.0.0.1 that nobody listens on right now.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("MariaDB test server: no free port");
  close(fd);
  return ntohs(addr.sin_port);
}

// Starts `args` with stdout and stderr going to `log`. The child dies with the test process.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("MariaDB test server: fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid` up to `seconds`; true when it ended (its status in *status).
bool WaitFor(pid_t pid, double seconds, int* status) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Options that keep the server small and quick to start; install and server share them.
std::vector<std::string> CommonOptions(const std::string& datadir) {
  std::vector<std::string> options = {
      "--no-defaults",
      "--datadir=" + datadir,
      "--innodb-buffer-pool-size=16M",
      "--innodb-log-file-size=8M",
      "--innodb-flush-log-at-trx-commit=0",
      "--innodb-doublewrite=0",
      "--skip-log-bin",
      "--performance-schema=0",
      "--character-set-server=utf8mb4",
      "--collation-server=utf8mb4_general_ci",
  };
  if (geteuid() == 0) options.push_back("--user=root");
  return options;
}

MariaDb* g_server = nullptr;

void StopSharedServer() {
  delete g_server;
  g_server = nullptr;
}

class StopServerAfterTests : public ::testing::Environment {
 public:
  void TearDown() override { StopSharedServer(); }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new StopServerAfterTests);

}  // namespace

MariaDb::MariaDb(std::vector<std::string> server_options)
    : server_options_(std::move(server_options)) {
  std::string pattern = (fs::temp_directory_path() / "larvek-mariadb-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("MariaDB test server: mkdtemp failed");
  dir_ = pattern + "/";
  datadir_ = dir_ + "data";
  socket_ = dir_ + "mysql.sock";
  port_ = FreePort();

  std::vector<std::string> install = {FindProgram("mariadb-install-db")};
  for (const std::string& o : CommonOptions(datadir_)) install.push_back(o);
  install.push_back("--auth-root-authentication-method=normal");
  install.push_back("--skip-test-db");
  int status = 0;
  pid_t pid = Spawn(install, dir_ + "install.log");
  if (!WaitFor(pid, 120, &status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("MariaDB test server: install failed:\n" + Tail(dir_ + "install.log"));

  try {
    // Another process may take the free port before the server binds it; the first start
    // then tries another one.
    for (int attempt = 1;; ++attempt) {
      try {
        Start();
        break;
      } catch (const std::runtime_error& e) {
        if (attempt == 5 ||
            std::string(e.what()).find("Address already in use") == std::string::npos)
          throw;
        port_ = FreePort();
      }
    }
    default_sql_mode_ = QueryValue("SELECT @@GLOBAL.sql_mode");
    Exec("CREATE DATABASE larvek");
    for (const char* host : {"127.0.0.1", "localhost", "%"}) {
      std::string account = "'larvek'@'" + std::string(host) + "'";
      Exec("CREATE USER " + account + " IDENTIFIED BY 'heslo'");
      Exec("GRANT ALL PRIVILEGES ON larvek.* TO " + account);
    }
  } catch (...) {
    Stop();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    throw;
  }
}

MariaDb::~MariaDb() {
  Stop();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void MariaDb::Start() {
  if (Running()) return;
  std::vector<std::string> args = {FindProgram("mariadbd")};
  for (const std::string& o : CommonOptions(datadir_)) args.push_back(o);
  args.insert(args.end(),
              {"--socket=" + socket_, "--port=" + std::to_string(port_), "--bind-address=127.0.0.1",
               "--skip-name-resolve", "--pid-file=" + dir_ + "mariadb.pid",
               "--log-error=" + dir_ + "error.log", "--tmpdir=" + dir_});
  args.insert(args.end(), server_options_.begin(), server_options_.end());
  pid_ = Spawn(args, dir_ + "server.log");

  auto deadline = Clock::now() + std::chrono::seconds(120);
  while (true) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("MariaDB test server: server ended at start:\n" +
                               Tail(dir_ + "error.log"));
    }
    try {
      ConnectAdmin();
      return;
    } catch (const std::runtime_error&) {
      if (Clock::now() > deadline) {
        Stop();
        throw std::runtime_error("MariaDB test server: no connection:\n" +
                                 Tail(dir_ + "error.log"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

void MariaDb::CloseAdmin() {
  if (admin_) mysql_close(admin_);
  admin_ = nullptr;
}

void MariaDb::Stop() {
  Thaw();
  CloseAdmin();
  if (!Running()) return;
  kill(pid_, SIGTERM);
  int status;
  if (!WaitFor(pid_, 60, &status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

void MariaDb::Freeze() {
  if (!Running() || frozen_) return;
  kill(pid_, SIGSTOP);
  frozen_ = true;
}

void MariaDb::Thaw() {
  if (!Running() || !frozen_) return;
  kill(pid_, SIGCONT);
  frozen_ = false;
}

void MariaDb::Kill() {
  CloseAdmin();
  if (!Running()) return;
  kill(pid_, SIGKILL);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  frozen_ = false;
}

void MariaDb::Restart() {
  Stop();
  Start();
}

void MariaDb::ConnectAdmin() {
  MYSQL* m = mysql_init(nullptr);
  my_bool reconnect = 0;
  mysql_options(m, MYSQL_OPT_RECONNECT, &reconnect);
  if (!mysql_real_connect(m, "localhost", "root", "", nullptr, 0, socket_.c_str(),
                          CLIENT_MULTI_STATEMENTS)) {
    std::string error = mysql_error(m);
    mysql_close(m);
    throw std::runtime_error("MariaDB test server: " + error);
  }
  admin_ = m;
}

void MariaDb::Configure(DbConnection& connection) const {
  LinkSettings settings = connection.Settings();
  settings.hosts = {HostPort{host_, port_}};
  settings.user = user_;
  settings.password = password_;
  settings.database = database_;
  connection.SetSettings(settings);
}

std::vector<std::vector<std::string>> MariaDb::Query(const std::string& sql) {
  if (!admin_) throw std::runtime_error("MariaDB test server: not running");
  std::vector<std::vector<std::string>> rows;
  if (mysql_real_query(admin_, sql.data(), sql.size()) != 0)
    throw std::runtime_error("MariaDB test server: " + std::string(mysql_error(admin_)) +
                             " in: " + sql);
  do {
    if (MYSQL_RES* result = mysql_store_result(admin_)) {
      rows.clear();
      unsigned n = mysql_num_fields(result);
      while (MYSQL_ROW row = mysql_fetch_row(result)) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        std::vector<std::string>& out = rows.emplace_back();
        for (unsigned i = 0; i < n; ++i)
          out.push_back(row[i] ? std::string(row[i], lengths[i]) : "NULL");
      }
      mysql_free_result(result);
    } else if (mysql_field_count(admin_) != 0) {
      throw std::runtime_error("MariaDB test server: " + std::string(mysql_error(admin_)));
    }
    int next = mysql_next_result(admin_);
    if (next > 0)
      throw std::runtime_error("MariaDB test server: " + std::string(mysql_error(admin_)) +
                               " in: " + sql);
    if (next < 0) break;
  } while (true);
  return rows;
}

void MariaDb::Exec(const std::string& sql) {
  Query(sql);
}

std::string MariaDb::QueryValue(const std::string& sql) {
  auto rows = Query(sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

void MariaDb::SetGlobalSqlMode(const std::string& mode) {
  Exec("SET GLOBAL sql_mode = '" + mode + "'");
}

void MariaDb::ResetSqlMode() {
  SetGlobalSqlMode(default_sql_mode_);
}

void MariaDb::EnableGeneralLog() {
  general_log_ = dir_ + "general-" + std::to_string(++general_log_count_) + ".log";
  Exec(
      "SET GLOBAL general_log = 0; SET GLOBAL log_output = 'FILE'; SET GLOBAL general_log_file = "
      "'" +
      general_log_ + "'; SET GLOBAL general_log = 1");
}

void MariaDb::DisableGeneralLog() {
  Exec("SET GLOBAL general_log = 0");
}

std::string MariaDb::GeneralLog() const {
  return general_log_.empty() ? "" : TempDir::Read(general_log_);
}

std::string MariaDb::Tail(const std::string& file) const {
  std::string text = TempDir::Read(file);
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

MariaDb& TestDatabase() {
  if (!g_server) {
    g_server = new MariaDb();
    std::atexit([] {
      StopSharedServer();
      mysql_library_end();
    });
  }
  return *g_server;
}

}  // namespace larvek::testing
