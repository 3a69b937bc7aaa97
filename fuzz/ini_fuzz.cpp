// Checks the INI reader and writer and the configuration store on any bytes: values are never
// longer than kIniMaxValue, reads agree with each other and with the store reading the same
// file, a write is read back as written and touches no other line or key, and the written
// bytes parse to the same document.
//
// Input: the document, optionally followed by NUL and writes separated by NUL, each
// "section<US>key<US>value" (US = byte 0x1F). Every key the document names is read in every
// section it names; without writes, each of the first named keys is set once.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "config/ini_file.h"
#include "config/config_store.h"
#include "fuzz_support.h"

namespace larvek::fuzz {
namespace {

struct Write {
  std::string section, key, value;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Section and key names the document mentions, found line by line.
void CollectNames(std::string_view doc, std::vector<std::string>& sections,
                  std::vector<std::string>& keys) {
  sections.push_back("");
  sections.push_back("Tsrvlarvek");
  size_t pos = 0;
  while (pos < doc.size() && sections.size() + keys.size() < 32) {
    size_t nl = doc.find('\n', pos);
    std::string_view line = Trimmed(doc.substr(pos, nl == std::string_view::npos ? nl : nl - pos));
    pos = nl == std::string_view::npos ? doc.size() : nl + 1;
    if (line.starts_with("[") && line.find(']') != std::string_view::npos)
      sections.emplace_back(line.substr(1, line.rfind(']') - 1));
    else if (line.find('=') != std::string_view::npos)
      keys.emplace_back(line.substr(0, line.find('=')));
  }
}

// What a read returns for a value written as `value`: trimmed, one pair of quotes off, cut.
std::string ReadBackOf(std::string_view value) {
  value = Trimmed(value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value.substr(0, kIniMaxValue));
}

// The written bytes differ from the old ones in one stretch: inside one line, or new lines.
void CheckOneLineChanged(const std::string& before, const std::string& after,
                         const std::string& what) {
  size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
    ++prefix;
  size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
    ++suffix;
  const std::string_view removed =
      std::string_view(before).substr(prefix, before.size() - prefix - suffix);
  const std::string_view inserted =
      std::string_view(after).substr(prefix, after.size() - prefix - suffix);
  size_t new_lines = 0;
  for (char c : inserted) new_lines += c == '\n';
  FUZZ_REQUIRE(removed.find('\n') == std::string_view::npos,
               "a write removes a line break" + what + ": " + Printable(removed));
  FUZZ_REQUIRE(new_lines <= 3, "a write adds more than a section and a key" + what);
}

void CheckReads(const IniFile& doc, const std::vector<std::string>& sections,
                const std::vector<std::string>& keys, const std::string& what) {
  static const std::string kDefault = "\x01-default-";
  for (const std::string& section : sections) {
    for (const std::string& key : keys) {
      const std::optional<std::string> value = doc.Find(section, key);
      auto at = [&] { return " reading [" + Printable(section) + "] " + Printable(key) + what; };
      FUZZ_REQUIRE(doc.ReadText(section, key, kDefault) == value.value_or(kDefault),
                   "ReadText differs from Find" + at());
      const int32_t number = doc.ReadNumber(section, key, -7);
      if (value) {
        FUZZ_REQUIRE(value->size() <= kIniMaxValue, "value longer than the limit" + at());
        FUZZ_REQUIRE(number == ParseIniInteger(*value).value_or(-7), "ReadNumber differs" + at());
      } else {
        FUZZ_REQUIRE(number == -7, "ReadNumber without a key" + at());
      }
    }
  }
}

void CheckWrite(IniFile& doc, const Write& w, const std::vector<std::string>& sections,
                const std::vector<std::string>& keys, const std::string& what) {
  const std::string before = doc.Bytes();
  const std::string at = " writing [" + Printable(w.section) + "] " + Printable(w.key) + "=" +
                         Printable(w.value) + what;
  // Names are trimmed first; what remains must hold no line break, "]" or "=".
  const bool forbidden = Trimmed(w.section).find_first_of("\r\n]") != std::string::npos ||
                         Trimmed(w.key).find_first_of("\r\n=") != std::string::npos ||
                         w.value.find_first_of("\r\n") != std::string::npos;
  const bool written = doc.Set(w.section, w.key, w.value);
  if (!written || forbidden) {
    FUZZ_REQUIRE(!written, "Set accepts a name or value it must refuse" + at);
    FUZZ_REQUIRE(doc.Bytes() == before, "a refused Set changes the bytes" + at);
    return;
  }
  CheckOneLineChanged(before, doc.Bytes(), at);
  FUZZ_REQUIRE(doc.Find(w.section, w.key) == ReadBackOf(w.value),
               "the value does not read back" + at);

  // The other keys keep their values, and the bytes parse to the same document.
  const IniFile old_doc(before), reparsed(doc.Bytes());
  const std::string folded_section = FoldIniName(Trimmed(w.section));
  const std::string folded_key = FoldIniName(Trimmed(w.key));
  for (const std::string& section : sections) {
    for (const std::string& key : keys) {
      const bool same_key = FoldIniName(Trimmed(section)) == folded_section &&
                            FoldIniName(Trimmed(key)) == folded_key;
      if (!same_key)
        FUZZ_REQUIRE(doc.Find(section, key) == old_doc.Find(section, key),
                     "another key changes: [" + Printable(section) + "] " + Printable(key) + at);
      FUZZ_REQUIRE(reparsed.Find(section, key) == doc.Find(section, key),
                   "the written bytes parse differently: [" + Printable(section) + "] " +
                       Printable(key) + at);
    }
  }
}

// The store reads the file as the document does, and writes the file as Set does.
void CheckStore(const std::string& bytes, const std::vector<std::string>& sections,
                const std::vector<std::string>& keys, const std::vector<Write>& writes,
                const std::string& what) {
  const std::string path = ScratchDir() + "store.ini";
  WriteWholeFile(path, bytes);
  ConfigStore store(path);
  IniFile doc(bytes);
  // A file this fresh is parsed again on every read: a few names are enough.
  for (size_t s = 0; s < sections.size() && s < 6; ++s) {
    const std::string& section = sections[s];
    const std::string effective = section.empty() ? kWindowSection : section;
    for (size_t k = 0; k < keys.size() && k < 6; ++k) {
      const std::string& key = keys[k];
      FUZZ_REQUIRE(
          store.ReadText(section, key, "-") == doc.ReadText(effective, key, "-"),
          "the store reads [" + Printable(section) + "] " + Printable(key) + " differently" + what);
      FUZZ_REQUIRE(store.ReadNumber(section, key, -7) == doc.ReadNumber(effective, key, -7),
                   "the store reads a number differently" + what);
    }
  }
  for (const Write& w : writes) {
    const std::string effective = w.section.empty() ? kWindowSection : w.section;
    const bool written = doc.Set(effective, w.key, w.value);
    bool thrown = false;
    try {
      store.WriteText(w.section, w.key, w.value);
    } catch (const Error& e) {
      thrown = true;
      FUZZ_REQUIRE(e.ClassName() == kIniFileError, "the store throws " + e.ClassName() + what);
    }
    FUZZ_REQUIRE(thrown != written, "the store and the document disagree on a write" + what);
    FUZZ_REQUIRE(ReadWholeFile(path) == doc.Bytes(),
                 "the store writes other bytes than Set" + what);
    if (written)
      FUZZ_REQUIRE(store.ReadText(w.section, w.key, "-") == doc.ReadText(effective, w.key, "-"),
                   "the store does not read its write back" + what);
  }
}

}  // namespace
}  // namespace larvek::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larvek;
  using namespace larvek::fuzz;
  if (size > 8192) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t doc_end = input.find('\0');
  const std::string bytes(input.substr(0, doc_end));

  std::vector<std::string> sections, keys;
  CollectNames(bytes, sections, keys);
  std::vector<Write> writes;
  if (doc_end != std::string_view::npos) {
    size_t pos = doc_end + 1;
    while (pos <= input.size() && writes.size() < 8) {
      size_t end = input.find('\0', pos);
      if (end == std::string_view::npos) end = input.size();
      const std::string_view op = input.substr(pos, end - pos);
      const size_t us1 = op.find('\x1F');
      const size_t us2 = us1 == std::string_view::npos ? us1 : op.find('\x1F', us1 + 1);
      Write w;
      w.section = std::string(op.substr(0, us1));
      if (us1 != std::string_view::npos)
        w.key =
            std::string(op.substr(us1 + 1, us2 == std::string_view::npos ? us2 : us2 - us1 - 1));
      if (us2 != std::string_view::npos) w.value = std::string(op.substr(us2 + 1));
      writes.push_back(w);
      keys.push_back(w.key);
      sections.push_back(w.section);
      pos = end + 1;
    }
  } else {
    for (size_t i = 0; i < keys.size() && i < 3; ++i)
      writes.push_back({sections[std::min(sections.size() - 1, i + 2)], keys[i], "v" + keys[i]});
  }
  const std::string what = " in " + Printable(bytes.size() > 300 ? bytes.substr(0, 300) : bytes);

  IniFile doc(bytes);
  CheckReads(doc, sections, keys, what);
  for (const Write& w : writes) {
    CheckWrite(doc, w, sections, keys, what);
    CheckReads(doc, sections, keys, what);
  }
  CheckStore(bytes, sections, keys, writes, what);
  return 0;
}
