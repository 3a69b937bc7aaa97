#include "base/codepage.h"

#include <gtest/gtest.h>

namespace larvek {
namespace {

TEST(Codepage, UnconvertibleCharactersBecomeOneQuestionMarkEach) {
  struct Case {
    const char* utf8;
    const char* cp1250;
  } cases[] = {
      {"\xC5\xA0roub", "\x8Aroub"},   // Šroub
      {"\xE4\xB8\xAD", "?"},          // a CJK character: three bytes, one "?"
      {"a\xF0\x9F\x98\x80z", "a?z"},  // a four-byte emoji
      {"\xEF\xBF\xBD", "?"},          // U+FFFD, the stand-in for unassigned bytes
      {"a\xFF\xC3z", "a??z"},         // stray bytes count one each
      {"\xE4\xB8", "?"},              // a character cut short at the end
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToCp1250(c.utf8), c.cp1250) << c.utf8;
}

TEST(Codepage, AssignedBytesRoundTripAndUnassignedOnesComeBackAsQuestionMarks) {
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const bool unassigned = b == 0x81 || b == 0x83 || b == 0x88 || b == 0x90 || b == 0x98;
    EXPECT_EQ(Utf8ToCp1250(Cp1250ToUtf8(byte)), unassigned ? "?" : byte) << b;
  }
}

// A line converts as its bytes do one by one: letters, NUL, and unassigned bytes as U+FFFD.
TEST(Codepage, ALineConvertsByteByByte) {
  const std::string line("Na\xE8teno z \x81'\x8A\0x'\r", 17);
  EXPECT_EQ(Cp1250ToUtf8(line),
            std::string("Na\xC4\x8Dteno z \xEF\xBF\xBD'\xC5\xA0\0x'\r", 21));
  EXPECT_EQ(Cp1250ToUtf8(""), "");
}

}  // namespace
}  // namespace larvek
