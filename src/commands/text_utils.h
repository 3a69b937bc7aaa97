// Text functions on 8-bit Windows-1250 strings that request parsing, reply building and the
// log rest on. Their behaviour at the edges (empty texts, separators at the ends, indexes past
// the last token) is part of the terminal protocol. Token indexes are 0-based.
#pragma once

#include <string>
#include <string_view>

namespace larvek {

// The number of tokens in `s`: 0 for the empty text, otherwise the number of separators plus
// one, less one when `s` ends with a separator. A separator's distance from the previous one
// (or from the start) is held in 16 bits: when a separator lies beyond position 65535 counted
// from there, throws Error::Range() ("Range check error").
int TokenCount(const std::string& s, char sep);

// The text between separator `index` and separator `index` + 1 (token 0 starts at the start,
// the last ends at the end). Empty when `s` has fewer than `index` separators or `index` < 0.
// TokenAt(s, sep, TokenCount(s, sep)) is always empty. Never throws.
std::string TokenAt(const std::string& s, char sep, int index);

// Upper-case copy by the Windows-1250 letter pairs; other bytes stay. Same length as `s`.
std::string UpperText(const std::string& s);

// Replacement for each byte 0x80..0xFF (index byte - 0x80): accented Latin letters become
// their plain ASCII letter, every other byte maps to itself.
extern const unsigned char TranslitTable[128];

// `s` with bytes 0x80..0xFF replaced through TranslitTable; same length as `s`. Taken by value,
// so that a caller done with its text hands it over instead of copying it.
std::string TranslitToAscii(std::string s);

// The longest part of a long text (a reception, a reply) that its log line shows: a terminal
// must not fill the disk through the log.
inline constexpr size_t kMaxLoggedBytes = 1000;
// The first kMaxLoggedBytes bytes of `text`.
std::string_view LoggedPart(std::string_view text);
// What follows the logged part of a text of `length` bytes: "" when it was logged whole,
// otherwise " (zkráceno, celkem <length> bajtů)".
std::string CutNote(size_t length);

}  // namespace larvek
