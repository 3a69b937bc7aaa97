// The configuration store: reads and writes keys of one INI file, the section named with every
// call.
//
// Every read sees the file's current content: the parsed file is kept between reads, but each
// read first compares the file's identity (device, inode, size, modification and change times to
// the nanosecond) with the kept copy and parses the file again when anything differs. A file
// changed within the last two seconds before it was parsed is parsed again on the next read as
// well, because a second change inside the same clock tick would not show in its times.
//
// A store told the rounds of the program's event loop (ShareLooksWithinRounds) looks at the
// file once per round: the first read of a round compares the identity and the later reads of
// that round take its result. Everything a round handles had arrived by the moment the round
// began, before that look, so a request still sees the file as it was after it arrived.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "config/ini_file.h"

namespace larvek {

// The section that holds the main window's position; also the section an empty name selects.
inline constexpr const char* kWindowSection = "Tsrvlarvek";

class ConfigStore {
 public:
  explicit ConfigStore(std::string path);
  const std::string& Path() const { return path_; }

  // The key's value in `section`, or `def` when the file, section or key is missing (see
  // ini_file.h). An empty section name reads the window section.
  std::string ReadText(const std::string& section, const std::string& key,
                       const std::string& def) const;
  int32_t ReadNumber(const std::string& section, const std::string& key, int32_t def) const;
  // The file as it is now, for reading several keys with one look at the file: reads as
  // ReadText and ReadNumber do. Valid until the store's next read or write.
  class Snapshot {
   public:
    std::string ReadText(const std::string& section, const std::string& key,
                         const std::string& def) const;
    int32_t ReadNumber(const std::string& section, const std::string& key, int32_t def) const;
    std::optional<std::string> SectionName(const std::string& section) const {
      return file_.SectionName(section);
    }
    // Tells the contents the store has read apart: two snapshots of one store with the same
    // version read the same document. A new version comes with each parse of the file (and
    // each look that finds no file), so what was read from one version may be kept until the
    // version changes.
    uint64_t Version() const { return version_; }

   private:
    friend class ConfigStore;
    Snapshot(const IniFile& file, uint64_t version) : file_(file), version_(version) {}
    const IniFile& file_;
    uint64_t version_;
  };
  Snapshot Now() const {
    const IniFile& file = Current();
    return Snapshot(file, version_);
  }

  // `round` tells the number of the loop round being handled, or nothing outside a round
  // (reads there always look at the file).
  void ShareLooksWithinRounds(std::function<std::optional<uint64_t>()> round) {
    round_ = std::move(round);
  }

  // Throw Error::IniFile("Unable to write to <path>") on failure.
  void WriteText(const std::string& section, const std::string& key, const std::string& value);
  void WriteNumber(const std::string& section, const std::string& key, int32_t value);

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

  // The file's current content; an empty document when it cannot be read.
  const IniFile& Current() const;
  const IniFile& Look() const;

  std::string path_;
  mutable std::optional<Cached> cache_;
  std::function<std::optional<uint64_t>()> round_;
  mutable std::optional<uint64_t> looked_in_round_;  // the round of the last look, if any
  mutable const IniFile* last_look_ = nullptr;       // that look's result
  mutable uint64_t version_ = 0;                     // see Snapshot::Version
};

}  // namespace larvek
