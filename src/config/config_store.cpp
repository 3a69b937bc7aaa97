#include "config/config_store.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <utility>

#include "base/file_io.h"

namespace larvek {

namespace {

// Changes this recent may share their time stamps with a further change (coarse file system
// clocks tick in up to two seconds).
constexpr int64_t kRacyNanos = 2'000'000'000;

int64_t Nanos(const struct timespec& t) {
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

ConfigStore::ConfigStore(std::string own_file) : own_file_(std::move(own_file)) {}

const std::string& ConfigStore::Section() const {
  static const std::string window_section = kWindowSection;
  return IniSection.empty() ? window_section : IniSection;
}

const IniFile& ConfigStore::Current(const std::string& path) const {
  static const IniFile empty;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    cache_.erase(path);
    return empty;
  }
  auto identity = [](const struct stat& s) {
    return Identity{static_cast<uint64_t>(s.st_dev),
                    static_cast<uint64_t>(s.st_ino),
                    static_cast<int64_t>(s.st_size),
                    s.st_mtim.tv_sec,
                    s.st_mtim.tv_nsec,
                    s.st_ctim.tv_sec,
                    s.st_ctim.tv_nsec};
  };
  auto it = cache_.find(path);
  if (it != cache_.end() && it->second.trusted && it->second.identity == identity(st))
    return it->second.doc;

  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  std::string bytes;
  if (!ReadRegularFile(path, &bytes, &st)) {
    cache_.erase(path);
    return empty;
  }
  int64_t changed = std::max(Nanos(st.st_mtim), Nanos(st.st_ctim));
  Cached entry{identity(st), changed + kRacyNanos <= Nanos(now), IniFile(std::move(bytes))};
  return cache_.insert_or_assign(path, std::move(entry)).first->second.doc;
}

std::string ConfigStore::ReadText(const std::string& key, const std::string& def) const {
  return Current(File()).ReadText(Section(), key, def);
}

int32_t ConfigStore::ReadNumber(const std::string& key, int32_t def) const {
  return Current(File()).ReadNumber(Section(), key, def);
}

void ConfigStore::WriteText(const std::string& key, const std::string& value) {
  const std::string& path = File();
  cache_.erase(path);
  WriteIniValue(path, Section(), key, value);
}

void ConfigStore::WriteNumber(const std::string& key, int32_t value) {
  WriteText(key, std::to_string(value));
}

}  // namespace larvek
