// Checks the day log's loading of any file and the code page conversions its lines go through:
// a loaded file splits into the lines a CR LF / CR / LF reading gives, its end into the last
// lines of them, and a line logged after it is a line of its own when loaded again; every byte
// Windows-1250 assigns survives the trip to UTF-8 and back while the five unassigned ones come back
// as one "?" each; UTF-8 to Windows-1250 gives one byte per character, the character itself where
// the code page has it, else "?".
//
// Input: the bytes of the day's log file; the same bytes are also converted as UTF-8.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/codepage.h"
#include "fuzz_support.h"
#include "server/activity_log.h"
#include "server/log_view.h"

namespace larvek::fuzz {
namespace {

class MemoryLogView : public LogView {
 public:
  explicit MemoryLogView(size_t kept = 1000000) : kept_(kept) {}
  void AppendLine(const std::string& line, LogLineKind) override { lines_.push_back(line); }
  void ReplaceLines(const std::vector<std::string>& lines) override { lines_ = lines; }
  size_t KeptLines() const override { return kept_; }
  void ScrollToEnd() override {}
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  size_t kept_;
  std::vector<std::string> lines_;
};

// Lines as a reader of the file sees them: each ends at CR LF, CR or LF.
std::vector<std::string> ExpectedLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string line;
  bool open = false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      open = false;
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      line += c;
      open = true;
    }
  }
  if (open) lines.push_back(line);
  return lines;
}

bool IsUnassigned(unsigned char c) {
  return c == 0x81 || c == 0x83 || c == 0x88 || c == 0x90 || c == 0x98;
}

// Splits well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF) into its
// characters; false for anything else.
bool SplitUtf8(std::string_view text, std::vector<std::string_view>& chars) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = text[i];
    size_t n;
    uint32_t cp;
    if (lead < 0x80) {
      n = 1, cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      n = 2, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      n = 3, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      n = 4, cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const unsigned char c = text[i + k];
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    chars.push_back(text.substr(i, n));
    i += n;
  }
  return true;
}

// The UTF-8 form of each byte of the code page.
const std::vector<std::string>& CodePageCharacters() {
  static const std::vector<std::string> table = [] {
    std::vector<std::string> t;
    for (int b = 0; b < 256; ++b) t.push_back(Cp1250ToUtf8(std::string(1, static_cast<char>(b))));
    return t;
  }();
  return table;
}

void CheckCodePage(const std::string& bytes) {
  const std::string what = " for " + Printable(bytes);
  const std::string utf8 = Cp1250ToUtf8(bytes);
  std::vector<std::string_view> chars;
  FUZZ_REQUIRE(SplitUtf8(utf8, chars), "Cp1250ToUtf8 gives invalid UTF-8" + what);
  FUZZ_REQUIRE(chars.size() == bytes.size(), "Cp1250ToUtf8 is not one character per byte" + what);
  std::string expected = bytes;
  for (char& c : expected)
    if (IsUnassigned(c)) c = '?';
  FUZZ_REQUIRE(Utf8ToCp1250(utf8) == expected, "the round trip changes bytes" + what);
}

void CheckFromUtf8(const std::string& text) {
  const std::string what = " for " + Printable(text);
  const std::string out = Utf8ToCp1250(text);
  FUZZ_REQUIRE(out.size() <= text.size(), "Utf8ToCp1250 gives more bytes than it got" + what);
  std::vector<std::string_view> chars;
  if (!SplitUtf8(text, chars)) return;
  FUZZ_REQUIRE(out.size() == chars.size(), "not one byte per character" + what);
  for (size_t i = 0; i < chars.size(); ++i) {
    const std::string& back = CodePageCharacters()[static_cast<unsigned char>(out[i])];
    if (out[i] == '?' && chars[i] != "?") {
      // Only a character the code page lacks becomes "?".
      for (int b = 0; b < 256; ++b)
        FUZZ_REQUIRE(
            IsUnassigned(static_cast<unsigned char>(b)) || CodePageCharacters()[b] != chars[i],
            "a character of the code page becomes ?: " + Printable(chars[i]) + what);
    } else {
      FUZZ_REQUIRE(back == chars[i],
                   "character " + Printable(chars[i]) + " becomes " + Printable(back) + what);
    }
  }
}

void CheckDayLog(const std::string& bytes) {
  static const ManualClock clock(std::chrono::local_days{std::chrono::year{2024} / 3 / 1} +
                                 std::chrono::hours{12});
  SetClockForTesting(&clock);
  const std::string dir = ScratchDir() + "prog/";
  const std::string path = DailyLogPath(dir, DateOf(clock.Now()));
  WriteWholeFile(path, bytes);

  const std::string what = " loading " + Printable(bytes);
  MemoryLogView view;
  ActivityLog log(view, dir);
  log.Load();
  const std::vector<std::string> lines = view.Lines();
  FUZZ_REQUIRE(lines == ExpectedLines(bytes), "lines differ from a CR LF / CR / LF split" + what);

  for (size_t kept : {size_t{1}, size_t{2}, size_t{5}}) {
    MemoryLogView tail(kept);
    ActivityLog tail_log(tail, dir);
    tail_log.Load();
    const size_t n = std::min(kept, lines.size());
    FUZZ_REQUIRE(tail.Lines() == std::vector<std::string>(lines.end() - n, lines.end()),
                 "the end of the file loads other lines than the last ones" + what);
  }

  log.AddLogLine("x");
  std::vector<std::string> with_new = lines;
  with_new.push_back("12:00:00  x");
  MemoryLogView again;
  ActivityLog reloaded(again, dir);
  reloaded.Load();
  FUZZ_REQUIRE(again.Lines() == with_new, "a logged line is not a line of its own" + what);
  for (const std::string& line : lines) CheckCodePage(line);
}

}  // namespace
}  // namespace larvek::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larvek::fuzz;
  if (size > 4096) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckDayLog(bytes);
  CheckCodePage(bytes);
  CheckFromUtf8(bytes);
  return 0;
}
