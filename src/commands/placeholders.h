// The placeholders %a% .. %e% of a command's SQL templates and the values that fill them.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "db/sql_statement.h"

namespace larvek {

// Parameters a..e of a request, as the terminal sent them.
using ParameterValues = std::array<std::string, 5>;

// Thrown as a database error when a value cannot stand where its placeholder was written.
inline constexpr const char* kParameterBreaksOut =
    "Hodnota parametru by ukon\xE8ila \xF8"
    "et\xECzec nebo koment\xE1\xF8 \x9A"
    "ablony";

// Index 0..4 of the placeholder "%a%".."%e%" (any letter case) starting at text[i], or -1.
int PlaceholderAt(std::string_view text, size_t i);

// The text to send for `statement` (a template after preparation and "?" binding): each
// placeholder, wherever it stands, becomes its parameter between double quotes, escaped for
// `mode`. "%a%" is always filled (an empty a gives ""), the others only when their parameter
// is not empty. One pass: text that a value brings in is never searched again.
//
// A placeholder written inside a quoted string, a backquoted name or a comment of the template
// puts the value there as it is today; where the value would end that string, name or comment
// as the server reads it (and so become SQL), the statement is refused with the database error
// kParameterBreaksOut instead. A value's own double quotes always end a double-quoted string.
// A versioned comment ("/*!50700 ... */") is code or a comment depending on the server's
// version; a value there must be safe in both readings.
std::string FillPlaceholders(std::string_view statement, const ParameterValues& params,
                             EscapeMode mode);

}  // namespace larvek
