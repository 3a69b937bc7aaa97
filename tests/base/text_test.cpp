#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larvek {
namespace {

// The two trims differ exactly on the control bytes that are not ASCII white space.
TEST(TextTest, TrimsDropTheirOwnBlanksAtBothEndsOnly) {
  struct Case {
    std::string text;
    std::string space_and_controls;
    std::string ascii_whitespace;
  } cases[] = {
      {"", "", ""},
      {"   ", "", ""},
      {" \t\r\n\v\fx y\f\v\n\r\t ", "x y", "x y"},
      {"x", "x", "x"},
      {std::string("\0\x01x\x1F", 4), "x", std::string("\0\x01x\x1F", 4)},
      {"\x1B[x]\x7F", "[x]\x7F", "\x1B[x]\x7F"},  // DEL is not a blank for either
      {"\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0"},    // nor is the no-break space of the code page
      {"a \x01 b", "a \x01 b", "a \x01 b"},       // blanks inside stay
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimSpaceAndControls(c.text), c.space_and_controls) << c.text;
    EXPECT_EQ(TrimAsciiWhitespace(c.text), c.ascii_whitespace) << c.text;
  }
}

TEST(TextTest, BlankPredicatesCoverTheirBytesAndNoOthers) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    EXPECT_EQ(IsSpaceOrControl(c), b <= 0x20) << b;
    const bool ascii_space = b == ' ' || (b >= '\t' && b <= '\r');
    EXPECT_EQ(IsAsciiWhitespace(c), ascii_space) << b;
  }
}

// The INI numbers and the server's integer texts read their hexadecimal digits through it.
TEST(TextTest, HexDigitValueReadsTheTwentyTwoDigitsOnly) {
  const std::string digits = "0123456789abcdef";
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const char lower = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    const size_t at = digits.find(lower);
    EXPECT_EQ(HexDigitValue(c), at != std::string::npos ? static_cast<int>(at) : -1) << b;
  }
}

TEST(TextTest, SplitLinesEndsLinesAtCrLfLoneCrAndLoneLf) {
  using Lines = std::vector<std::string>;
  struct Case {
    std::string text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"\n", {""}},
      {"\r\n", {""}},
      {"\r", {""}},
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\n\rb", {"a", "", "b"}},  // LF CR is two line ends
      {"a\r\r\n", {"a", ""}},
      {"a\rb\r", {"a", "b"}},
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.text;
}

TEST(TextTest, EqualIgnoringAsciiCaseFoldsOnlyAsciiLetters) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"", "", true},           {"Name", "nAME", true}, {"a_1", "A_1", true},
      {"ab", "abc", false},     {"@", "`", false},  // the bytes just before 'A' and 'a'
      {"[", "{", false},                            // and just after 'Z' and 'z'
      {"\x8A", "\x9A", false},                      // Š and š are not ASCII letters
      {"\xC1", "\xE1", false},                      // nor Á and á
      {"x\xC1", "X\xC1", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualIgnoringAsciiCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(EqualIgnoringAsciiCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
  }
}

}  // namespace
}  // namespace larvek
