// Text functions on 8-bit Windows-1250 strings that request parsing, template filling and
// reply building rest on. Their behaviour at the edges (empty texts, separators at the ends,
// indexes past the last token) is part of the terminal protocol. Positions are 1-based with
// 0 meaning "none"; token indexes are 0-based.
#pragma once

#include <string>
#include <string_view>

namespace larvek {

// Removes the first token and its separator from `s` and returns the token; when `s` holds
// no separator the token is all of `s` and `s` becomes empty. The separator's position is
// held in 16 bits: when the first separator lies beyond position 65535, throws
// Error::Range() ("Range check error") and leaves `s` unchanged.
std::string CutToken(std::string& s, char sep);

// The number of cuts CutToken needs to empty `s`: 0 for the empty text, otherwise the number
// of separators plus one, less one when `s` ends with a separator. Throws like CutToken when
// any cut would (a separator more than 65535 characters after the previous one or the start).
int TokenCount(const std::string& s, char sep);

// The text between separator `index` and separator `index` + 1 (token 0 starts at the start,
// the last ends at the end). Empty when `s` has fewer than `index` separators or `index` < 0.
// TokenAt(s, sep, TokenCount(s, sep)) is always empty. Never throws.
std::string TokenAt(const std::string& s, char sep, int index);

// Upper-case copy by the Windows-1250 letter pairs; other bytes stay. Same length as `s`.
std::string UpperText(const std::string& s);

// Position of the first occurrence of `sub` in `s` that begins at `start` or later; 0 when
// there is none, when `sub` is empty, when `start` < 1 or when `start` is beyond the end of `s`.
int PosFrom(const std::string& sub, const std::string& s, int start);

// `s` with every occurrence of `find` replaced by `repl`, matched without regard to case
// (Windows-1250 rules), left to right without overlapping; the search goes on after the
// inserted text, so neither `repl` nor text joined by a deletion is matched again. An empty
// `find` leaves `s` unchanged.
std::string ReplaceAll(const std::string& s, const std::string& find, const std::string& repl);

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
