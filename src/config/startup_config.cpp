#include "config/startup_config.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>

#include "base/error.h"
#include "base/file_io.h"
#include "base/text.h"
#include "config/host_list.h"

namespace larvek {

std::string ProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return "";
  return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramDirectory(const std::string& program_path) {
  size_t slash = program_path.rfind('/');
  return slash == std::string::npos ? "" : program_path.substr(0, slash + 1);
}

std::string OwnConfigPath(const std::string& program_path) {
  size_t name = program_path.rfind('/');
  name = name == std::string::npos ? 0 : name + 1;
  size_t dot = program_path.rfind('.');
  if (dot == std::string::npos || dot < name) dot = program_path.size();
  return program_path.substr(0, dot) + ".INI";
}

std::string SharedConfigPath(const std::string& program_dir) {
  std::string dir = program_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return program_dir + "../larvek05.ini";
  return dir.substr(0, slash + 1) + "larvek05.ini";
}

Result<void> CheckConfigFile(const std::string& path) {
  const Result<OpenFile> file = OpenRegularFile(path);
  if (!file) return file.Failure();
  close(file.Value().fd);
  return {};
}

StartupConfigRead ReadStartupConfig(const ConfigStore& own, const std::string& program_dir) {
  StartupConfigRead result;
  StartupConfig& out = result.config;
  const ConfigStore shared(SharedConfigPath(program_dir));
  out.host = shared.ReadText("LogOn", "IP", out.host);
  out.password = shared.ReadText("LogOn", "Password", out.password);
  out.user = shared.ReadText("LogOn", "User", out.user);

  const char kAbsent[] = "\x01";
  const std::string own_host = own.ReadText("LogOn", "IP", kAbsent);
  if (own_host != kAbsent) out.host = own_host;
  out.password = own.ReadText("LogOn", "Password", out.password);
  out.user = own.ReadText("LogOn", "User", out.user);
  out.port = own.ReadNumber("LogOn", "SQLport", 3306);
  out.hosts = {HostPort{out.host, out.port}};
  // A list that cannot be read fails the reading once everything else is read: the listener
  // still starts with the keys after it.
  std::optional<HostListFailure> host_failure;
  if (own_host != kAbsent) {
    Result<std::vector<HostPort>, HostListFailure> list = ParseHostList(own_host, out.port);
    if (list)
      out.hosts = std::move(list).Value();
    else
      host_failure = list.Failure();
  }
  out.database = own.ReadText("LogOn", "Database", "larvek");
  // Seconds a database connect, read or write may take; negative values count as the default.
  const int32_t timeout = own.ReadNumber("LogOn", "SQLtimeout", 30);
  out.sql_timeout = timeout < 0 ? 30 : timeout;

  out.terminator = own.ReadText("Server", "Ukoncovac", "");
  out.server_port = own.ReadText("Server", "Server_port", "2000");
  out.server_ip = std::string(TrimSpaceAndControls(own.ReadText("Server", "Server_IP", "")));
  // A limit below one byte would refuse every reply: such a value counts as the default.
  const int32_t max_reply = own.ReadNumber("Server", "Max_reply", kDefaultMaxReplyBytes);
  out.max_reply = max_reply < 1 ? kDefaultMaxReplyBytes : max_reply;
  // The bounds on terminals are read before Max_time, whose failure stops reading: the
  // listener starts even then and must keep them.
  const int32_t max_clients = own.ReadNumber("Server", "Max_clients", 20000);
  out.max_clients = max_clients < 0 ? 20000 : max_clients;
  const int32_t per_address = own.ReadNumber("Server", "Max_clients_per_address", 0);
  out.max_clients_per_address = per_address < 0 ? 0 : per_address;
  out.requests_end_with_cr =
      EqualIgnoringAsciiCase(own.ReadText("Server", "Request_end", ""), "CR");
  // Absent: one at a time, as always; a value that is not a plain integer in range is a mistake
  // worth a log line, and the safe mode.
  const std::string parallel = own.ReadText("Server", "Parallel_requests", kAbsent);
  if (parallel != kAbsent) {
    const std::string_view digits = TrimSpaceAndControls(parallel);
    int32_t value = 0;
    bool valid = !digits.empty();
    for (char c : digits) {
      if (c < '0' || c > '9') valid = false;
      value = std::min(value * 10 + (c - '0'), kMaxParallelRequests + 1);  // no overflow
    }
    if (valid && value >= 1 && value <= kMaxParallelRequests)
      out.parallel_requests = value;
    else
      out.bad_parallel_requests = parallel;
  }
  out.status_port = std::string(TrimSpaceAndControls(own.ReadText("Server", "Status_port", "")));
  out.status_ip =
      std::string(TrimSpaceAndControls(own.ReadText("Server", "Status_IP", kDefaultStatusIp)));
  if (out.status_ip.empty()) out.status_ip = kDefaultStatusIp;
  // The mirror of Interval_on: only the exact word changes what runs by default.
  out.journal_requests = own.ReadText("Server", "Journal_requests", "True") != "False";
  int32_t max_time = own.ReadNumber("Server", "Max_time", 5000);
  if (max_time < 0) {
    result.failure = Error::Range();
    result.failed_setting = "[Server] Max_time=" + own.ReadText("Server", "Max_time", "");
    return result;
  }
  out.max_time = max_time;
  out.watchdog_on = own.ReadText("Server", "Interval_on", "False") == "True";

  // Formats that came out empty would turn every date, time or decimal number into a wrong text,
  // so an empty value keeps the default just like a missing one.
  const RegionalSettings defaults;
  auto read = [&own](const char* key, const std::string& def) {
    std::string v = own.ReadText("Regional", key, def);
    return v.empty() ? def : v;
  };
  out.regional.short_date_format = read("ShortDateFormat", defaults.short_date_format);
  out.regional.long_time_format = read("LongTimeFormat", defaults.long_time_format);
  out.regional.decimal_separator = read("DecimalSeparator", defaults.decimal_separator);
  if (host_failure) {
    result.failure = Error::Convert(host_failure->reason);
    result.failed_setting = "[LogOn] IP=" + out.host;
  }
  return result;
}

ConfigReload CompareForReload(const StartupConfig& running, const StartupConfig& read) {
  ConfigReload reload{read, {}, {}};
  auto note = [&reload](const char* key, bool differs, bool needs_restart) {
    if (differs) (needs_restart ? reload.need_restart : reload.applied).push_back(key);
  };
  constexpr bool kApplies = false;
  constexpr bool kNeedsRestart = true;
  const RegionalSettings& was = running.regional;
  const RegionalSettings& now = read.regional;
  note("[LogOn] IP", running.host != read.host, kApplies);
  note("[LogOn] Password", running.password != read.password, kApplies);
  note("[LogOn] User", running.user != read.user, kApplies);
  note("[LogOn] SQLport", running.port != read.port, kApplies);
  note("[LogOn] Database", running.database != read.database, kNeedsRestart);
  note("[LogOn] SQLtimeout", running.sql_timeout != read.sql_timeout, kApplies);
  note("[Server] Ukoncovac", running.terminator != read.terminator, kApplies);
  note("[Server] Server_port", running.server_port != read.server_port, kNeedsRestart);
  note("[Server] Server_IP", running.server_ip != read.server_ip, kNeedsRestart);
  note("[Server] Max_reply", running.max_reply != read.max_reply, kApplies);
  note("[Server] Max_clients", running.max_clients != read.max_clients, kApplies);
  note("[Server] Max_clients_per_address",
       running.max_clients_per_address != read.max_clients_per_address, kApplies);
  note("[Server] Request_end", running.requests_end_with_cr != read.requests_end_with_cr,
       kNeedsRestart);
  note("[Server] Parallel_requests",
       running.parallel_requests != read.parallel_requests ||
           running.bad_parallel_requests != read.bad_parallel_requests,
       kApplies);
  note("[Server] Status_port", running.status_port != read.status_port, kNeedsRestart);
  note("[Server] Status_IP", running.status_ip != read.status_ip, kNeedsRestart);
  note("[Server] Max_time", running.max_time != read.max_time, kApplies);
  note("[Server] Interval_on", running.watchdog_on != read.watchdog_on, kApplies);
  note("[Server] Journal_requests", running.journal_requests != read.journal_requests, kApplies);
  note("[Regional] ShortDateFormat", was.short_date_format != now.short_date_format, kApplies);
  note("[Regional] LongTimeFormat", was.long_time_format != now.long_time_format, kApplies);
  note("[Regional] DecimalSeparator", was.decimal_separator != now.decimal_separator, kApplies);

  StartupConfig& kept = reload.config;
  kept.database = running.database;
  kept.server_port = running.server_port;
  kept.server_ip = running.server_ip;
  kept.requests_end_with_cr = running.requests_end_with_cr;
  kept.status_port = running.status_port;
  kept.status_ip = running.status_ip;
  return reload;
}

}  // namespace larvek
