// Where the program's files are, and the configuration read at start-up.
//
// Two files are read: the shared file "larvek05.ini" in the parent of the program directory,
// which supplies only the database login, and the own file next to the program (its name with
// the extension ".INI"), which supplies everything else and overrides the shared login key by key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/host_port.h"
#include "base/regional.h"
#include "base/result.h"
#include "config/config_store.h"

namespace larvek {

// The running program's file (/proc/self/exe); empty when it cannot be found.
std::string ProgramPath();
// The path up to and including its last "/"; empty when it has none.
std::string ProgramDirectory(const std::string& program_path);
// The directory plus the program file's name with its extension replaced by ".INI" (appended
// when the name has none): /opt/x/srvlarvek -> /opt/x/srvlarvek.INI.
std::string OwnConfigPath(const std::string& program_path);
// "larvek05.ini" in the parent of the directory as the path is written (a symlinked directory's
// own parent, not its target's): /opt/x/ -> /opt/larvek05.ini. A directory without any "/" gets
// "../larvek05.ini" appended.
std::string SharedConfigPath(const std::string& program_dir);

// Whether the configuration file at `path` can be read now; the failure is the system's reason
// (ENOENT when it is missing, EISDIR for a directory). Reading itself takes a file that cannot
// be read for an empty one; a reload asks first, so as not to run on the defaults.
Result<void> CheckConfigFile(const std::string& path);

// The most requests Parallel_requests lets be at the database at once.
inline constexpr int32_t kMaxParallelRequests = 256;

// The status listener's address when Status_IP is absent or empty: what it shows stays on the
// machine unless the site opens it.
inline constexpr const char* kDefaultStatusIp = "127.0.0.1";

// Max_reply when absent, not a number or below 1: 4 MiB.
inline constexpr int32_t kDefaultMaxReplyBytes = 4 * 1024 * 1024;

// The values read at start-up.
struct StartupConfig {
  std::string host, password, user;  // database login; host: IP as written
  int32_t port = 3306;               // database TCP port (SQLport)
  // The database servers a new link tries, in order: one entry made of IP and SQLport, or the
  // own file's list "host[:port],..." (see ParseHostList).
  std::vector<HostPort> hosts = {HostPort{}};
  int32_t sql_timeout = 30;          // seconds for a database connect, read or write; 0: none
  std::string database = "larvek";   // database name
  std::string terminator;            // terminator appended to every reply record
  std::string server_port = "2000";  // listening TCP port, as text
  std::string server_ip;             // listening IPv4 address; empty: the host name's address
  int32_t max_reply = kDefaultMaxReplyBytes;  // longest reply of records in bytes (Max_reply)
  int32_t max_clients = 20000;                // terminal connections at most; 0: no limit
  int32_t max_clients_per_address = 0;        // of them from one address; 0: no limit
  bool requests_end_with_cr = false;          // Request_end=CR: a request is gathered up to its CR
  // Requests at the database at once (Parallel_requests); 1: one at a time, every statement
  // blocking. A value present but not an integer 1..kMaxParallelRequests gives 1, and the
  // value as written is kept for the start-up's log line.
  int32_t parallel_requests = 1;
  std::optional<std::string> bad_parallel_requests;
  // The status listener (metrics and health pages): Status_port as written, trimmed; empty or
  // "0": none. Status_IP: the address it binds; empty or absent: loopback only.
  std::string status_port;
  std::string status_ip = kDefaultStatusIp;
  // Journal_requests: whether the lines requests write (receptions, replies, their failures)
  // go to standard output too; off only for exactly "False". The day's file has them always.
  bool journal_requests = true;
  std::optional<int32_t> max_time;  // watchdog interval in ms; set only when read successfully
  bool watchdog_on = false;         // watchdog armed around modifying statements
  RegionalSettings regional;        // own file, section [Regional]
};

// What ReadStartupConfig read, and the error that stopped it. The fields are filled in reading
// order: after a failure the later ones keep their defaults.
struct StartupConfigRead {
  StartupConfig config;
  std::optional<Error> failure;
  // The setting that failed, as "[section] key=value" for the log line that names it.
  std::string failed_setting;
};

// Reads the start-up configuration from the shared file (found from `program_dir`) and the own
// file `own`:
// 1. shared file, [LogOn]: IP, Password, User (defaults: empty); the shared IP is one host as
//    it is written, since other programs read that file too;
// 2. own file, [LogOn]: IP, Password, User (defaults: the shared values), SQLport (3306),
//    SQLtimeout (30),
//    Database ("larvek"); an IP of the own file is read as a host list (ParseHostList); a list
//    it refuses leaves IP as one host and fails the reading at its end with
//    Error::Convert(the reason);
// 3. own file, [Server]: Ukoncovac (empty), Server_port ("2000"), Server_IP (empty, trimmed),
//    Max_reply (4 MiB; below 1 counts as the default), Max_clients (20000),
//    Max_clients_per_address (0), Status_port (empty), Status_IP ("127.0.0.1"; trimmed),
//    Journal_requests (off exactly for "False"),
//    Request_end (CR in any letter case ends requests with CR;
//    anything else, or nothing, keeps the framing by arrival), Parallel_requests (1; digits
//    only, 1..256, blanks around them trimmed), Max_time (5000), Interval_on
//    (on exactly for "True"); a negative or non-numeric Max_clients or
//    Max_clients_per_address gives its default;
// 4. own file, [Regional]: ShortDateFormat, LongTimeFormat, DecimalSeparator; a missing or empty
//    value keeps the default.
// A negative Max_time stops the reading with the failure Error::Range() ("Range check error");
// Interval_on and [Regional] are then not read. A failure names its setting (failed_setting). The caller applies what was read either way.
StartupConfigRead ReadStartupConfig(const ConfigStore& own, const std::string& program_dir);

// The configuration read again while the server runs, against the one it runs with.
struct ConfigReload {
  // What runs from now on: the values read, except the keys that need a restart, which keep
  // their running values.
  StartupConfig config;
  // The keys whose values changed, as "[section] key" in reading order: those applied now, and
  // those that keep their running values until the next start.
  std::vector<std::string> applied;
  std::vector<std::string> need_restart;
};

// Compares a configuration read again (`read`) with the running one. The database name, the
// listener's and the status listener's address and port, and the request framing
// (Request_end) belong to what start-up opens, so a change of them waits for a restart; every
// other key applies at once. A Parallel_requests written differently but as wrong as before
// counts as changed too.
ConfigReload CompareForReload(const StartupConfig& running, const StartupConfig& read);

}  // namespace larvek
