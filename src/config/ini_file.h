// An INI document kept as its raw bytes (Windows-1250, CR LF or LF line ends) together with an
// index of its sections and keys.
//
// Reading rules:
// - A line "[name]" opens a section; blanks around the name are ignored. A line "key=value"
//   sets a key; blanks around the key and the value are removed. Lines whose first non-blank
//   character is ";" are comments; lines without "=" and lines before the first section are
//   ignored.
// - Section and key names are compared without regard to case (ASCII and Windows-1250 letters).
//   The first section of a name is the one used, and in it the first key of a name.
// - A value enclosed in one matching pair of double or single quotes loses that pair; the result
//   is cut to its first 2047 characters.
//
// Writing changes only the bytes of the key's own line (or inserts a new CR LF line), so the
// rest of the file stays exactly as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"

namespace larvek {

// Longest value a read returns; longer values are cut.
inline constexpr size_t kIniMaxValue = 2047;

class IniFile {
 public:
  IniFile() = default;
  explicit IniFile(std::string bytes);

  // The file's content; a missing or unreadable file gives an empty document.
  static IniFile Load(const std::string& path);

  // The value of `key` in `section`, nullopt when the section or the key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  std::string ReadText(std::string_view section, std::string_view key,
                       const std::string& def) const;
  int32_t ReadNumber(std::string_view section, std::string_view key, int32_t def) const;

  // Sets `key` in `section` to `value`, creating the section and the key when missing.
  // Names and values must not hold line breaks, keys no "=" and sections no "]"; returns false
  // (and changes nothing) when they do.
  bool Set(std::string_view section, std::string_view key, std::string_view value);

  // A key as a read finds it, with its section and its name as the file writes them.
  struct Entry {
    std::string section, key, value;
  };
  // Every key a read finds (the first key of a name in the first section of a name), in file
  // order.
  std::vector<Entry> Entries() const;

  const std::string& Bytes() const { return bytes_; }
  // The section names as written, in file order; a name repeated later (letter case ignored)
  // is listed again, although only its first section is read.
  const std::vector<std::string>& SectionNames() const { return section_names_; }
  // The name of `section` as the file writes it (the first of its headers); none when absent.
  std::optional<std::string> SectionName(std::string_view section) const;

 private:
  struct Key {
    std::string name;   // as written in the file
    std::string value;  // trimmed, unquoted, cut
    size_t begin, end;  // the line's bytes without its line end
  };
  struct Section {
    std::string written;     // the name as its first header wrote it
    size_t append_at = 0;    // just after the section's last non-blank line (and its line end)
    bool open_line = false;  // that line ends the file without a line end
    std::unordered_map<std::string, Key> keys;  // by folded name
  };

  void Index();

  std::string bytes_;
  std::unordered_map<std::string, Section> sections_;  // by folded name
  std::vector<std::string> section_names_;
};

// Reads an integer: "0x"/"0X" followed by at least one character, or "$" followed by anything,
// is hexadecimal after the prefix; otherwise decimal with an optional sign. Empty text, text that
// is not a number, and numbers outside the 32-bit signed range give nullopt.
std::optional<int32_t> ParseIniInteger(std::string_view text);

// Names compared by the INI rules: ASCII and Windows-1250 capitals turned to small letters.
std::string FoldIniName(std::string_view name);

// Writes `value` under `key` in `section` of the file at `path` (created when missing).
// The new content replaces the file as a whole (a temporary file renamed over it), so a failed
// write leaves the old file intact. Throws Error::IniFile("Unable to write to " + path).
void WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value);

}  // namespace larvek
