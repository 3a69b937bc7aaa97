// The real binary with the listening address from Server_IP, other program and log
// directories, and the service mode with a supervisor's notification socket and its reload on
// SIGHUP. The database is down (port 1 on loopback refuses at once), which is no start-up
// failure, except for the parallel mode's change of login, which runs on the test database.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "command_database.h"
#include "frontends/console/service_notifier.h"
#include "mariadb_server.h"
#include "server_process.h"
#include "temp_dir.h"

namespace larvek::testing {
namespace {

using namespace std::chrono_literals;

std::string OwnConfig(int port, const std::string& server_ip = "", const std::string& extra = "") {
  std::string ini =
      "[LogOn]\r\nIP=127.0.0.1\r\nSQLport=1\r\n[Server]\r\nServer_port=" + std::to_string(port) +
      "\r\n";
  if (!server_ip.empty()) ini += "Server_IP=" + server_ip + "\r\n";
  return ini + extra;
}

std::string TodayDir() {
  char buf[16];
  time_t now = time(nullptr);
  strftime(buf, sizeof buf, "%Y%m%d", localtime(&now));
  return buf;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

bool Reachable(const std::string& address, int port) {
  return Terminal(address, port).Connected();
}

// Retries for a while: the listener starts from an event posted after start-up.
bool BecomesReachable(const std::string& address, int port) {
  for (int i = 0; i < 250; ++i) {
    if (Reachable(address, port)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

bool AnyMessageContains(const ServerProcess& server, const std::string& needle) {
  for (const std::string& m : server.Messages())
    if (m.find(needle) != std::string::npos) return true;
  return false;
}

// ---- Server_IP

struct AddressCase {
  const char* name;
  std::string server_ip;
  std::vector<std::string> reachable;    // "host": the default rule's address
  std::vector<std::string> unreachable;  // skipped when equal to the default rule's address
  std::string listening_on;              // "" for a failure; "host" as above
};

void PrintTo(const AddressCase& c, std::ostream* os) {
  *os << c.name;
}

class ServerIp : public ::testing::TestWithParam<AddressCase> {};

TEST_P(ServerIp, ListensWhereConfigured) {
  const AddressCase& c = GetParam();
  const std::string host = ServerProcess::ListenAddress();
  auto resolve = [&host](const std::string& a) { return a == "host" ? host : a; };
  ServerProcess server;
  const int port = ServerProcess::FreePort();
  server.WriteOwnConfig(OwnConfig(port, c.server_ip));
  server.Start();
  if (c.listening_on.empty()) {
    // Not an address of this host: the start of the listener fails like a failed bind.
    EXPECT_TRUE(server.WaitForStderr("(#10049 in Bind)")) << server.Stderr();
    EXPECT_FALSE(AnyMessageContains(server, "Naslouchá na "));
    return;
  }
  for (const std::string& a : c.reachable) EXPECT_TRUE(BecomesReachable(resolve(a), port)) << a;
  for (const std::string& a : c.unreachable)
    if (a != host) {
      EXPECT_FALSE(Reachable(a, port)) << a;
    }
  const std::string bound = resolve(c.listening_on);
  ASSERT_TRUE(server.WaitForMessage("Naslouchá na " + bound + ":" + std::to_string(port)));
  // Only the default rule warns, and only when it gave a loopback address. The warning is the
  // line after the one waited for, which the harness may not have read yet.
  const bool default_rule = c.server_ip.find_first_not_of(' ') == std::string::npos;
  const bool expect_warning = default_rule && host.rfind("127.", 0) == 0;
  const bool warned = server.WaitForMessage("nastavte Server_IP", expect_warning ? 10s : 300ms);
  EXPECT_EQ(warned, expect_warning);
  EXPECT_EQ(server.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ServerIp,
    ::testing::Values(AddressCase{"absent", "", {"host"}, {"127.0.0.2"}, "host"},
                      AddressCase{"given", "127.0.0.2", {"127.0.0.2"}, {"127.0.0.1"}, "127.0.0.2"},
                      AddressCase{
                          "every", "0.0.0.0", {"127.0.0.1", "127.0.0.2", "host"}, {}, "0.0.0.0"},
                      AddressCase{"blank", "   ", {"host"}, {}, "host"},
                      AddressCase{"not on this host", "203.0.113.254", {}, {}, ""}),
    [](const ::testing::TestParamInfo<AddressCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

// ---- --dir and --log-dir

TEST(Directories, DirAndLogDirAreReadAndWrittenThroughSymlinks) {
  ServerProcess server;
  const std::string root = server.Root();
  const int port = ServerProcess::FreePort();
  WriteFile(root + "real/conf/prog/srvlarvek.INI",
            "[LogOn]\r\nSQLport=1\r\n[Server]\r\nServer_port=" + std::to_string(port) + "\r\n");
  // Each shared file names another database host, which the start-up error shows. The right
  // one is in the parent of --dir as written, not in the parent of the symlink's target, nor
  // beside the executable.
  WriteFile(root + "link/larvek05.ini", "[LogOn]\r\nIP=127.0.0.3\r\n");
  WriteFile(root + "real/conf/larvek05.ini", "[LogOn]\r\nIP=127.0.0.4\r\n");
  server.WriteSharedConfig("[LogOn]\r\nIP=127.0.0.5\r\n");
  std::filesystem::create_symlink(root + "real/conf/prog", root + "link/cfg");
  // The executable too is reached through a symlink of another name.
  std::filesystem::create_directories(root + "bin");
  std::filesystem::create_symlink(server.Executable(), root + "bin/larvek-server");
  server.SetExecutable(root + "bin/larvek-server");
  // Relative options count from the working directory (root + "work/").
  server.SetArguments({"--console", "--dir", "../link/cfg", "--log-dir", "../logs"});
  server.Start();

  ASSERT_TRUE(server.WaitForStderr("SQL chyba")) << server.Stderr();
  EXPECT_NE(server.Stderr().find("127.0.0.3"), std::string::npos) << server.Stderr();
  ASSERT_TRUE(BecomesReachable(ServerProcess::ListenAddress(), port));
  {
    Terminal terminal(ServerProcess::ListenAddress(), port);
    terminal.ReadUntil("\r\n");  // the greeting
    EXPECT_EQ(terminal.Ask("X"), "X;error\r");
    ASSERT_TRUE(server.WaitForMessage("Odeslal na "));
    // The dump file stays in the working directory.
    EXPECT_EQ(TempDir::Read(server.WorkDir() + "u.txt"), "X\r\r\n");
  }
  EXPECT_EQ(server.Stop(), 0);

  const std::string day = TodayDir() + "/log.txt";
  EXPECT_NE(TempDir::Read(root + "logs/" + day).find("Naslouch\xE1 na "), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(root + "link/cfg/" + TodayDir()));
  EXPECT_FALSE(std::filesystem::exists(server.ProgramDir() + TodayDir()));
}

TEST(Directories, WithoutOptionsTheExecutablesDirectoryIsUsed) {
  ServerProcess server;
  const int port = ServerProcess::FreePort();
  server.WriteOwnConfig("[LogOn]\r\nSQLport=1\r\n[Server]\r\nServer_port=" + std::to_string(port) +
                        "\r\n");
  server.WriteSharedConfig("[LogOn]\r\nIP=127.0.0.5\r\n");
  server.Start();
  ASSERT_TRUE(server.WaitForStderr("SQL chyba")) << server.Stderr();
  EXPECT_NE(server.Stderr().find("127.0.0.5"), std::string::npos) << server.Stderr();
  ASSERT_TRUE(BecomesReachable(ServerProcess::ListenAddress(), port));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_TRUE(std::filesystem::exists(server.ProgramDir() + TodayDir() + "/log.txt"));
}

// ---- --service

// The supervisor's end of the notification socket: a Unix datagram socket bound to a path.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind";
  }
  ~NotifySocket() { close(fd_); }
  const std::string& Path() const { return path_; }
  // The next message; empty on time-out.
  std::string Receive(std::chrono::milliseconds timeout = 10s) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  // Messages until one contains `needle`; that one, or empty on time-out.
  std::string ReceiveContaining(const std::string& needle,
                                std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      std::string m = Receive(left);
      if (m.find(needle) != std::string::npos) return m;
      if (m.empty()) return "";
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

class ServiceMode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ServiceNotifier::Available()) GTEST_SKIP() << "built without libsystemd";
  }
  void StartService(const std::string& server_ip = "", const std::string& extra = "") {
    port_ = ServerProcess::FreePort();
    server_.WriteOwnConfig(OwnConfig(port_, server_ip, extra));
    server_.SetArguments({"--service"});
    server_.SetEnvironment("NOTIFY_SOCKET", notify_.Path());
    server_.Start();
  }

  ServerProcess server_;
  NotifySocket notify_{server_.Root() + "notify"};
  int port_ = 0;
};

TEST_F(ServiceMode, ReadyOnceListeningStatusWithThePortStoppingOnTerm) {
  StartService();
  const std::string ready = notify_.ReceiveContaining("READY=1");
  ASSERT_FALSE(ready.empty()) << server_.Stderr();
  // Ready means terminals can connect now, without retrying.
  EXPECT_TRUE(Reachable(ServerProcess::ListenAddress(), port_));
  EXPECT_NE(ready.find("STATUS="), std::string::npos) << ready;
  EXPECT_NE(ready.find(":" + std::to_string(port_)), std::string::npos) << ready;
  // Start-up found the database down: the status says so until it answers.
  EXPECT_NE(ready.find(", databáze naposledy neodpověděla"), std::string::npos) << ready;
  // The database being down at start is no reason to stop.
  EXPECT_TRUE(server_.WaitForStderr("SQL chyba"));
  EXPECT_EQ(server_.Stop(), 0);
  EXPECT_EQ(notify_.ReceiveContaining("STOPPING=1", 2s), "STOPPING=1");
  EXPECT_NE(TempDir::Read(server_.ProgramDir() + TodayDir() + "/log.txt").find("Naslouch\xE1 na "),
            std::string::npos);
}

TEST_F(ServiceMode, StatusIsRefreshedWithTheCounts) {
  StartService();
  ASSERT_FALSE(notify_.ReceiveContaining("READY=1").empty()) << server_.Stderr();
  {
    Terminal terminal(ServerProcess::ListenAddress(), port_);
    terminal.ReadUntil("\r\n");  // the greeting
    EXPECT_EQ(terminal.Ask("X"), "X;error\r");
  }
  const std::string status = notify_.ReceiveContaining("STATUS=", 8s);
  EXPECT_NE(status.find(":" + std::to_string(port_)), std::string::npos) << status;
  EXPECT_NE(status.find("spojení 1"), std::string::npos) << status;
  EXPECT_NE(status.find("požadavků 1"), std::string::npos) << status;
  EXPECT_NE(status.find("databáze naposledy neodpověděla"), std::string::npos) << status;
  EXPECT_EQ(server_.Stop(), 0);
}

struct FailureCase {
  const char* name;
  std::string server_ip, extra;
  std::string log_line;  // the message the service logs before it ends
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class ServiceFailure : public ServiceMode, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ServiceFailure, EndsWithNonZeroStatusWithoutReady) {
  StartService(GetParam().server_ip, GetParam().extra);
  const std::optional<int> status = server_.WaitForExit();
  ASSERT_TRUE(status.has_value()) << "still running";
  EXPECT_NE(*status, 0);
  EXPECT_TRUE(AnyMessageContains(server_, GetParam().log_line)) << server_.Stderr();
  std::string m;
  while (!(m = notify_.Receive(100ms)).empty()) EXPECT_EQ(m.find("READY=1"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Failures, ServiceFailure,
                         ::testing::Values(FailureCase{"AddressNotOnThisHost", "203.0.113.254", "",
                                                       "Naslouchání nelze spustit: "},
                                           FailureCase{"NegativeMaxTime", "", "Max_time=-1\r\n",
                                                       "Server nelze spustit: Range check error."}),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                           return info.param.name;
                         });

// ---- the journal: priorities, the start-up line, Journal_requests

// The line that contains `needle`; empty when none does.
std::string LineContaining(const std::vector<std::string>& lines, const std::string& needle) {
  for (const std::string& line : lines)
    if (line.find(needle) != std::string::npos) return line;
  return "";
}

std::string StartUpLine(const ServerProcess& server, const std::string& mode) {
  return std::string("srvlarvek verze ") + LARVEK_VERSION + ", konfigurace " + server.ProgramDir() +
         ", zdroj definic zatím neurčen (databáze neodpověděla), " + mode;
}

// A request answered with the error record (the database is down), then the end of its
// connection, which is logged after every line of the request.
void AskOnce(const ServerProcess& server, int port) {
  Terminal terminal = ConnectWhenListening(server, port);
  ASSERT_TRUE(terminal.Connected());
  terminal.ReadUntil("\r\n");  // the greeting
  EXPECT_EQ(terminal.Ask("X"), "X;error\r");
  terminal.Close();
  ASSERT_TRUE(server.WaitForMessage("Odpojení klienta: ")) << server.Stderr();
}

TEST(Journal, ServiceLinesStartWithTheirPriorityTheDayFileKeepsItsBytes) {
  ServerProcess server;
  const int port = ServerProcess::FreePort();
  server.WriteOwnConfig(OwnConfig(port, "", "Parallel_requests=abc\r\n"));
  server.SetArguments({"--service"});
  server.Start();
  AskOnce(server, port);
  const std::vector<std::string> lines = server.Lines();
  const struct {
    std::string message;
    const char* mark;
  } expected[] = {
      {"Chybná hodnota [Server] Parallel_requests=abc", "<4>"},
      {StartUpLine(server, "požadavky po jednom"), "<6>"},
      {"Naslouchá na ", "<6>"},
      {"Načteno z ", "<6>"},
      {"Chyba požadavku: ", "<3>"},
      {"Odeslal na ", "<6>"},
  };
  for (const auto& e : expected) {
    const std::string line = LineContaining(lines, e.message);
    EXPECT_EQ(line.substr(0, 3), e.mark) << e.message << "\n" << line;
  }
  for (const std::string& line : lines)
    EXPECT_TRUE(line.starts_with("<3>") || line.starts_with("<4>") || line.starts_with("<6>"))
        << line;
  // The start-up's error message stays on standard error, marked as an error.
  EXPECT_TRUE(server.Stderr().starts_with("<3>srvlarvek: ")) << server.Stderr();
  EXPECT_NE(server.Stderr().find("SQL chyba"), std::string::npos) << server.Stderr();
  EXPECT_EQ(server.Stop(), 0);

  const std::string day = TempDir::Read(server.ProgramDir() + TodayDir() + "/log.txt");
  EXPECT_NE(day.find("Chyba po\x9E"
                     "adavku: "),
            std::string::npos);
  std::istringstream day_lines(day);
  for (std::string line; std::getline(day_lines, line);)
    EXPECT_TRUE(line.size() > 8 && line[2] == ':' && line[5] == ':') << line;
}

struct JournalCase {
  const char* name;
  std::vector<std::string> arguments;
  // The start of every log line and of the error message: the marks, or as in the console.
  const char* line_start;
  const char* message_start;
};

void PrintTo(const JournalCase& c, std::ostream* os) {
  *os << c.name;
}

class JournalRequests : public ::testing::TestWithParam<JournalCase> {};

TEST_P(JournalRequests, FalseKeepsRequestLinesToTheDayFile) {
  ServerProcess server;
  const int port = ServerProcess::FreePort();
  // Server_IP given: no warning of a loopback address among the info lines.
  server.WriteOwnConfig(OwnConfig(port, ServerProcess::ListenAddress(),
                                  "Journal_requests=False\r\nParallel_requests=3\r\n"));
  server.SetArguments(GetParam().arguments);
  server.Start();
  AskOnce(server, port);
  const std::vector<std::string> messages = server.Messages();
  EXPECT_NE(LineContaining(messages, StartUpLine(server, "paralelně nejvýše 3 požadavků")), "");
  EXPECT_NE(LineContaining(messages, "Připojeno. Klient: "), "");
  for (const char* request_line : {"Načteno z ", "Chyba požadavku: ", "Odeslal na "})
    EXPECT_EQ(LineContaining(messages, request_line), "") << request_line;
  const std::string start = GetParam().line_start;
  for (const std::string& line : server.Lines()) {
    const std::string stamp = line.substr(start.size());
    EXPECT_TRUE(line.starts_with(start) && stamp.size() > 8 && stamp[2] == ':') << line;
  }
  EXPECT_TRUE(server.Stderr().starts_with(GetParam().message_start + std::string("srvlarvek: ")))
      << server.Stderr();
  EXPECT_EQ(server.Stop(), 0);

  const std::string day = TempDir::Read(server.ProgramDir() + TodayDir() + "/log.txt");
  for (const char* request_line : {"Na\xE8teno z ",
                                   "Chyba po\x9E"
                                   "adavku: ",
                                   "Odeslal na "})
    EXPECT_NE(day.find(request_line), std::string::npos) << request_line;
}

INSTANTIATE_TEST_SUITE_P(Modes, JournalRequests,
                         ::testing::Values(JournalCase{"Console", {"--console"}, "", ""},
                                           JournalCase{"Service", {"--service"}, "<6>", "<3>"}),
                         [](const ::testing::TestParamInfo<JournalCase>& info) {
                           return info.param.name;
                         });

// ---- SIGHUP and plain console mode

// In a console a hangup is the terminal going away: the run ends (a service reloads instead,
// see ConfigReload below).
TEST(HangUp, EndsTheConsoleNormallyWithTheLogSaved) {
  ServerProcess server;
  const int port = ServerProcess::FreePort();
  server.WriteOwnConfig(OwnConfig(port));
  server.SetArguments({"--console"});
  server.Start();
  ASSERT_TRUE(BecomesReachable(ServerProcess::ListenAddress(), port));
  ASSERT_TRUE(server.WaitForMessage("Naslouchá na "));
  EXPECT_EQ(server.Stop(SIGHUP), 0);
  EXPECT_NE(TempDir::Read(server.ProgramDir() + TodayDir() + "/log.txt").find("Naslouch\xE1 na "),
            std::string::npos);
}

TEST(ConsoleMode, GoesOnWithoutAListener) {
  ServerProcess server;
  server.WriteOwnConfig(OwnConfig(ServerProcess::FreePort(), "203.0.113.254"));
  server.Start();
  ASSERT_TRUE(server.WaitForStderr("(#10049 in Bind)")) << server.Stderr();
  EXPECT_FALSE(server.WaitForExit(300ms).has_value());
  EXPECT_EQ(server.Stop(), 0);
}

// ---- SIGHUP in service mode: the configuration read again

const char kReloadedStart[] = "Konfigurace znovu načtena";
const char kRefusedStart[] = "Konfiguraci nelze znovu načíst, platí dosavadní: ";

// Both lines of a reload, applied or refused, hold this.
const char kReloadMark[] = "znovu na";

// The log message containing `needle` (the first), once it has come; empty on time-out.
std::string MessageWith(const ServerProcess& server, const std::string& needle) {
  if (!server.WaitForMessage(needle)) return "";
  for (const std::string& m : server.Messages())
    if (m.find(needle) != std::string::npos) return m;
  return "";
}

// The service with the database down (every request gets the error record, which ends with
// the terminator like every record) and a terminal connected to it.
class ConfigReload : public ::testing::Test {
 protected:
  void StartService(const std::string& server_keys) {
    port_ = ServerProcess::FreePort();
    server_.WriteSharedConfig("[LogOn]\r\nUser=someone\r\n");
    server_.WriteOwnConfig(OwnConfig(port_, "", server_keys));
    server_.SetArguments({"--service"});
    if (ServiceNotifier::Available()) server_.SetEnvironment("NOTIFY_SOCKET", notify_.Path());
    server_.Start();
    terminal_ = std::make_unique<Terminal>(ConnectWhenListening(server_, port_));
    terminal_->ReadUntil("\r\n");  // the greeting: the database was down at start-up
  }
  // SIGHUP; the reload's log line once it has come.
  std::string Reload() {
    kill(server_.Pid(), SIGHUP);
    return MessageWith(server_, kReloadMark);
  }
  std::string SharedConfigPath() const { return server_.Root() + "larvek05.ini"; }

  ServerProcess server_;
  NotifySocket notify_{server_.Root() + "notify"};
  std::unique_ptr<Terminal> terminal_;
  int port_ = 0;
};

TEST_F(ConfigReload, ChangedTerminatorShowsInTheNextReplyAndTheLineNamesIt) {
  StartService("Ukoncovac=#\r\n");
  EXPECT_EQ(terminal_->Ask("X"), "X;error#\r");
  if (ServiceNotifier::Available()) {
    ASSERT_FALSE(notify_.ReceiveContaining("READY=1").empty()) << server_.Stderr();
  }
  server_.WriteOwnConfig(OwnConfig(port_, "", "Ukoncovac=$\r\n"));
  EXPECT_EQ(Reload(), std::string(kReloadedStart) + ", změněno: [Server] Ukoncovac");
  EXPECT_EQ(terminal_->Ask("X"), "X;error$\r");
  EXPECT_FALSE(server_.WaitForExit(300ms).has_value()) << "the hangup ended the service";
  if (ServiceNotifier::Available()) {
    // The supervisor hears the reload begin, with the time it began, and end.
    const std::string reloading = notify_.ReceiveContaining("RELOADING=1", 2s);
    EXPECT_NE(reloading.find("MONOTONIC_USEC="), std::string::npos) << reloading;
    const std::string ready = notify_.ReceiveContaining("READY=1", 2s);
    EXPECT_NE(ready.find("STATUS="), std::string::npos) << ready;
  }
  // A second reload finds nothing changed.
  kill(server_.Pid(), SIGHUP);
  EXPECT_TRUE(server_.WaitForMessage(std::string(kReloadedStart) + ", beze změn"));
  EXPECT_EQ(server_.Stop(), 0);
}

struct RefusedReloadCase {
  const char* name;
  // Turns the program directory's files into what the reload finds; `changed` is an own file
  // that would change Ukoncovac.
  void (*prepare)(const std::string& program_dir, const std::string& shared_path,
                  const std::string& changed);
  std::string reason;  // in the log line
};

void PrintTo(const RefusedReloadCase& c, std::ostream* os) {
  *os << c.name;
}

class RefusedReload : public ConfigReload,
                      public ::testing::WithParamInterface<RefusedReloadCase> {};

TEST_P(RefusedReload, LeavesTheRunningSettingsAndLogsWhy) {
  StartService("Ukoncovac=#\r\n");
  GetParam().prepare(server_.ProgramDir(), SharedConfigPath(),
                     OwnConfig(port_, "", "Ukoncovac=$\r\n"));
  const std::string line = Reload();
  EXPECT_EQ(line.rfind(kRefusedStart, 0), 0u) << line;
  EXPECT_NE(line.find(GetParam().reason), std::string::npos) << line;
  EXPECT_EQ(terminal_->Ask("X"), "X;error#\r");
  EXPECT_FALSE(server_.WaitForExit(300ms).has_value()) << "the hangup ended the service";
  EXPECT_EQ(server_.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedReload,
    ::testing::Values(
        RefusedReloadCase{"OwnFileMissing",
                          [](const std::string& dir, const std::string&, const std::string&) {
                            std::filesystem::remove(dir + "srvlarvek.INI");
                          },
                          "srvlarvek.INI\". No such file or directory"},
        RefusedReloadCase{"OwnFileIsADirectory",
                          [](const std::string& dir, const std::string&, const std::string&) {
                            std::filesystem::remove(dir + "srvlarvek.INI");
                            std::filesystem::create_directory(dir + "srvlarvek.INI");
                          },
                          "srvlarvek.INI\". Is a directory"},
        RefusedReloadCase{"SharedFileGone",
                          [](const std::string& dir, const std::string& shared,
                             const std::string& changed) {
                            WriteFile(dir + "srvlarvek.INI", changed);
                            std::filesystem::remove(shared);
                          },
                          "larvek05.ini\". No such file or directory"},
        RefusedReloadCase{"NegativeMaxTime",
                          [](const std::string& dir, const std::string&,
                             const std::string& changed) {
                            WriteFile(dir + "srvlarvek.INI", changed + "Max_time=-1\r\n");
                          },
                          "Chybná hodnota [Server] Max_time=-1: Range check error"}),
    [](const ::testing::TestParamInfo<RefusedReloadCase>& info) { return info.param.name; });

TEST_F(ConfigReload, KeyThatNeedsARestartIsNamedAndKeepsItsRunningValue) {
  StartService("Ukoncovac=#\r\n");
  int other = ServerProcess::FreePort();
  while (other == port_) other = ServerProcess::FreePort();
  // A limit of the terminals applies at once; the port waits for the next start.
  server_.WriteOwnConfig(OwnConfig(other, "", "Ukoncovac=#\r\nMax_clients=1\r\n"));
  EXPECT_EQ(Reload(), std::string(kReloadedStart) +
                          ", změněno: [Server] Max_clients; platí až po restartu: "
                          "[Server] Server_port");
  EXPECT_EQ(terminal_->Ask("X"), "X;error#\r");
  EXPECT_FALSE(Reachable(ServerProcess::ListenAddress(), other));
  // The running port takes connections, up to the new limit: the terminal holds the one.
  EXPECT_TRUE(Reachable(ServerProcess::ListenAddress(), port_));
  EXPECT_TRUE(server_.WaitForMessage("překročen limit [Server] Max_clients=1"));
  EXPECT_EQ(server_.Stop(), 0);
}

// Parallel mode on a real database: the server logs in as one of two users of its own, whose
// links the tests find in the database's process list.
class ParallelReload : public ::testing::Test {
 protected:
  void SetUp() override {
    MariaDb& db = TestDatabase();
    for (const auto& [user, password] : kLogins)
      for (const char* host : {"%", "localhost", "127.0.0.1"}) {
        const std::string account = "'" + user + "'@'" + host + "'";
        db.Exec("CREATE USER IF NOT EXISTS " + account + " IDENTIFIED BY '" + password + "'");
        db.Exec("GRANT ALL ON " + database_.Name() + ".* TO " + account);
      }
    database_.CreateServerTerm();
    // Who asks: the request's link's user.
    database_.Define("KDO", 1, "u",
                     "select substring_index(user(), '@', 1) as u from sklad where kod = %a%", "",
                     "NENI");
    database_.Define("SPI", 1, "s", "select sleep(2) as s", "", "NENI");
  }
  void TearDown() override {
    if (server_.Running()) server_.Stop();
  }
  void WriteLogin(size_t login) {
    server_.WriteSharedConfig("[LogOn]\r\nUser=" + kLogins[login].first +
                              "\r\nPassword=" + kLogins[login].second + "\r\n");
  }
  void WriteOwnFile(const std::string& parallel_requests) {
    server_.WriteOwnConfig("[LogOn]\r\nIP=127.0.0.1\r\nSQLport=" +
                           std::to_string(TestDatabase().Port()) + "\r\nDatabase=" +
                           database_.Name() + "\r\n[Server]\r\nServer_port=" +
                           std::to_string(port_) + "\r\nUkoncovac=#\r\nParallel_requests=" +
                           parallel_requests + "\r\n");
  }
  void StartService(const std::string& parallel_requests = "4") {
    port_ = ServerProcess::FreePort();
    WriteLogin(0);
    WriteOwnFile(parallel_requests);
    server_.SetArguments({"--service"});
    server_.Start();
  }
  // Links of `user`, or those of them running a statement that starts with `statement`.
  static int Links(const std::string& user, const std::string& statement = "") {
    std::string sql = "select count(*) from information_schema.processlist where user = '" +
                      user + "'";
    if (!statement.empty()) sql += " and info like " + CommandDatabase::Literal(statement + "%");
    return std::stoi(TestDatabase().QueryValue(sql));
  }

  const std::vector<std::pair<std::string, std::string>> kLogins = {{"reload_a", "heslo_a"},
                                                                     {"reload_b", "heslo_b"}};
  CommandDatabase database_;
  ServerProcess server_;
  int port_ = 0;
};

TEST_F(ParallelReload, ChangedLoginServesTheNextRequestAndNoLinkKeepsTheOldOne) {
  StartService();
  Terminal quick = ConnectWhenListening(server_, port_);
  Terminal slow(ServerProcess::ListenAddress(), port_);
  slow.Send("SPI;x\r");
  ASSERT_TRUE(WaitUntil([] { return Links("reload_a", "select sleep") == 1; }, 5s));
  // A second link, kept idle afterwards.
  EXPECT_EQ(quick.Ask("KDO;A1"), "KDO;reload_a#\r");
  ASSERT_EQ(Links("reload_a"), 2);

  WriteLogin(1);
  kill(server_.Pid(), SIGHUP);
  EXPECT_EQ(MessageWith(server_, kReloadMark),
            std::string(kReloadedStart) + ", změněno: [LogOn] Password, [LogOn] User");
  // The idle link goes at once; the busy one serves its request to the end.
  EXPECT_TRUE(WaitUntil([] { return Links("reload_a") == 1; }, 5s));
  EXPECT_EQ(quick.Ask("KDO;A1"), "KDO;reload_b#\r");
  EXPECT_EQ(slow.ReadUntil("\r"), "SPI;0#\r");
  // Given back, the old login's link is closed, not kept.
  EXPECT_TRUE(WaitUntil([] { return Links("reload_a") == 0; }, 5s));
  EXPECT_EQ(slow.Ask("KDO;A1"), "KDO;reload_b#\r");
  for (const std::string& m : server_.Messages())
    EXPECT_EQ(m.find("heslo_b"), std::string::npos) << m;
  EXPECT_EQ(server_.Stop(), 0);
}

// Two terminals each ask for a statement of 2 s at once: whether both run at the database
// together.
TEST_F(ParallelReload, ChangedParallelRequestsAppliesToTheRequestsThatStartAfterIt) {
  StartService("1");
  Terminal first = ConnectWhenListening(server_, port_);
  Terminal second(ServerProcess::ListenAddress(), port_);
  const std::string line = std::string(kReloadedStart) + ", změněno: [Server] Parallel_requests";
  auto both_at_once = [&] {
    first.Send("SPI;x\r");
    second.Send("SPI;x\r");
    const bool together =
        WaitUntil([] { return Links("reload_a", "select sleep") == 2; }, 3s, 10ms);
    EXPECT_EQ(first.ReadUntil("\r"), "SPI;0#\r");
    EXPECT_EQ(second.ReadUntil("\r"), "SPI;0#\r");
    return together;
  };
  WriteOwnFile("3");
  kill(server_.Pid(), SIGHUP);
  ASSERT_TRUE(server_.WaitForMessages(line, 1));
  EXPECT_TRUE(both_at_once());
  // Back to one at a time; the pool's idle links go with parallel mode.
  WriteOwnFile("1");
  kill(server_.Pid(), SIGHUP);
  ASSERT_TRUE(server_.WaitForMessages(line, 2));
  EXPECT_TRUE(WaitUntil([] { return Links("reload_a") == 0; }, 5s));
  EXPECT_FALSE(both_at_once());
  EXPECT_EQ(server_.Stop(), 0);
}

}  // namespace
}  // namespace larvek::testing
