#include "commands/text_utils.h"

#include "base/error.h"

namespace larvek {
namespace {

// A separator position must fit in 16 bits.
constexpr std::string::size_type kMaxSeparatorPos = 65535;

// Upper-case partner of every byte; built once from the Windows-1250 letter pairs.
struct UpperTable {
  unsigned char map[256];
  UpperTable() {
    for (int b = 0; b < 256; ++b) map[b] = static_cast<unsigned char>(b);
    for (int b = 'a'; b <= 'z'; ++b) map[b] = static_cast<unsigned char>(b - 0x20);
    // Lower-case letters whose partner is not 0x20 below them.
    static const unsigned char kPairs[][2] = {
        {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9D, 0x8D}, {0x9E, 0x8E}, {0x9F, 0x8F},
        {0xB3, 0xA3}, {0xB9, 0xA5}, {0xBA, 0xAA}, {0xBE, 0xBC}, {0xBF, 0xAF},
    };
    for (const auto& p : kPairs) map[p[0]] = p[1];
    // 0xE0..0xFE mirror 0xC0..0xDE, except the division sign 0xF7. 0xDF (sharp s) and
    // 0xB5 (micro sign) have no upper-case partner in the code page.
    for (int b = 0xE0; b <= 0xFE; ++b)
      if (b != 0xF7) map[b] = static_cast<unsigned char>(b - 0x20);
  }
};

const UpperTable kUpper;

}  // namespace

const unsigned char TranslitTable[128] = {
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,  // 0x80
    0x88, 0x89, 'S',  0x8B, 'S',  'T',  'Z',  'Z',   // 0x88
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,  // 0x90
    0x98, 0x99, 's',  0x9B, 's',  't',  'z',  'z',   // 0x98
    0xA0, 0xA1, 0xA2, 'L',  0xA4, 'A',  0xA6, 0xA7,  // 0xA0
    0xA8, 0xA9, 'S',  0xAB, 0xAC, 0xAD, 0xAE, 'Z',   // 0xA8
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,  // 0xB0
    0xB8, 'a',  's',  0xBB, 'L',  0xBD, 'l',  'z',   // 0xB8
    'R',  'A',  'A',  'A',  'A',  'L',  'C',  'C',   // 0xC0
    'C',  'E',  'E',  'E',  'E',  'I',  'I',  'D',   // 0xC8
    'D',  'N',  'N',  'O',  'O',  'O',  'O',  0xD7,  // 0xD0
    'R',  'U',  'U',  'U',  'U',  'Y',  'T',  0xDF,  // 0xD8
    'r',  'a',  'a',  'a',  'a',  'l',  'c',  'c',   // 0xE0
    'c',  'e',  'e',  'e',  'e',  'i',  'i',  'd',   // 0xE8
    'd',  'n',  'n',  'o',  'o',  'o',  'o',  0xF7,  // 0xF0
    'r',  'u',  'u',  'u',  'u',  'y',  't',  0xFF,  // 0xF8
};

// Walks the separators once instead of cutting a copy over and over; the distance is
// measured from the start of what such a cut would leave.
int TokenCount(const std::string& s, char sep) {
  int count = 0;
  std::string::size_type start = 0;
  while (start < s.size()) {
    std::string::size_type i = s.find(sep, start);
    ++count;
    if (i == std::string::npos) break;
    if (i - start + 1 > kMaxSeparatorPos) ThrowRangeError();
    start = i + 1;
  }
  return count;
}

std::string TokenAt(const std::string& s, char sep, int index) {
  if (index < 0) return std::string();
  std::string::size_type start = 0;
  for (int k = 0; k < index; ++k) {
    start = s.find(sep, start);
    if (start == std::string::npos) return std::string();
    ++start;
  }
  std::string::size_type end = s.find(sep, start);
  return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string UpperText(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(kUpper.map[static_cast<unsigned char>(c)]);
  return out;
}

std::string TranslitToAscii(std::string s) {
  for (char& c : s) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x80) c = static_cast<char>(TranslitTable[b - 0x80]);
  }
  return s;
}

std::string_view LoggedPart(std::string_view text) {
  return text.substr(0, kMaxLoggedBytes);
}

std::string CutNote(size_t length) {
  if (length <= kMaxLoggedBytes) return "";
  return " (zkr\xE1"
         "ceno, celkem " +
         std::to_string(length) + " bajt\xF9)";
}

}  // namespace larvek
