// Checks the text utilities against what their header promises: cutting tokens agrees with
// counting and indexing them, upper case and transliteration keep the length and agree with
// each other letter by letter, PosFrom finds the first occurrence, ReplaceAll matches a plain
// left-to-right replacement.
//
// Input: byte 0 the separator, byte 1 PosFrom's start (signed), bytes 2-3 offset and length of
// the searched text within the subject, bytes 4-5 those of the replacement, byte 6 bit 0: the
// searched text goes upper case; the rest is the subject.
#include <cstddef>
#include <cstdint>
#include <string>

#include "commands/text_utils.h"
#include "fuzz_support.h"

namespace larvek::fuzz {
namespace {

std::string Slice(const std::string& s, uint8_t offset, uint8_t length) {
  return offset <= s.size() ? s.substr(offset, length) : std::string();
}

bool IsAsciiLetter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void CheckTokens(const std::string& s, char sep) {
  const std::string what =
      " for separator " + Printable(std::string(1, sep)) + " in " + Printable(s);
  const int count = TokenCount(s, sep);
  size_t separators = 0;
  for (char c : s) separators += c == sep;
  const int expected = s.empty() ? 0 : static_cast<int>(separators) + 1 - (s.back() == sep ? 1 : 0);
  FUZZ_REQUIRE(count == expected, "TokenCount " + std::to_string(count) + what);

  // Cutting `count` times empties the text, and each cut is the token of its index.
  std::string rest = s, joined;
  for (int i = 0; i < count; ++i) {
    FUZZ_REQUIRE(!rest.empty(), "text used up before the last cut" + what);
    const std::string token = CutToken(rest, sep);
    FUZZ_REQUIRE(token == TokenAt(s, sep, i),
                 "cut " + std::to_string(i) + " is not TokenAt" + what);
    FUZZ_REQUIRE(token.find(sep) == std::string::npos, "a token holds the separator" + what);
    joined += (i ? std::string(1, sep) : "") + token;
  }
  FUZZ_REQUIRE(rest.empty(), "text left after the counted cuts" + what);
  FUZZ_REQUIRE(CutToken(rest, sep).empty() && rest.empty(),
               "a cut of nothing gives something" + what);
  // The tokens joined give the text back, but for a final separator.
  FUZZ_REQUIRE(joined == s || joined + sep == s, "tokens do not join to the text" + what);
  for (int i : {-2, -1, count, count + 1, count + 7})
    FUZZ_REQUIRE(TokenAt(s, sep, i).empty(), "TokenAt " + std::to_string(i) + " not empty" + what);
}

void CheckLetters(const std::string& s) {
  const std::string upper = UpperText(s), plain = TranslitToAscii(s);
  FUZZ_REQUIRE(upper.size() == s.size() && plain.size() == s.size(), "length changes");
  FUZZ_REQUIRE(UpperText(upper) == upper, "UpperText is not idempotent for " + Printable(s));
  FUZZ_REQUIRE(TranslitToAscii(plain) == plain,
               "TranslitToAscii is not idempotent for " + Printable(s));
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = s[i], u = upper[i], t = plain[i];
    auto at = [&] { return " at byte " + Printable(std::string(1, s[i])); };
    if (c < 0x80) {
      FUZZ_REQUIRE(t == c, "transliteration changes ASCII" + at());
      FUZZ_REQUIRE(u == ((c >= 'a' && c <= 'z') ? c - 32 : c), "wrong ASCII upper case" + at());
      continue;
    }
    FUZZ_REQUIRE(t == c || IsAsciiLetter(t), "transliterates to a non-letter" + at());
    // Upper case and transliteration agree: a letter that becomes ASCII becomes the upper-case
    // ASCII letter once upper-cased first.
    if (t != c) {
      const unsigned char tu = TranslitToAscii(std::string(1, static_cast<char>(u)))[0];
      FUZZ_REQUIRE(tu == UpperText(std::string(1, static_cast<char>(t)))[0],
                   "upper case and transliteration disagree" + at());
    }
  }
}

void CheckSearch(const std::string& s, const std::string& sub, int start) {
  const std::string what =
      " for " + Printable(sub) + " in " + Printable(s) + " from " + std::to_string(start);
  const int pos = PosFrom(sub, s, start);
  if (sub.empty() || start < 1 || static_cast<size_t>(start) > s.size()) {
    FUZZ_REQUIRE(pos == 0, "PosFrom finds something outside its range" + what);
    return;
  }
  int expected = 0;
  for (size_t i = start - 1; expected == 0 && i + sub.size() <= s.size(); ++i)
    if (s.compare(i, sub.size(), sub) == 0) expected = static_cast<int>(i) + 1;
  FUZZ_REQUIRE(pos == expected,
               "PosFrom " + std::to_string(pos) + " expected " + std::to_string(expected) + what);
}

void CheckReplace(const std::string& s, const std::string& find, const std::string& repl) {
  const std::string what =
      " replacing " + Printable(find) + " by " + Printable(repl) + " in " + Printable(s);
  const std::string got = ReplaceAll(s, find, repl);
  if (find.empty()) {
    FUZZ_REQUIRE(got == s, "an empty search text changes the text" + what);
    return;
  }
  // Left to right, matched by upper case, never looking at replaced text again.
  const std::string upper_find = UpperText(find), upper_s = UpperText(s);
  std::string expected;
  size_t i = 0;
  while (i < s.size()) {
    if (upper_s.compare(i, find.size(), upper_find) == 0) {
      expected += repl;
      i += find.size();
    } else {
      expected += s[i++];
    }
  }
  FUZZ_REQUIRE(got == expected, "ReplaceAll gives " + Printable(got) + what);
}

}  // namespace
}  // namespace larvek::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larvek;
  using namespace larvek::fuzz;
  // Checking each token by index is quadratic: keep the subject short.
  if (size < 7 || size > 1024) return 0;
  const char sep = static_cast<char>(data[0]);
  const int start = static_cast<int8_t>(data[1]);
  const std::string s(reinterpret_cast<const char*>(data) + 7, size - 7);
  std::string find = Slice(s, data[2], data[3]);
  if (data[6] & 1) find = UpperText(find);
  const std::string repl = Slice(s, data[4], data[5]);

  CheckTokens(s, sep);
  CheckLetters(s);
  CheckSearch(s, find, start);
  CheckSearch(s, find, start + 256);
  CheckReplace(s, find, repl);
  return 0;
}
