#include "config/ini_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

#include "base/error.h"
#include "base/file_io.h"
#include "base/text.h"

namespace larvek {

namespace {

constexpr std::array<unsigned char, 256> MakeFoldTable() {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<unsigned char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = static_cast<unsigned char>(c + 32);
  // Windows-1250 capitals outside the regular block: Š Ś Ť Ž Ź Ł Ą Ş Ż Ľ.
  constexpr unsigned char kPairs[][2] = {{0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D}, {0x8E, 0x9E},
                                         {0x8F, 0x9F}, {0xA3, 0xB3}, {0xA5, 0xB9}, {0xAA, 0xBA},
                                         {0xAF, 0xBF}, {0xBC, 0xBE}};
  for (const auto& p : kPairs) t[p[0]] = p[1];
  // The block 0xC0-0xDE maps onto 0xE0-0xFE, except the multiplication sign 0xD7.
  for (int c = 0xC0; c <= 0xDE; ++c)
    if (c != 0xD7) t[c] = static_cast<unsigned char>(c + 0x20);
  return t;
}

constexpr std::array<unsigned char, 256> kFold = MakeFoldTable();

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  if (v.size() > kIniMaxValue) v = v.substr(0, kIniMaxValue);
  return std::string(v);
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

[[noreturn]] void ThrowWriteError(const std::string& path) {
  throw Error::IniFile("Unable to write to " + path);
}

// Replaces the file's content as a whole (see ReplaceFileAtomically), so that a full disk or an
// I/O error cannot leave a truncated configuration behind. A link is followed so that its
// target, not the link, gets the new content. When no file can be created in the directory,
// the file is rewritten in place.
void ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string target = path;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) ThrowWriteError(path);
    target = resolved;
  }
  const Result<void, ReplaceFailure> replaced = ReplaceFileAtomically(target, bytes);
  if (replaced) return;
  const ReplaceFailure& failure = replaced.Failure();
  if (failure.step != ReplaceStep::kCreate || (failure.code != EACCES && failure.code != EPERM))
    ThrowWriteError(path);
  const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) ThrowWriteError(path);
  const Result<void> written = WriteAll(fd, bytes);
  if (close(fd) != 0 || !written) ThrowWriteError(path);
}

}  // namespace

std::string FoldIniName(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = static_cast<char>(kFold[static_cast<unsigned char>(c)]);
  return out;
}

std::optional<int32_t> ParseIniInteger(std::string_view t) {
  if (t.empty()) return std::nullopt;
  if (t[0] == '$' || (t.size() >= 3 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))) {
    t.remove_prefix(t[0] == '$' ? 1 : 2);
    if (t.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : t) {
      int d = HexDigitValue(c);
      if (d < 0) return std::nullopt;
      v = v * 16 + static_cast<uint64_t>(d);
      if (v > INT32_MAX) return std::nullopt;
    }
    return static_cast<int32_t>(v);
  }
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return std::nullopt;
  const uint64_t limit = negative ? uint64_t{INT32_MAX} + 1 : uint64_t{INT32_MAX};
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > limit) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
}

IniFile::IniFile(std::string bytes) : bytes_(std::move(bytes)) {
  Index();
}

IniFile IniFile::Load(const std::string& path) {
  Result<FileContent> read = ReadRegularFile(path);
  if (!read) return IniFile();
  return IniFile(std::move(read.Value().bytes));
}

void IniFile::Index() {
  sections_.clear();
  section_names_.clear();
  Section* current = nullptr;  // null before the first section and inside repeated sections
  size_t pos = 0;
  while (pos < bytes_.size()) {
    size_t nl = bytes_.find('\n', pos);
    size_t next = nl == std::string::npos ? bytes_.size() : nl + 1;
    size_t end = nl == std::string::npos ? bytes_.size() : nl;
    if (end > pos && bytes_[end - 1] == '\r') --end;
    std::string_view line = TrimAsciiWhitespace(std::string_view(bytes_).substr(pos, end - pos));

    if (!line.empty() && line.front() == '[' && line.find(']') != std::string_view::npos) {
      const std::string_view written = TrimAsciiWhitespace(line.substr(1, line.rfind(']') - 1));
      section_names_.emplace_back(written);
      std::string name = FoldIniName(written);
      auto [it, fresh] = sections_.try_emplace(name);
      if (fresh) it->second.written = std::string(written);
      current = fresh ? &it->second : nullptr;
    } else if (!line.empty() && line.front() != ';' && current) {
      size_t eq = line.find('=');
      if (eq != std::string_view::npos) {
        std::string_view key = TrimAsciiWhitespace(line.substr(0, eq));
        current->keys.try_emplace(
            FoldIniName(key),
            Key{std::string(key), Unquote(TrimAsciiWhitespace(line.substr(eq + 1))), pos, end});
      }
    }
    if (!line.empty() && current) {
      current->append_at = next;
      current->open_line = nl == std::string::npos;
    }
    pos = next;
  }
}

std::optional<std::string> IniFile::SectionName(std::string_view section) const {
  auto s = sections_.find(FoldIniName(TrimAsciiWhitespace(section)));
  if (s == sections_.end()) return std::nullopt;
  return s->second.written;
}

std::vector<IniFile::Entry> IniFile::Entries() const {
  std::vector<std::pair<size_t, Entry>> at;  // by the line's position in the file
  for (const auto& [folded, section] : sections_)
    for (const auto& [folded_key, key] : section.keys)
      at.push_back({key.begin, Entry{section.written, key.name, key.value}});
  std::sort(at.begin(), at.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Entry> entries;
  entries.reserve(at.size());
  for (auto& [position, entry] : at) entries.push_back(std::move(entry));
  return entries;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
  key = TrimAsciiWhitespace(key);
  if (key.empty()) return std::nullopt;
  auto s = sections_.find(FoldIniName(TrimAsciiWhitespace(section)));
  if (s == sections_.end()) return std::nullopt;
  auto k = s->second.keys.find(FoldIniName(key));
  if (k == s->second.keys.end()) return std::nullopt;
  return k->second.value;
}

std::string IniFile::ReadText(std::string_view section, std::string_view key,
                              const std::string& def) const {
  std::optional<std::string> v = Find(section, key);
  return v ? std::move(*v) : def;
}

int32_t IniFile::ReadNumber(std::string_view section, std::string_view key, int32_t def) const {
  std::optional<std::string> v = Find(section, key);
  if (!v) return def;
  return ParseIniInteger(*v).value_or(def);
}

bool IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  section = TrimAsciiWhitespace(section);
  key = TrimAsciiWhitespace(key);
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
      section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
      key.empty() || key.front() == ';' || key.front() == '[')
    return false;

  auto s = sections_.find(FoldIniName(section));
  if (s == sections_.end()) {
    if (!bytes_.empty() && bytes_.back() != '\n') bytes_ += "\r\n";
    bytes_.append("[").append(section).append("]\r\n");
    bytes_.append(key).append("=").append(value).append("\r\n");
  } else if (auto k = s->second.keys.find(FoldIniName(key)); k != s->second.keys.end()) {
    std::string line = k->second.name + "=" + std::string(value);
    bytes_.replace(k->second.begin, k->second.end - k->second.begin, line);
  } else {
    std::string line = std::string(key) + "=" + std::string(value) + "\r\n";
    if (s->second.open_line) line.insert(0, "\r\n");
    bytes_.insert(s->second.append_at, line);
  }
  Index();
  return true;
}

void WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value) {
  // A missing file, or a missing directory on the way to it, starts out empty.
  Result<FileContent> read = ReadRegularFile(path);
  if (!read && read.Failure().code != ENOENT && read.Failure().code != ENOTDIR)
    ThrowWriteError(path);
  IniFile doc(read ? std::move(read.Value().bytes) : std::string());
  if (!doc.Set(section, key, value)) ThrowWriteError(path);
  ReplaceFile(path, doc.Bytes());
}

}  // namespace larvek
