// The configuration store: reads and writes keys of one INI file and section at a time.
//
// `IniFileName` selects the file (empty: the own configuration file) and `IniSection` the section
// (empty: the window section "Tsrvlarvek"). Every read sees the file's current content: the
// parsed file is kept between reads, but each read first compares the file's identity (device,
// inode, size, modification and change times to the nanosecond) with the kept copy and parses
// the file again when anything differs. A file changed within the last two seconds before it was
// parsed is parsed again on the next read as well, because a second change inside the same clock
// tick would not show in its times.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "config/ini_file.h"

namespace larvek {

// The section that holds the main window's position; also the section an empty name selects.
inline constexpr const char* kWindowSection = "Tsrvlarvek";

class ConfigStore {
 public:
  explicit ConfigStore(std::string own_file);

  std::string IniFileName;
  std::string IniSection;

  // The key's value, or `def` when the file, section or key is missing (see ini_file.h).
  std::string ReadText(const std::string& key, const std::string& def) const;
  int32_t ReadNumber(const std::string& key, int32_t def) const;
  // Throw Error::IniFile("Unable to write to <path>") on failure.
  void WriteText(const std::string& key, const std::string& value);
  void WriteNumber(const std::string& key, int32_t value);

  const std::string& OwnFile() const { return own_file_; }

 private:
  struct Identity {
    uint64_t dev, ino;
    int64_t size, mtime_sec, mtime_nsec, ctime_sec, ctime_nsec;
    bool operator==(const Identity&) const = default;
  };
  struct Cached {
    Identity identity;
    bool trusted;  // old enough that its times prove it unchanged
    IniFile doc;
  };

  const std::string& File() const { return IniFileName.empty() ? own_file_ : IniFileName; }
  const std::string& Section() const;
  // The current content of `path`; an empty document when it cannot be read.
  const IniFile& Current(const std::string& path) const;

  std::string own_file_;
  mutable std::map<std::string, Cached> cache_;
};

}  // namespace larvek
