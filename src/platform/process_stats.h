// The figures of this process that monitoring systems expect from every daemon: CPU time,
// resident memory, descriptors open and allowed, and when the process started. Read from the
// kernel at each call (/proc/self, getrlimit, the CPU-time clock); a figure that cannot be read
// is 0.
#pragma once

#include <cstdint>

namespace larvek {

struct ProcessStats {
  double cpu_seconds = 0;         // user and system time
  uint64_t resident_bytes = 0;
  uint64_t open_descriptors = 0;
  uint64_t max_descriptors = 0;   // the soft limit
  double start_time_seconds = 0;  // since the Unix epoch
};

ProcessStats ReadProcessStats();

}  // namespace larvek
