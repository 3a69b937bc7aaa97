// The server as a whole, run as a child process, with the database unreachable: start-up
// fails at the database probe, the console front end starts the listener anyway, definitions
// come from the own file, and everything that needs no database works over real TCP.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

#include "base/codepage.h"
#include "server_process.h"
#include "temp_dir.h"

namespace larvek::testing {
namespace {

using namespace std::chrono_literals;

std::string OwnConfig(const std::string& server_port, const std::string& extra = "") {
  // Port 1 on loopback refuses at once: the database is down.
  return "[LogOn]\r\nIP=127.0.0.1\r\nSQLport=1\r\n[Server]\r\nServer_port=" + server_port + "\r\n" +
         extra;
}

std::string TodayDir() {
  char buf[16];
  time_t now = time(nullptr);
  strftime(buf, sizeof buf, "%Y%m%d", localtime(&now));
  return buf;
}

class ServerWithoutDatabase : public ::testing::Test {
 protected:
  void StartWith(const std::string& own_config) {
    server_.WriteOwnConfig(own_config);
    server_.Start();
  }
  void StartOnFreePort(const std::string& extra = "") {
    port_ = ServerProcess::FreePort();
    StartWith(OwnConfig(std::to_string(port_), extra));
    ASSERT_TRUE(server_.WaitForStderr("SQL chyba")) << server_.Stderr();
  }
  Terminal Connect() { return ConnectWhenListening(server_, port_); }

  ServerProcess server_;
  int port_ = 0;
};

TEST_F(ServerWithoutDatabase, GreetsAnswersUnknownCommandsAndLogsTheConnection) {
  StartOnFreePort("[NIC]\r\nZe_ctecky=0\r\n");
  EXPECT_NE(server_.Stderr().find("srvlarvek: SQL chyba: "), std::string::npos);

  Terminal terminal = Connect();
  // Start-up stopped before clearing the greeting, so every terminal gets it first.
  EXPECT_EQ(terminal.ReadUntil("\r\n"), "V\xEDtejte na serveru Larvek!\r\n");

  const std::string addr = ServerProcess::ListenAddress();
  // The database could not be asked where the definitions are: every request gets the error
  // record (and is logged) until it can.
  EXPECT_EQ(terminal.Ask("NIC;1"), "NIC;error\r");
  EXPECT_EQ(terminal.Ask("NOPE"), "NOPE;error\r");
  ASSERT_TRUE(server_.WaitForMessage("Odeslal na " + addr + ": NOPE;error"));
  EXPECT_EQ(TempDir::Read(server_.WorkDir() + "u.txt"), "NOPE\r\r\n");

  terminal.Close();
  ASSERT_TRUE(server_.WaitForMessage("Právě je připojeno 0 klientů."));
  std::vector<std::string> m = server_.Messages();
  // The end of start-up comes first, then the listener's own lines: where it listens, and on a
  // loopback address a warning.
  const bool loopback = addr.rfind("127.", 0) == 0;
  ASSERT_GE(m.size(), loopback ? 14u : 13u);
  EXPECT_EQ(m[0], std::string("srvlarvek verze ") + LARVEK_VERSION + ", konfigurace " +
                      server_.ProgramDir() +
                      ", zdroj definic zatím neurčen (databáze neodpověděla), požadavky po jednom");
  EXPECT_EQ(m[1], "Naslouchá na " + addr + ":" + std::to_string(port_));
  if (loopback) {
    EXPECT_NE(m[2].find("Server_IP"), std::string::npos) << m[2];
  }
  size_t i = loopback ? 3 : 2;
  EXPECT_EQ(m[i].rfind("Připojeno. Klient: " + addr + "/", 0), 0u) << m[i];
  EXPECT_NE(m[i].find(" Server: " + addr + "/" + std::to_string(port_)), std::string::npos);
  EXPECT_EQ(m[++i], "Právě je připojeno 1 klientů.");
  EXPECT_EQ(m[++i], "Načteno z " + addr + ": 'NIC;1'");
  EXPECT_EQ(m[++i].rfind("Chyba požadavku: EDatabaseError: SQL chyba: ", 0), 0u) << m[i];
  EXPECT_EQ(m[++i], "Odeslal na " + addr + ": NIC;error");
  EXPECT_EQ(m[++i], "Načteno z " + addr + ": 'NOPE'");
  EXPECT_EQ(m[++i].rfind("Chyba požadavku: EDatabaseError: SQL chyba: ", 0), 0u) << m[i];
  EXPECT_EQ(m[++i], "Odeslal na " + addr + ": NOPE;error");
  EXPECT_EQ(m[++i], "Načteno z " + addr + ": ''");
  EXPECT_EQ(m[++i], "Odpojení klienta: " + addr + "   Trvání: 00:00:00");
  EXPECT_EQ(m[++i], "Právě je připojeno 0 klientů.");
  EXPECT_EQ(TempDir::Read(server_.WorkDir() + "u.txt"), "\r\n");

  EXPECT_EQ(server_.Stop(), 0);
  // Every logged line is in the day's file.
  std::string file = TempDir::Read(server_.ProgramDir() + TodayDir() + "/log.txt");
  EXPECT_NE(file.find("Na\xE8teno z " + addr + ": 'NOPE'\r\n"), std::string::npos);
}

TEST_F(ServerWithoutDatabase, ReceptionsAreWhatTheSocketHoldsNotLines) {
  StartOnFreePort();
  Terminal terminal = Connect();
  terminal.ReadUntil("\r\n");
  const std::string addr = ServerProcess::ListenAddress();

  // Two requests in one piece are one reception; inner CRs are removed, so the command is "A".
  terminal.Send("A;1\rB;2\r");
  EXPECT_EQ(terminal.ReadUntil("\r"), "A;error\r");
  ASSERT_TRUE(server_.WaitForMessage("Načteno z " + addr + ": 'A;1B;2'"));
  EXPECT_EQ(TempDir::Read(server_.WorkDir() + "u.txt"), "A;1\rB;2\r\r\n");

  // A request split over two sends is two receptions, each answered.
  terminal.Send("CMD;1");
  EXPECT_EQ(terminal.ReadUntil("\r"), "CMD;error\r");
  terminal.Send("2\r");
  EXPECT_EQ(terminal.ReadUntil("\r"), "2;error\r");
  EXPECT_TRUE(server_.WaitForMessage("Načteno z " + addr + ": '2'"));

  // Blank lines and "@" alone are no request: no reply.
  terminal.Send("  @@ \r");
  EXPECT_EQ(terminal.ReadFor(300ms), "");
}

TEST_F(ServerWithoutDatabase, KnownCommandWithoutDatabaseGetsNoReplyAndKeepsTheConnection) {
  StartOnFreePort("[stav]\r\nZe_ctecky=1\r\nPrikaz_SQL1=select 1\r\n[DVA]\r\nZe_ctecky=3\r\n");
  Terminal terminal = Connect();
  terminal.ReadUntil("\r\n");
  // The database cannot be reached: each request gets the error record instead of silence, at
  // once or after the connect's three tries (half a second), and the connection stays usable.
  terminal.Send("STAV;A1\r");
  EXPECT_EQ(terminal.ReadFor(1500ms), "STAV;error\r");
  terminal.Send("DVA;x\r");
  EXPECT_EQ(terminal.ReadFor(300ms), "DVA;error\r");
  EXPECT_EQ(terminal.Ask("X"), "X;error\r");
  ASSERT_TRUE(server_.WaitForMessage("X;error"));
  int replies = 0;
  for (const std::string& line : server_.Messages()) replies += line.rfind("Odeslal na ", 0) == 0;
  EXPECT_EQ(replies, 3);
}

struct PortCase {
  std::string text;         // "{}" stands for a free port number
  std::string stderr_text;  // empty: the server must listen
};

class PortText : public ServerWithoutDatabase, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortText, ResolvesOrReportsTheFailure) {
  port_ = ServerProcess::FreePort();
  std::string text = GetParam().text;
  if (size_t at = text.find("{}"); at != std::string::npos)
    text.replace(at, 2, std::to_string(port_));
  StartWith(OwnConfig(text));
  if (GetParam().stderr_text.empty()) {
    Terminal terminal = Connect();
    EXPECT_TRUE(terminal.Connected());
  } else {
    EXPECT_TRUE(server_.WaitForStderr(GetParam().stderr_text)) << server_.Stderr();
    // The log names the key and the value behind the failure.
    EXPECT_TRUE(server_.WaitForMessage("Nelze naslouchat ([Server] Server_port=" + text + "): "));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, PortText,
    ::testing::Values(
        PortCase{"  {}  ", ""}, PortCase{"{}abc", ""},
        PortCase{"70000", "srvlarvek: listen: Range check error.\n"},
        PortCase{"", "srvlarvek: Invalid argument (#10022 in listen: port not assigned)\n"},
        PortCase{"nosuchservice",
                 "srvlarvek: listen: Winsock Resolve Port: Cannot convert port "
                 "'nosuchservice' - "}));

TEST_F(ServerWithoutDatabase, PortAlreadyTakenIsReported) {
  port_ = ServerProcess::FreePort();
  ServerProcess first;
  first.WriteOwnConfig(OwnConfig(std::to_string(port_)));
  first.Start();
  ASSERT_TRUE(first.WaitForStderr("SQL chyba"));
  std::this_thread::sleep_for(200ms);
  StartWith(OwnConfig(std::to_string(port_)));
  EXPECT_TRUE(server_.WaitForStderr("srvlarvek: Address already in use (#10048 in Bind)\n"))
      << server_.Stderr();
}

TEST_F(ServerWithoutDatabase, NegativeMaxTimeStopsStartUpButTheConsoleStillListens) {
  port_ = ServerProcess::FreePort();
  StartWith(OwnConfig(std::to_string(port_), "Max_time=-1\r\n"));
  EXPECT_TRUE(server_.WaitForStderr("srvlarvek: Range check error.\n")) << server_.Stderr();
  EXPECT_TRUE(server_.WaitForMessage("Chybná hodnota [Server] Max_time=-1: Range check error"));
  Terminal terminal = Connect();
  EXPECT_EQ(terminal.ReadUntil("\r\n"), "V\xEDtejte na serveru Larvek!\r\n");
  EXPECT_EQ(terminal.Ask("X"), "NEZNAMY PRIKAZ!\r");
}

TEST_F(ServerWithoutDatabase, EarlierLinesOfTheDayAreKeptWhenStartUpStoppedBeforeLoading) {
  const std::string day_file = server_.ProgramDir() + TodayDir() + "/log.txt";
  std::filesystem::create_directories(server_.ProgramDir() + TodayDir());
  {
    FILE* f = fopen(day_file.c_str(), "wb");
    fputs("07:00:00  earlier line\r\n", f);
    fclose(f);
  }
  StartOnFreePort();
  Terminal terminal = Connect();
  terminal.ReadUntil("\r\n");
  EXPECT_EQ(terminal.Ask("X"), "X;error\r");  // the database is down
  terminal.Close();
  ASSERT_TRUE(server_.WaitForMessage("Právě je připojeno 0 klientů."));
  EXPECT_EQ(server_.Stop(), 0);
  std::string file = TempDir::Read(day_file);
  EXPECT_EQ(file.rfind("07:00:00  earlier line\r\n", 0), 0u) << file;
  EXPECT_NE(file.find("Odeslal na "), std::string::npos);
  // The run's lines appear once each, after the earlier ones.
  EXPECT_EQ(file.find("Odeslal na "), file.rfind("Odeslal na "));
}

// A killed server never reaches its normal end: every line it printed is in the day's file
// already (a line is written to the file before it shows).
TEST_F(ServerWithoutDatabase, KilledServerLeavesEveryLoggedLineInTheDayFile) {
  StartOnFreePort();
  Terminal terminal = Connect();
  terminal.ReadUntil("\r\n");
  const std::string addr = ServerProcess::ListenAddress();
  for (int i = 0; i < 20; ++i) {
    const std::string name = "K" + std::to_string(i);
    EXPECT_EQ(terminal.Ask(name), name + ";error\r");
  }
  ASSERT_TRUE(server_.WaitForMessage("Odeslal na " + addr + ": K19;error"));
  EXPECT_EQ(server_.Stop(SIGKILL), -SIGKILL);
  const std::string file = TempDir::Read(server_.ProgramDir() + TodayDir() + "/log.txt");
  const std::vector<std::string> lines = server_.Lines();
  ASSERT_GE(lines.size(), 40u);
  for (const std::string& line : lines)
    EXPECT_NE(file.find(Utf8ToCp1250(line) + "\r\n"), std::string::npos) << line;
}

// A normal end after a log line could not be written to its file ends with status 1.
TEST_F(ServerWithoutDatabase, NormalEndFailsWhenTheDayFileCannotBeWritten) {
  std::filesystem::create_directories(server_.ProgramDir());
  {
    FILE* f = fopen((server_.ProgramDir() + TodayDir()).c_str(), "wb");  // not a directory
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  StartOnFreePort();
  Terminal terminal = Connect();
  terminal.ReadUntil("\r\n");
  EXPECT_EQ(terminal.Ask("X"), "X;error\r");
  ASSERT_TRUE(server_.WaitForMessage("Odeslal na "));
  EXPECT_EQ(server_.Stop(), 1);
  EXPECT_NE(server_.Stderr().find("Cannot append to log file \"" + server_.ProgramDir() +
                                  TodayDir() + "/log.txt\". Not a directory"),
            std::string::npos)
      << server_.Stderr();
}

// u.txt that cannot be opened is tried again at the next reception; a shorter reception cuts it.
TEST_F(ServerWithoutDatabase, DumpFileIsOpenedAgainAfterAFailure) {
  const std::string dump = server_.WorkDir() + "u.txt";
  std::filesystem::create_directories(dump);
  StartOnFreePort();
  Terminal terminal = Connect();
  terminal.ReadUntil("\r\n");
  EXPECT_EQ(terminal.Ask("FIRST"), "FIRST;error\r");
  ASSERT_TRUE(server_.WaitForMessage("Nelze zapsat u.txt: "));
  std::filesystem::remove(dump);
  EXPECT_EQ(terminal.Ask("SECOND;LONGER"), "SECOND;error\r");
  EXPECT_EQ(TempDir::Read(dump), "SECOND;LONGER\r\r\n");
  EXPECT_EQ(terminal.Ask("S"), "S;error\r");
  EXPECT_EQ(TempDir::Read(dump), "S\r\r\n");
  EXPECT_EQ(server_.Stop(), 0);
}

}  // namespace
}  // namespace larvek::testing
