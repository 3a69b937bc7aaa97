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

// An empty section name stands for the window section.
const std::string& SectionOrWindow(const std::string& section) {
  static const std::string window_section = kWindowSection;
  return section.empty() ? window_section : section;
}

}  // namespace

ConfigStore::ConfigStore(std::string path) : path_(std::move(path)) {}

const IniFile& ConfigStore::Current() const {
  const std::optional<uint64_t> round = round_ ? round_() : std::nullopt;
  if (round && looked_in_round_ == round) return *last_look_;
  last_look_ = &Look();
  looked_in_round_ = round;
  return *last_look_;
}

const IniFile& ConfigStore::Look() const {
  static const IniFile empty;
  struct stat st;
  if (stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    cache_.reset();
    ++version_;
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
  if (cache_ && cache_->trusted && cache_->identity == identity(st)) return cache_->doc;

  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  Result<FileContent> read = ReadRegularFile(path_);
  ++version_;
  if (!read) {
    cache_.reset();
    return empty;
  }
  FileContent& content = read.Value();
  int64_t changed = std::max(Nanos(content.status.st_mtim), Nanos(content.status.st_ctim));
  cache_.emplace(Cached{identity(content.status), changed + kRacyNanos <= Nanos(now),
                        IniFile(std::move(content.bytes))});
  return cache_->doc;
}

std::string ConfigStore::ReadText(const std::string& section, const std::string& key,
                                  const std::string& def) const {
  return Current().ReadText(SectionOrWindow(section), key, def);
}

std::string ConfigStore::Snapshot::ReadText(const std::string& section, const std::string& key,
                                            const std::string& def) const {
  return file_.ReadText(SectionOrWindow(section), key, def);
}

int32_t ConfigStore::Snapshot::ReadNumber(const std::string& section, const std::string& key,
                                          int32_t def) const {
  return file_.ReadNumber(SectionOrWindow(section), key, def);
}

int32_t ConfigStore::ReadNumber(const std::string& section, const std::string& key,
                                int32_t def) const {
  return Current().ReadNumber(SectionOrWindow(section), key, def);
}

void ConfigStore::WriteText(const std::string& section, const std::string& key,
                            const std::string& value) {
  cache_.reset();
  looked_in_round_.reset();
  WriteIniValue(path_, SectionOrWindow(section), key, value);
}

void ConfigStore::WriteNumber(const std::string& section, const std::string& key, int32_t value) {
  WriteText(section, key, std::to_string(value));
}

}  // namespace larvek
