#include "commands/text_utils.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/error.h"

namespace larvek {
namespace {

struct TokenCase {
  std::string s;
  int count;
  std::string at0, at1, at2;
};

TEST(TokensTest, CountAndPickFollowTheProtocolTable) {
  const std::vector<TokenCase> cases = {
      {"", 0, "", "", ""},
      {"a", 1, "a", "", ""},
      {";", 1, "", "", ""},
      {"a;", 1, "a", "", ""},
      {";a", 2, "", "a", ""},
      {";;", 2, "", "", ""},
      {"a;b", 2, "a", "b", ""},
      {"a;b;", 2, "a", "b", ""},
      {"a;;b", 3, "a", "", "b"},
      {"a;;bc", 3, "a", "", "bc"},
      {"x", 1, "x", "", ""},
      {";;;", 3, "", "", ""},
      {"ab;cd", 2, "ab", "cd", ""},
      {";x;", 2, "", "x", ""},
      {"x;;", 2, "x", "", ""},
      {"\xE8;\x9A;", 2, "\xE8", "\x9A", ""},
      {"a;b;c;d;e", 5, "a", "b", "c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("s='" + c.s + "'");
    EXPECT_EQ(TokenCount(c.s, ';'), c.count);
    EXPECT_EQ(TokenAt(c.s, ';', 0), c.at0);
    EXPECT_EQ(TokenAt(c.s, ';', 1), c.at1);
    EXPECT_EQ(TokenAt(c.s, ';', 2), c.at2);
    // Request parsing relies on the token just past the count being empty.
    EXPECT_EQ(TokenAt(c.s, ';', c.count), "");
    EXPECT_EQ(TokenAt(c.s, ';', -1), "");
  }
  EXPECT_EQ(TokenAt("a;b", ';', 5), "");
}

TEST(TokensTest, SeparatorBeyondPosition65535IsARangeError) {
  const std::string at_limit = std::string(65534, 'x') + ";tail";  // separator at 65535
  EXPECT_EQ(TokenCount(at_limit, ';'), 2);
  EXPECT_EQ(TokenAt(at_limit, ';', 0).size(), 65534u);
  EXPECT_EQ(TokenAt(at_limit, ';', 1), "tail");

  const std::string past_limit = std::string(65535, 'x') + ";tail";  // separator at 65536
  try {
    TokenCount(past_limit, ';');
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.ClassName().c_str(), kRangeError);
    EXPECT_EQ(e.Message(), "Range check error");
  }

  // Each distance counts from the previous separator, not from the start of the whole.
  const std::string far_second = "a;" + std::string(65535, 'x') + ";";
  EXPECT_THROW(TokenCount(far_second, ';'), Error);
  const std::string near_gaps = "a;" + std::string(65534, 'x') + ";" + std::string(65534, 'y');
  EXPECT_EQ(TokenCount(near_gaps, ';'), 3);

  // No limit without a far separator, and none at all for TokenAt.
  const std::string no_separator(200000, 'x');
  EXPECT_EQ(TokenCount(no_separator, ';'), 1);
  EXPECT_EQ(TokenAt(no_separator, ';', 0).size(), 200000u);
  EXPECT_EQ(TokenAt(past_limit, ';', 1), "tail");
}

TEST(UpperTextTest, MapsEveryWindows1250LowerCaseLetterAndNothingElse) {
  std::map<unsigned char, unsigned char> expected;
  for (int b = 'a'; b <= 'z'; ++b) expected[b] = b - 0x20;
  for (auto [lo, up] : std::vector<std::pair<int, int>>{{0x9A, 0x8A},
                                                        {0x9C, 0x8C},
                                                        {0x9D, 0x8D},
                                                        {0x9E, 0x8E},
                                                        {0x9F, 0x8F},
                                                        {0xB3, 0xA3},
                                                        {0xB9, 0xA5},
                                                        {0xBA, 0xAA},
                                                        {0xBE, 0xBC},
                                                        {0xBF, 0xAF}})
    expected[lo] = up;
  for (int b = 0xE0; b <= 0xFE; ++b)
    if (b != 0xF7) expected[b] = b - 0x20;

  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string upper = UpperText(all);
  ASSERT_EQ(upper.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    auto it = expected.find(b);
    int want = it == expected.end() ? b : it->second;
    EXPECT_EQ(static_cast<unsigned char>(upper[b]), want) << "byte " << b;
  }
  // Sharp s, micro sign and the division sign have no partner.
  EXPECT_EQ(UpperText("\xDF\xB5\xF7"), "\xDF\xB5\xF7");
  EXPECT_EQ(UpperText("\x9Aroub \xE8\x61j"), "\x8AROUB \xC8\x41J");
}

TEST(TranslitTest, ReplacesAccentedLettersByAsciiLetters) {
  // "Příliš žluťoučký kůň" and "Łąka" in Windows-1250.
  EXPECT_EQ(TranslitToAscii("P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2"),
            "Prilis zlutoucky kun");
  EXPECT_EQ(TranslitToAscii("\xA3\xB9ka"), "Laka");
  EXPECT_EQ(TranslitToAscii("\xB3"), "\xB3");  // l-stroke stays although L-stroke does not
  EXPECT_EQ(TranslitToAscii(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(TranslitTest, TableMapsExactlyTheSeventyNineLettersAndKeepsTheRest) {
  const std::map<char, std::string> groups = {
      {'A', "\xA5\xC1\xC2\xC3\xC4"},
      {'a', "\xB9\xE1\xE2\xE3\xE4"},
      {'C', "\xC6\xC7\xC8"},
      {'c', "\xE6\xE7\xE8"},
      {'D', "\xCF\xD0"},
      {'d', "\xEF\xF0"},
      {'E', "\xC9\xCA\xCB\xCC"},
      {'e', "\xE9\xEA\xEB\xEC"},
      {'I', "\xCD\xCE"},
      {'i', "\xED\xEE"},
      {'L', "\xA3\xBC\xC5"},
      {'l', "\xBE\xE5"},
      {'N', "\xD1\xD2"},
      {'n', "\xF1\xF2"},
      {'O', "\xD3\xD4\xD5\xD6"},
      {'o', "\xF3\xF4\xF5\xF6"},
      {'R', "\xC0\xD8"},
      {'r', "\xE0\xF8"},
      {'S', "\x8A\x8C\xAA"},
      {'s', "\x9A\x9C\xBA"},
      {'T', "\x8D\xDE"},
      {'t', "\x9D\xFE"},
      {'U', "\xD9\xDA\xDB\xDC"},
      {'u', "\xF9\xFA\xFB\xFC"},
      {'Y', "\xDD"},
      {'y', "\xFD"},
      {'Z', "\x8E\x8F\xAF"},
      {'z', "\x9E\x9F\xBF"},
  };
  unsigned char expected[128];
  for (int i = 0; i < 128; ++i) expected[i] = static_cast<unsigned char>(0x80 + i);
  int mapped = 0;
  for (const auto& [letter, bytes] : groups)
    for (char b : bytes) {
      expected[static_cast<unsigned char>(b) - 0x80] = static_cast<unsigned char>(letter);
      ++mapped;
    }
  ASSERT_EQ(mapped, 79);
  for (int i = 0; i < 128; ++i) EXPECT_EQ(TranslitTable[i], expected[i]) << "byte " << 0x80 + i;

  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string out = TranslitToAscii(all);
  ASSERT_EQ(out.size(), 256u);
  for (int b = 0; b < 128; ++b) EXPECT_EQ(out[b], static_cast<char>(b));
  for (int b = 128; b < 256; ++b) EXPECT_EQ(static_cast<unsigned char>(out[b]), expected[b - 128]);
}

}  // namespace
}  // namespace larvek
