// Small operations on 8-bit texts that several layers need: trimming, splitting into lines,
// comparing names without regard to ASCII letter case, reading hexadecimal digits.
//
// Two sets of blanks are in use and they are not interchangeable: the database link, the SQL
// tokenizer and the port text take every byte up to and including the space as blank (control
// characters included), while the INI reader takes only the six ASCII white-space characters.
// A file written by hand may hold other control bytes around a value, and either reading is
// the one its callers have always had.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larvek {

// True for the bytes 0x00..0x20: the space and every control character below it.
constexpr bool IsSpaceOrControl(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

// True for space, tab, LF, vertical tab, form feed and CR.
constexpr bool IsAsciiWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of a hexadecimal digit (0-9, a-f, A-F); -1 for any other byte.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `s` without the bytes 0x00..0x20 at either end.
std::string_view TrimSpaceAndControls(std::string_view s);
// `s` without ASCII white space (IsAsciiWhitespace) at either end.
std::string_view TrimAsciiWhitespace(std::string_view s);

// The lines of `text`. A line ends at CR LF, at a lone CR or at a lone LF; the text after the
// last line end is one more line when it is not empty. "" gives no line, "\n" one empty line.
std::vector<std::string> SplitLines(std::string_view text);

// True when `a` and `b` differ at most in the case of ASCII letters; other bytes must match.
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace larvek
