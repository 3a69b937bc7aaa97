// Conversion between the program's 8-bit Windows-1250 text and UTF-8, for the places where
// text leaves the program towards a human (standard output, the desktop view, the terminal
// client). Everything inside the program stays Windows-1250 bytes.
#pragma once

#include <string>
#include <string_view>

namespace larvek {

// Every byte has a meaning in Windows-1250 except a few unassigned ones; those become U+FFFD.
std::string Cp1250ToUtf8(std::string_view text);
// The same, appended to `out`.
void AppendCp1250AsUtf8(std::string& out, std::string_view text);
// The UTF-8 of one Windows-1250 byte (one to three bytes), as Cp1250ToUtf8 converts it.
std::string_view Cp1250ByteAsUtf8(unsigned char byte);
// Characters that Windows-1250 cannot hold become "?"; invalid UTF-8 bytes become "?" too.
std::string Utf8ToCp1250(std::string_view text);
// Windows-1250 bytes as UTF-8 for a person to read, control bytes visible: CR as \r, LF as
// \n, a backslash as \\, any other control byte as \xNN (the terminal client's notation).
std::string VisibleCp1250(std::string_view text);

}  // namespace larvek
