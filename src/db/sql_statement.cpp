#include "db/sql_statement.h"

#include "base/text.h"
#include "db/db_error.h"

namespace larvek {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 192 ||
         c == '_' || c == '$';
}
bool IsWordChar(char c) {
  return IsWordStart(c) || IsDigit(c);
}

// Length of the number starting at text[0] (a digit, or "." before a digit).
size_t NumberLength(std::string_view text) {
  size_t n = text.size(), i = 0;
  if (n > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && IsHexDigit(text[2])) {
    i = 2;
    while (i < n && IsHexDigit(text[i])) ++i;
    return i;
  }
  bool integer = true;
  while (i < n && IsDigit(text[i])) ++i;
  if (i < n && text[i] == '.') {
    integer = false;
    ++i;
    while (i < n && IsDigit(text[i])) ++i;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < n && IsDigit(text[j])) {
      integer = false;
      i = j;
      while (i < n && IsDigit(text[i])) ++i;
    }
  }
  // A word that directly follows an integer joins it ("1abc" is one token).
  if (integer)
    while (i < n && IsWordChar(text[i])) ++i;
  return i;
}

// Length of the quoted string or backquoted name starting at text[0]; `escapes`: a backslash
// escapes the next character.
size_t QuotedLength(std::string_view text, bool escapes) {
  char quote = text[0];
  size_t n = text.size(), i = 1;
  while (i < n) {
    char c = text[i];
    if (c == '\\' && escapes) {
      i += 2;
    } else if (c == quote) {
      if (i + 1 < n && text[i + 1] == quote) {
        i += 2;
      } else {
        return i + 1;
      }
    } else {
      ++i;
    }
  }
  return n;
}

// Where the "#" or "--" comment that starts text[0] ends (before its line break).
size_t LineCommentLength(std::string_view text, bool server) {
  const size_t end = text.find_first_of(server ? "\n" : "\r\n", 1);
  return end == std::string_view::npos ? text.size() : end;
}

// Whether the server, on the link's Windows-1250 character set, reads `c` after "--" as the
// blank or control character that makes "--" a comment.
bool EndsCommentDashes(unsigned char c) {
  switch (c) {
    case 0x7F:
    case 0x80:
    case 0x81:
    case 0x83:
    case 0x88:
    case 0x90:
    case 0x98:
    case 0xA0:
      return true;
    default:
      return c <= 32;
  }
}

bool StartsLineCommentDashes(std::string_view text, bool server) {
  if (!text.starts_with("--")) return false;
  return !server || text.size() == 2 || EndsCommentDashes(text[2]);
}

// The length of the marker after "/*" at text[0] that makes a comment hold code: 1 for "!",
// 2 for "M!"; 0 for a plain comment.
size_t CodeMarkerLength(std::string_view text) {
  const std::string_view rest = text.substr(2);
  return rest.starts_with("!") ? 1 : rest.starts_with("M!") ? 2 : 0;
}

bool StartsWithVersion(std::string_view text) {
  if (text.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i)
    if (!IsDigit(text[i])) return false;
  return true;
}

// Length of the block comment starting at text[0]: up to the first "*/" after its "/*".
size_t BlockCommentLength(std::string_view text) {
  const size_t end = text.find("*/", 2);
  return end == std::string_view::npos ? text.size() : end + 2;
}

// Length of the skipped versioned comment starting at text[0]: a "/*" in it opens one nested
// comment, whose "*/" does not end it.
size_t SkippedVersionedLength(std::string_view text) {
  bool nested = false;
  for (size_t i = 2; i + 1 < text.size(); ++i) {
    if (text[i] == '*' && text[i + 1] == '/') {
      if (!nested) return i + 2;
      nested = false;
      ++i;
    } else if (text[i] == '/' && text[i + 1] == '*' && !nested) {
      nested = true;
      ++i;
    }
  }
  return text.size();
}

// "<=", ">=", "<>", "<<", ">>" and ":=".
bool IsTwoCharSymbol(std::string_view text) {
  if (text.size() < 2) return false;
  const char first = text[0], second = text[1];
  if (first == '<') return second == '=' || second == '>' || second == '<';
  if (first == '>') return second == '=' || second == '>';
  return first == ':' && second == '=';
}

}  // namespace

SqlToken NextSqlToken(std::string_view text, EscapeMode mode, SqlReading reading) {
  const bool server = reading != SqlReading::kPreparation;
  const char c = text[0];
  SqlTokenKind kind = SqlTokenKind::kSymbol;
  size_t len = 1;
  if (IsSpaceOrControl(c)) {
    kind = SqlTokenKind::kWhitespace;
    while (len < text.size() && IsSpaceOrControl(text[len])) ++len;
  } else if (IsWordStart(c)) {
    kind = SqlTokenKind::kWord;
    while (len < text.size() && IsWordChar(text[len])) ++len;
  } else if (IsDigit(c) || (c == '.' && text.size() > 1 && IsDigit(text[1]))) {
    kind = SqlTokenKind::kNumber;
    len = NumberLength(text);
  } else if (c == '\'' || c == '"' || c == '`') {
    kind = c == '`' ? SqlTokenKind::kBackquoted : SqlTokenKind::kQuoted;
    len = QuotedLength(text, mode == EscapeMode::kBackslash && !(server && c == '`'));
  } else if (c == '#' || StartsLineCommentDashes(text, server)) {
    kind = SqlTokenKind::kComment;
    len = LineCommentLength(text, server);
  } else if (text.starts_with("/*")) {
    const size_t marker = CodeMarkerLength(text);
    if (marker == 0 || (marker == 2 && !server)) {
      kind = SqlTokenKind::kComment;
      len = BlockCommentLength(text);
    } else if (reading == SqlReading::kServerSkippingVersions &&
               StartsWithVersion(text.substr(2 + marker))) {
      kind = SqlTokenKind::kComment;
      len = SkippedVersionedLength(text);
    }  // else the "/" of code
  } else if (IsTwoCharSymbol(text)) {
    len = 2;
  }
  return {kind, text.substr(0, len)};
}

std::vector<SqlToken> TokenizeSql(std::string_view text, EscapeMode mode, SqlReading reading) {
  std::vector<SqlToken> tokens;
  for (size_t i = 0; i < text.size(); i += tokens.back().text.size())
    tokens.push_back(NextSqlToken(text.substr(i), mode, reading));
  return tokens;
}

PreparedSql PrepareSql(std::string_view text, EscapeMode mode) {
  PreparedSql out;
  if (TrimSpaceAndControls(text).empty()) return out;
  if (text.find(':') == std::string_view::npos) {
    out.has_statement = true;
    out.statement = std::string(text);
    return out;
  }
  // Comments go; each one counts as whitespace, so that "a/*x*/b" does not glue a and b.
  std::vector<SqlToken> tokens;
  for (const SqlToken& t : TokenizeSql(text, mode)) {
    bool blank = t.kind == SqlTokenKind::kWhitespace || t.kind == SqlTokenKind::kComment;
    if (blank && !tokens.empty() && tokens.back().kind == SqlTokenKind::kWhitespace) continue;
    tokens.push_back(blank ? SqlToken{SqlTokenKind::kWhitespace, " "} : t);
  }
  std::string statement;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const SqlToken& t = tokens[i];
    if (t.kind == SqlTokenKind::kWhitespace) {
      statement += ' ';
      continue;
    }
    if (t.text != ":") {
      statement += t.text;
      continue;
    }
    if (i + 1 == tokens.size()) break;  // a ":" at the very end disappears
    const SqlToken& next = tokens[i + 1];
    if (next.text == ":") {
      statement += ':';
      ++i;
    } else if (next.kind == SqlTokenKind::kWord || next.kind == SqlTokenKind::kQuoted) {
      std::string_view name = next.text;
      if (next.kind == SqlTokenKind::kQuoted) {
        name.remove_prefix(1);
        if (!name.empty() && name.back() == next.text[0]) name.remove_suffix(1);
      }
      bool known = false;
      for (const std::string& seen : out.parameter_names)
        known = known || EqualIgnoringAsciiCase(seen, name);
      if (!known) out.parameter_names.emplace_back(name);
      ++out.parameter_occurrences;
      statement += '?';
      ++i;
    } else {
      ThrowDatabaseError(kBadParameterChar);
    }
  }
  out.statement = std::string(TrimSpaceAndControls(statement));
  out.has_statement = !out.statement.empty();
  return out;
}

std::string BindNullParameters(const std::string& statement, int parameter_count, EscapeMode mode) {
  if (statement.find('?') == std::string::npos) return statement;
  std::string out;
  int used = 0;
  bool after_line_comment = false;
  for (const SqlToken& t : TokenizeSql(statement, mode)) {
    const bool line_comment =
        t.kind == SqlTokenKind::kComment && (t.text[0] == '#' || t.text[0] == '-');
    if (t.kind == SqlTokenKind::kWhitespace) {
      // A line comment ends at the line break; a blank instead would let it run on.
      out += after_line_comment ? '\n' : ' ';
    } else if (t.kind == SqlTokenKind::kSymbol && t.text == "?") {
      if (used == parameter_count) ThrowDatabaseError(kParameterCountMismatch);
      ++used;
      out += "NULL";
    } else {
      out += t.text;
    }
    after_line_comment = line_comment;
  }
  return out;
}

std::string QuoteSqlValue(std::string_view value, EscapeMode mode) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    if (c == '"') {
      out += "\"\"";
      continue;
    }
    if (mode == EscapeMode::kBackslash) {
      const char* escaped = nullptr;
      switch (c) {
        case '\\':
          escaped = "\\\\";
          break;
        case '\0':
          escaped = "\\0";
          break;
        case '\r':
          escaped = "\\r";
          break;
        case '\n':
          escaped = "\\n";
          break;
        case '\x1A':
          escaped = "\\Z";
          break;
        case '\'':
          escaped = "\\'";
          break;
      }
      if (escaped) {
        out += escaped;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace larvek
