#include "platform/process_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace larvek {
namespace {

uint64_t CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  uint64_t count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count > 0 ? count - 1 : 0;  // the directory's own descriptor
}

uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// The start from /proc/self/stat (field 22, clock ticks after boot) and the boot time of
// /proc/stat.
double StartTimeSeconds() {
  std::ifstream stat_file("/proc/self/stat");
  std::string line;
  if (!std::getline(stat_file, line)) return 0;
  // The command name (field 2) may hold blanks and parentheses: fields are counted after the
  // last ')'.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  unsigned long long start_ticks = 0;
  for (int n = 3; fields >> field; ++n) {
    if (n == 22) {
      start_ticks = std::strtoull(field.c_str(), nullptr, 10);
      break;
    }
  }
  std::ifstream system_stat("/proc/stat");
  unsigned long long boot = 0;
  while (std::getline(system_stat, line))
    if (line.rfind("btime ", 0) == 0) boot = std::strtoull(line.c_str() + 6, nullptr, 10);
  if (boot == 0) return 0;
  return static_cast<double>(boot) +
         static_cast<double>(start_ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

ProcessStats ReadProcessStats() {
  ProcessStats stats;
  timespec cpu{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) == 0)
    stats.cpu_seconds = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
  stats.resident_bytes = ResidentBytes();
  stats.open_descriptors = CountOpenDescriptors();
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    stats.max_descriptors = limit.rlim_cur;
  stats.start_time_seconds = StartTimeSeconds();
  return stats;
}

}  // namespace larvek
