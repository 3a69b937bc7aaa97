// Checks the text utilities against what their header promises: cutting tokens agrees with
// counting and indexing them, upper case and transliteration keep the length and agree with
// each other letter by letter.
//
// Input: byte 0 the separator; the rest is the subject.
#include <cstddef>
#include <cstdint>
#include <string>

#include "commands/text_utils.h"
#include "cut_token.h"
#include "fuzz_support.h"

namespace larvek::fuzz {
namespace {

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

}  // namespace
}  // namespace larvek::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larvek;
  using namespace larvek::fuzz;
  // Checking each token by index is quadratic: keep the subject short.
  if (size < 1 || size > 1024) return 0;
  const char sep = static_cast<char>(data[0]);
  const std::string s(reinterpret_cast<const char*>(data) + 1, size - 1);

  CheckTokens(s, sep);
  CheckLetters(s);
  return 0;
}
