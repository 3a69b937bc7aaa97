// Statement texts on their way to the server: the tokenizer that the preparation, the sending
// step and the placeholder filler use, the preparation that turns ":name" parameters into "?"
// markers, and the binding that fills every "?" marker with a parameter value when the
// statement is sent.
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

// The rules a statement text is read by. The preparation and the binding read it as they
// always have (kPreparation): which ":" names a parameter, which "?" is a marker and which
// comments go decide the text every template sends, so their rules stay. The placeholder
// filler must read it as the database server does (the kServer readings), since it refuses
// exactly the values that the server would read as SQL. Strings, block comments and code are
// read alike; the readings differ only where the server's rules are not the preparation's:
// - "--" starts a comment for the preparation always, for the server only before the end or a
//   byte that the server's Windows-1250 table calls blank or control (0x00-0x20, DEL, 0x80,
//   0x81, 0x83, 0x88, 0x90, 0x98, 0xA0; checked against the server);
// - "#" and "--" comments end at CR or LF for the preparation, at LF for the server;
// - a backslash escapes the next character in a backquoted name for the preparation (with
//   backslash escapes), never for the server;
// - "/*!" holds code for both, "/*M!" opens a comment for the preparation and code for the
//   server. A versioned one ("/*!" or "/*M!" and five digits) is a comment, which may hold one
//   nested "/* ... */", on a server that does not run that version; the filler cannot know the
//   server's version, so it reads the text both ways.
enum class SqlReading { kPreparation, kServerRunningVersions, kServerSkippingVersions };

// The token (whitespace run, word, number, quoted string, backquoted name, comment or symbol)
// that `text`, which must not be empty, starts with under `reading`; it points into `text`.
// Inside quoted strings a backslash escapes the next character only in EscapeMode::kBackslash.
SqlToken NextSqlToken(std::string_view text, EscapeMode mode, SqlReading reading);

// Splits `text` into its tokens (NextSqlToken one after the other).
std::vector<SqlToken> TokenizeSql(std::string_view text, EscapeMode mode = EscapeMode::kBackslash,
                                  SqlReading reading = SqlReading::kPreparation);

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
