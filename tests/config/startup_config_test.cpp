#include "config/startup_config.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "base/error.h"
#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

TEST(ConfigPathsTest, DerivesTheFileNamesFromTheProgramPath) {
  EXPECT_EQ(ProgramDirectory("/opt/larvek/bin/srvlarvek"), "/opt/larvek/bin/");
  EXPECT_EQ(ProgramDirectory("srvlarvek"), "");
  EXPECT_EQ(OwnConfigPath("/opt/bin/srvlarvek"), "/opt/bin/srvlarvek.INI");
  EXPECT_EQ(OwnConfigPath("/opt/bin/srvlarvek.exe"), "/opt/bin/srvlarvek.INI");
  EXPECT_EQ(OwnConfigPath("/opt/bin/srv.larvek.bin"), "/opt/bin/srv.larvek.INI");
  EXPECT_EQ(OwnConfigPath("/opt/v1.2/srvlarvek"), "/opt/v1.2/srvlarvek.INI");
  EXPECT_EQ(SharedConfigPath("/opt/bin/"), "/opt/larvek05.ini");

  const std::string self = ProgramPath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self.substr(self.rfind('/') + 1), "config_tests");
}

// The start-up values in one line, so that a failing case shows every field.
std::string Describe(const StartupConfig& c) {
  return "host=" + c.host + " password=" + c.password + " user=" + c.user +
         " port=" + std::to_string(c.port) + " database=" + c.database + " ukoncovac=[" +
         c.terminator + "] server_port=" + c.server_port +
         " max_time=" + (c.max_time ? std::to_string(*c.max_time) : "unset") +
         " interval_on=" + (c.watchdog_on ? "1" : "0") + " date=" + c.regional.short_date_format +
         " time=" + c.regional.long_time_format + " decimal=" + c.regional.decimal_separator;
}

const std::string kDefaults =
    "host= password= user= port=3306 database=larvek ukoncovac=[] server_port=2000 "
    "max_time=5000 interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,";

struct StartupCase {
  const char* name;
  std::optional<std::string> shared, own;  // nullopt: no such file
  std::string expected;
  bool range_error = false;
};

TEST(StartupConfigTest, ReadsBothFilesInOrder) {
  const std::string shared_login =
      "[LogOn]\r\nIP=10.0.0.1\r\nPassword=tajne\r\nUser=larvek\r\nSQLport=3307\r\n"
      "Database=jina\r\n";
  const StartupCase cases[] = {
      {"no files", std::nullopt, std::nullopt, kDefaults},
      {"shared only: port and database stay default", shared_login, std::nullopt,
       "host=10.0.0.1 password=tajne user=larvek port=3306 database=larvek ukoncovac=[] "
       "server_port=2000 max_time=5000 interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,"},
      {"own overrides key by key", shared_login, "[LogOn]\nIP=db.local\nUser=\n",
       "host=db.local password=tajne user= port=3306 database=larvek ukoncovac=[] "
       "server_port=2000 max_time=5000 interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,"},
      {"own file supplies everything, names in any case", std::nullopt,
       "[logon]\nip=h\nPASSWORD=p\nuser=u\nsqlport=0xCEB\ndatabase=sklad\n"
       "[SERVER]\nukoncovac=#\nserver_port= 2001 \nmax_time=$1F4\ninterval_on=True\n"
       "[regional]\nShortDateFormat=yyyy-mm-dd\nLongTimeFormat=hh:nn\nDecimalSeparator=.\n",
       "host=h password=p user=u port=3307 database=sklad ukoncovac=[#] server_port=2001 "
       "max_time=500 interval_on=1 date=yyyy-mm-dd time=hh:nn decimal=."},
      {"bad SQLport gives 3306", std::nullopt, "[LogOn]\nSQLport=33o6\n", kDefaults},
      {"Max_time 0x1F4", std::nullopt, "[Server]\nMax_time=0x1F4\n",
       "host= password= user= port=3306 database=larvek ukoncovac=[] server_port=2000 "
       "max_time=500 interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,"},
      {"Max_time 0 disables the watchdog", std::nullopt, "[Server]\nMax_time=0\n",
       "host= password= user= port=3306 database=larvek ukoncovac=[] server_port=2000 "
       "max_time=0 interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,"},
      {"Max_time abc", std::nullopt, "[Server]\nMax_time=abc\n", kDefaults},
      {"Max_time empty", std::nullopt, "[Server]\nMax_time=\n", kDefaults},
      {"Max_time beyond 32 bits", std::nullopt, "[Server]\nMax_time=4294967296\n", kDefaults},
      {"Ukoncovac quoted blank", std::nullopt, "[Server]\nUkoncovac=\" \"\n",
       "host= password= user= port=3306 database=larvek ukoncovac=[ ] server_port=2000 "
       "max_time=5000 interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,"},
      {"Ukoncovac blanks only", std::nullopt, "[Server]\nUkoncovac=   \n", kDefaults},
      {"Server_port kept as text", std::nullopt, "[Server]\nServer_port=abc\n",
       "host= password= user= port=3306 database=larvek ukoncovac=[] server_port=abc "
       "max_time=5000 interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,"},
      {"empty regional values keep the defaults", std::nullopt,
       "[Regional]\nShortDateFormat=\nDecimalSeparator=\n", kDefaults},
      {"negative Max_time stops after the values before it", shared_login,
       "[Server]\nUkoncovac=;\nServer_port=2002\nMax_time=-1\nInterval_on=True\n"
       "[Regional]\nDecimalSeparator=.\n",
       "host=10.0.0.1 password=tajne user=larvek port=3306 database=larvek ukoncovac=[;] "
       "server_port=2002 max_time=unset interval_on=0 date=d.m.yyyy time=h:nn:ss decimal=,",
       true},
  };
  for (const StartupCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.Write("bin/srvlarvek", "");  // the program directory always exists
    if (c.shared) dir.Write("larvek05.ini", *c.shared);
    if (c.own) dir.Write("bin/srvlarvek.INI", *c.own);
    ConfigStore ini(OwnConfigPath(dir.Path() + "bin/srvlarvek"));
    const StartupConfigRead read = ReadStartupConfig(ini, dir.Path() + "bin/");
    EXPECT_EQ(read.failure.has_value(), c.range_error);
    if (read.failure) {
      EXPECT_EQ(read.failure->ClassName(), kRangeError);
      EXPECT_EQ(read.failure->Message(), "Range check error");
    }
    EXPECT_EQ(Describe(read.config), c.expected);
  }
}

TEST(ConfigPathsTest, SharedFileIsInTheParentAsThePathIsWritten) {
  const struct {
    const char* dir;
    const char* shared;
  } cases[] = {
      {"/etc/larvek/srvlarvek/", "/etc/larvek/larvek05.ini"},
      {"/etc/larvek/srvlarvek//", "/etc/larvek/larvek05.ini"},
      {"/srvlarvek/", "/larvek05.ini"},
      {"/", "/larvek05.ini"},
      {"", "../larvek05.ini"},
  };
  for (const auto& c : cases) EXPECT_EQ(SharedConfigPath(c.dir), c.shared) << c.dir;
}

TEST(StartupConfigTest, ServerIpIsReadTrimmed) {
  const struct {
    const char* own;
    const char* ip;
  } cases[] = {
      {"", ""},
      {"[Server]\r\nServer_IP=\r\n", ""},
      {"[Server]\r\nServer_IP=127.0.0.2\r\n", "127.0.0.2"},
      {"[Server]\r\nserver_ip=  0.0.0.0  \r\n", "0.0.0.0"},
      {"[LogOn]\r\nServer_IP=10.0.0.1\r\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.own);
    TempDir dir;
    dir.Write("bin/srvlarvek.INI", c.own);
    ConfigStore ini(dir.Path() + "bin/srvlarvek.INI");
    EXPECT_EQ(ReadStartupConfig(ini, dir.Path() + "bin/").config.server_ip, c.ip);
  }
}

// A switch changes what runs by default only for its exact word: Interval_on turns on for
// "True", Journal_requests off for "False".
TEST(StartupConfigTest, SwitchesTakeOnlyTheExactWord) {
  constexpr bool StartupConfig::*kWatchdog = &StartupConfig::watchdog_on;
  constexpr bool StartupConfig::*kJournal = &StartupConfig::journal_requests;
  const struct {
    const char* line;
    bool StartupConfig::*value;
    bool on;
  } cases[] = {
      {"Interval_on=True", kWatchdog, true},
      {"Interval_on=  True  ", kWatchdog, true},
      {"Interval_on='True'", kWatchdog, true},
      {"interval_on=True", kWatchdog, true},
      {"Interval_on=true", kWatchdog, false},
      {"Interval_on=TRUE", kWatchdog, false},
      {"Interval_on=True1", kWatchdog, false},
      {"Interval_on=\" True\"", kWatchdog, false},
      {"Interval_on=1", kWatchdog, false},
      {"; Interval_on=True", kWatchdog, false},
      {"", kJournal, true},
      {"Journal_requests=False", kJournal, false},
      {"journal_requests= 'False' ", kJournal, false},
      {"Journal_requests=True", kJournal, true},
      {"Journal_requests=false", kJournal, true},
      {"Journal_requests=0", kJournal, true},
      {"Journal_requests=", kJournal, true},
      {"; Journal_requests=False", kJournal, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TempDir dir;
    dir.Write("bin/srvlarvek.INI", std::string("[Server]\r\n") + c.line + "\r\n");
    ConfigStore ini(dir.Path() + "bin/srvlarvek.INI");
    EXPECT_EQ(ReadStartupConfig(ini, dir.Path() + "bin/").config.*c.value, c.on);
  }
}

// The bounds on terminals and the framing; values that are not a number or negative give the
// default, and they are read even when a negative Max_time stops the reading after them.
TEST(StartupConfigTest, TerminalLimitsAndRequestEnd) {
  const struct {
    const char* server;  // lines of [Server]
    int32_t max_clients, per_address;
    bool cr;
  } cases[] = {
      {"", 20000, 0, false},
      {"Max_clients=500\r\nMax_clients_per_address=30\r\nRequest_end=CR\r\n", 500, 30, true},
      {"max_clients=0x10\r\nMAX_CLIENTS_PER_ADDRESS=$8\r\nrequest_end=cr\r\n", 16, 8, true},
      {"Max_clients=0\r\nMax_clients_per_address=0\r\n", 0, 0, false},
      {"Max_clients=-5\r\nMax_clients_per_address=-1\r\n", 20000, 0, false},
      {"Max_clients=many\r\nMax_clients_per_address=\r\n", 20000, 0, false},
      {"Request_end= Cr \r\n", 20000, 0, true},
      {"Request_end=CRLF\r\n", 20000, 0, false},
      {"Request_end=\r\n", 20000, 0, false},
      {"Request_end=LF\r\n", 20000, 0, false},
      {"Max_clients=7\r\nRequest_end=CR\r\nMax_time=-1\r\n", 7, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    TempDir dir;
    dir.Write("bin/srvlarvek.INI", std::string("[Server]\r\n") + c.server);
    ConfigStore ini(dir.Path() + "bin/srvlarvek.INI");
    const StartupConfigRead read = ReadStartupConfig(ini, dir.Path() + "bin/");
    const StartupConfig& out = read.config;
    if (read.failure) {
      EXPECT_FALSE(out.max_time.has_value()) << "only a negative Max_time stops the reading";
    }
    EXPECT_EQ(out.max_clients, c.max_clients);
    EXPECT_EQ(out.max_clients_per_address, c.per_address);
    EXPECT_EQ(out.requests_end_with_cr, c.cr);
  }
}

// The database hosts: the shared file's IP is one host as written (other programs read that
// file); the own file's IP may be a list, and a list it refuses fails the reading once the
// rest is read, naming the setting.
TEST(StartupConfigTest, DatabaseHostsComeFromTheOwnFileOnly) {
  const struct {
    const char* name;
    const char* shared;  // [LogOn] lines of larvek05.ini
    const char* own;     // [LogOn] lines of the own file
    const char* hosts;   // HostListText of what was read
    const char* failed_setting;
  } cases[] = {
      {"nothing: the local socket", "", "", "localhost:3306", ""},
      {"one host with SQLport", "", "IP=db1\r\nSQLport=3307\r\n", "db1:3307", ""},
      {"the shared file's value as it is", "IP=db1,db2\r\n", "SQLport=3307\r\n", "db1,db2:3307",
       ""},
      {"the own list overrides the shared host", "IP=old\r\n",
       "IP= 10.0.0.1:3310 , db2 ,[::1]\r\nSQLport=3307\r\n",
       "10.0.0.1:3310, db2:3307, [::1]:3307", ""},
      {"an empty own IP: the local socket", "IP=old\r\n", "IP=\r\n", "localhost:3306", ""},
      {"a refused list", "", "IP=db1,,db2\r\n", "db1,,db2:3306", "[LogOn] IP=db1,,db2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.Write("larvek05.ini", std::string("[LogOn]\r\n") + c.shared);
    dir.Write("bin/srvlarvek.INI",
              std::string("[LogOn]\r\n") + c.own + "[Server]\r\nServer_port=2005\r\n");
    ConfigStore ini(dir.Path() + "bin/srvlarvek.INI");
    const StartupConfigRead read = ReadStartupConfig(ini, dir.Path() + "bin/");
    EXPECT_EQ(HostListText(read.config.hosts), c.hosts);
    EXPECT_EQ(read.failed_setting, c.failed_setting);
    EXPECT_EQ(read.failure.has_value(), *c.failed_setting != 0);
    if (read.failure) {
      EXPECT_EQ(read.failure->ClassName(), kConvertError);
      EXPECT_EQ(read.failure->Message(), "pr\xE1zdn\xE1 polo\x9Eka");
    }
    EXPECT_EQ(read.config.server_port, "2005") << "the keys after IP are read all the same";
  }
}

// Parallel_requests takes plain digits from 1 to 256 only; anything else written there runs one
// at a time and keeps the text for the start-up's log line, while an absent key is no mistake.
TEST(StartupConfigTest, ParallelRequestsTakesOnlyAnIntegerInRange) {
  const struct {
    const char* server;
    int32_t parallel;
    std::optional<std::string> bad;
  } cases[] = {
      {"", 1, std::nullopt},
      {"Parallel_requests=16\r\n", 16, std::nullopt},
      {"parallel_requests=1\r\n", 1, std::nullopt},
      {"Parallel_requests=256\r\n", 256, std::nullopt},
      {"Parallel_requests= 8 \r\n", 8, std::nullopt},
      {"Parallel_requests=0\r\n", 1, "0"},
      {"Parallel_requests=300\r\n", 1, "300"},
      {"Parallel_requests=16x\r\n", 1, "16x"},
      {"Parallel_requests=\r\n", 1, ""},
      {"Parallel_requests=-4\r\n", 1, "-4"},
      {"Parallel_requests=0x10\r\n", 1, "0x10"},
      {"Parallel_requests=0016\r\n", 16, std::nullopt},
      {"Parallel_requests=99999999999\r\n", 1, "99999999999"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    TempDir dir;
    dir.Write("bin/srvlarvek.INI", std::string("[Server]\r\n") + c.server);
    ConfigStore ini(dir.Path() + "bin/srvlarvek.INI");
    const StartupConfig out = ReadStartupConfig(ini, dir.Path() + "bin/").config;
    EXPECT_EQ(out.parallel_requests, c.parallel);
    EXPECT_EQ(out.bad_parallel_requests, c.bad);
  }
}

// Command sections are read anew for every request, through the same store.
TEST(StartupConfigTest, CommandSectionsFollowTheFileWhileRunning) {
  TempDir dir;
  const std::string sql(2100, 's');
  const std::string own = dir.Write(
      "bin/srvlarvek.INI", "[Server]\nMax_time=100\n[ABC]\nZe_ctecky=1\nPrikaz_SQL1=" + sql +
                               "\n[Tsrvlarvek]\nChyba=okno\n");
  ConfigStore ini(own);
  const StartupConfig out = ReadStartupConfig(ini, dir.Path() + "bin/").config;

  EXPECT_EQ(ini.ReadNumber("abc", "Ze_ctecky", 0), 1);
  EXPECT_EQ(ini.ReadText("abc", "Prikaz_SQL1", ""), sql.substr(0, 2047));
  EXPECT_EQ(ini.ReadText("abc", "Chyba", "*****"), "*****");
  EXPECT_EQ(ini.ReadText("", "Chyba", "*****"), "okno");

  dir.Write("bin/srvlarvek.INI", "[Server]\nMax_time=200\n[ABC]\nZe_ctecky=2\n");
  EXPECT_EQ(ini.ReadNumber("ABC", "Ze_ctecky", 0), 2);
  EXPECT_EQ(ini.ReadText("ABC", "Prikaz_SQL1", ""), "");
  EXPECT_EQ(out.max_time, 100);  // start-up values are not read again
}

// A reload names each changed key once, the keys that wait for a restart apart, and keeps their
// running values in the configuration it hands on; everything else comes from the new reading.
TEST(StartupConfigTest, ReloadNamesTheChangedKeysAndKeepsThoseThatNeedARestart) {
  // The running file's sections, with lines added to each.
  auto file = [](const std::string& logon, const std::string& server,
                 const std::string& regional) {
    return "[LogOn]\r\nIP=db1\r\nUser=u1\r\nPassword=p1\r\n" + logon +
           "[Server]\r\nServer_port=2000\r\nUkoncovac=#\r\n" + server +
           "[Regional]\r\n" + regional;
  };
  const struct {
    const char *logon, *server, *regional;  // lines added to the running file's sections
    std::vector<std::string> applied, need_restart;
  } cases[] = {
      {"", "", "", {}, {}},
      {"", "Ukoncovac=$\r\n", "", {}, {}},  // a repeated key: the first one counts
      {"", "Max_time=100\r\nInterval_on=True\r\nMax_clients=3\r\nJournal_requests=False\r\n", "",
       {"[Server] Max_clients", "[Server] Max_time", "[Server] Interval_on",
        "[Server] Journal_requests"},
       {}},
      {"", "Max_reply=10\r\nMax_clients_per_address=2\r\nParallel_requests=x\r\n", "",
       {"[Server] Max_reply", "[Server] Max_clients_per_address", "[Server] Parallel_requests"},
       {}},
      {"", "Status_port=9100\r\nStatus_IP=0.0.0.0\r\nServer_IP=10.1.1.1\r\nRequest_end=CR\r\n", "",
       {},
       {"[Server] Server_IP", "[Server] Request_end", "[Server] Status_port",
        "[Server] Status_IP"}},
      {"SQLport=3307\r\nSQLtimeout=5\r\nDatabase=jina\r\n", "",
       "ShortDateFormat=yyyy-mm-dd\r\nLongTimeFormat=hh:nn\r\nDecimalSeparator=.\r\n",
       {"[LogOn] SQLport", "[LogOn] SQLtimeout", "[Regional] ShortDateFormat",
        "[Regional] LongTimeFormat", "[Regional] DecimalSeparator"},
       {"[LogOn] Database"}},
  };
  TempDir dir;
  auto read = [&dir](const std::string& own) {
    dir.Write("bin/srvlarvek.INI", own);
    return ReadStartupConfig(ConfigStore(dir.Path() + "bin/srvlarvek.INI"), dir.Path() + "bin/")
        .config;
  };
  const StartupConfig running = read(file("", "", ""));
  for (const auto& c : cases) {
    const std::string changed = file(c.logon, c.server, c.regional);
    SCOPED_TRACE(changed);
    const StartupConfig now = read(changed);
    const ConfigReload reload = CompareForReload(running, now);
    EXPECT_EQ(reload.applied, c.applied);
    EXPECT_EQ(reload.need_restart, c.need_restart);
    EXPECT_EQ(reload.config.database, running.database);
    EXPECT_EQ(reload.config.server_ip, running.server_ip);
    EXPECT_EQ(reload.config.requests_end_with_cr, running.requests_end_with_cr);
    EXPECT_EQ(reload.config.status_port, running.status_port);
    EXPECT_EQ(reload.config.status_ip, running.status_ip);
    EXPECT_EQ(reload.config.port, now.port);
    EXPECT_EQ(reload.config.max_time, now.max_time);
    EXPECT_EQ(reload.config.max_clients, now.max_clients);
    EXPECT_EQ(reload.config.parallel_requests, now.parallel_requests);
    EXPECT_EQ(reload.config.regional.decimal_separator, now.regional.decimal_separator);
  }
  // The login: each of the three keys, from whichever file, without its value.
  const StartupConfig login = read(
      "[LogOn]\r\nIP=db2\r\nUser=u2\r\nPassword=p2\r\n[Server]\r\nServer_port=2001\r\n"
      "Ukoncovac=$\r\n");
  const ConfigReload reload = CompareForReload(running, login);
  EXPECT_EQ(reload.applied, (std::vector<std::string>{"[LogOn] IP", "[LogOn] Password",
                                                       "[LogOn] User", "[Server] Ukoncovac"}));
  EXPECT_EQ(reload.need_restart, std::vector<std::string>{"[Server] Server_port"});
  EXPECT_EQ(reload.config.server_port, "2000");
  EXPECT_EQ(reload.config.password, "p2");
  EXPECT_EQ(reload.config.terminator, "$");
}

// A reload reads only files it can: missing, a directory, or readable.
TEST(StartupConfigTest, CheckConfigFileTellsWhyAFileCannotBeRead) {
  TempDir dir;
  dir.Write("own.INI", "[Server]\r\n");
  dir.Write("folder/x", "");
  EXPECT_TRUE(CheckConfigFile(dir.Path() + "own.INI").Ok());
  const Result<void> missing = CheckConfigFile(dir.Path() + "none.INI");
  ASSERT_FALSE(missing.Ok());
  EXPECT_EQ(missing.Failure().code, ENOENT);
  const Result<void> folder = CheckConfigFile(dir.Path() + "folder");
  ASSERT_FALSE(folder.Ok());
  EXPECT_EQ(folder.Failure().code, EISDIR);
}

}  // namespace
}  // namespace larvek
