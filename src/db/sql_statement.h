// Statement texts on their way to the server: the tokenizer that both the preparation and the
// sending step use, the preparation that turns ":name" parameters into "?" markers, and the
// binding that fills every "?" marker with a parameter value when the statement is sent.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larvek {

// How a quoted string of the link reads a backslash: as an escape of the next character (the
// server's default) or as a plain character (sql_mode NO_BACKSLASH_ESCAPES).
enum class EscapeMode { kBackslash, kNoBackslash };

enum class SqlTokenKind { kWhitespace, kWord, kNumber, kQuoted, kBackquoted, kComment, kSymbol };

struct SqlToken {
  SqlTokenKind kind;
  std::string_view text;
};

// Splits `text` into tokens (whitespace runs, words, numbers, quoted strings, backquoted names,
// comments and symbols). The tokens point into `text`. Inside quoted strings and backquoted
// names a backslash escapes the next character only in EscapeMode::kBackslash.
std::vector<SqlToken> TokenizeSql(std::string_view text, EscapeMode mode = EscapeMode::kBackslash);

struct PreparedSql {
  bool has_statement = false;  // false: the text is empty once trimmed
  std::string statement;       // the text to send, with "?" for each parameter occurrence
  int parameter_occurrences = 0;
  std::vector<std::string> parameter_names;  // distinct, in order of first appearance
};

// Prepares the whole text of a query. A text without ":" stays as it is; otherwise comments
// are dropped, whitespace runs become one blank, ":name" and ":'name'" become "?", "::"
// becomes ":" and the result is trimmed. Throws the database error "Za \":\" následuje
// nesprávný znak" when a ":" is followed by anything that cannot name a parameter.
PreparedSql PrepareSql(std::string_view text, EscapeMode mode = EscapeMode::kBackslash);

// The text that goes to the server for a prepared statement: every "?" marker outside quoted
// strings and comments takes the next of `parameter_count` parameter values (all NULL, since
// the system never assigns one). Whitespace runs become one blank, except that a run ending a
// "--" or "#" comment keeps a line break, so the comment covers what it covered before.
// Throws the database error about the number of input parameters when the markers outnumber
// the values. A statement without "?" is returned as is.
std::string BindNullParameters(const std::string& statement, int parameter_count,
                               EscapeMode mode = EscapeMode::kBackslash);

// The content of a double-quoted literal that the server reads back as exactly `value` on a
// link in `mode` (the surrounding quotes are not added). Both modes double '"'. With backslash
// escapes, backslash, NUL, CR, LF, Ctrl-Z and "'" are backslash-escaped too ("'" so that a
// value can end no single-quoted string either); without them every other byte stays as it is.
std::string QuoteSqlValue(std::string_view value, EscapeMode mode);

}  // namespace larvek
