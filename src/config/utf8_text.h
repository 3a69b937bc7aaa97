// Values of an INI file that look like UTF-8 text. The files are Windows-1250; a value typed in
// a UTF-8 editor reads as other letters (UTF-8 "Í", 0xC3 0x8D, reads as "Ă" and a control
// byte), so "--check" points at it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/ini_file.h"

namespace larvek {

// Whether `value` looks like UTF-8 text: it is valid UTF-8 as a whole (no overlong form, no
// surrogate, nothing beyond U+10FFFF) and holds at least one two-byte sequence whose lead byte
// is 0xC3, 0xC4 or 0xC5 (the Latin letters with diacritics, U+00C0 to U+017F). Windows-1250
// text alone can hold valid two-byte sequences (in "PŘÍŠTÍ", "ÍŠ" is 0xCD 0x8A), but hardly a
// whole value that is valid UTF-8 with such a lead byte followed by its continuation.
bool LooksLikeUtf8(std::string_view value);

// The values of `file` that look like UTF-8 text, in file order (see IniFile::Entries).
std::vector<IniFile::Entry> Utf8LookingValues(const IniFile& file);

}  // namespace larvek
