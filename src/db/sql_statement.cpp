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

// Length of the quoted string or backquoted name starting at text[0].
size_t QuotedLength(std::string_view text, EscapeMode mode) {
  char quote = text[0];
  size_t n = text.size(), i = 1;
  while (i < n) {
    char c = text[i];
    if (c == '\\' && mode == EscapeMode::kBackslash) {
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

size_t LineEnd(std::string_view text, size_t from) {
  size_t i = from;
  while (i < text.size() && text[i] != '\r' && text[i] != '\n') ++i;
  return i;
}

bool IsTwoCharSymbol(std::string_view text) {
  static const char* const kSymbols[] = {"<=", ">=", "<>", "<<", ">>", ":="};
  for (const char* s : kSymbols)
    if (text.substr(0, 2) == s) return true;
  return false;
}

}  // namespace

std::vector<SqlToken> TokenizeSql(std::string_view text, EscapeMode mode) {
  std::vector<SqlToken> tokens;
  size_t i = 0;
  while (i < text.size()) {
    std::string_view rest = text.substr(i);
    char c = rest[0];
    SqlTokenKind kind = SqlTokenKind::kSymbol;
    size_t len = 1;
    if (IsSpaceOrControl(c)) {
      kind = SqlTokenKind::kWhitespace;
      while (len < rest.size() && IsSpaceOrControl(rest[len])) ++len;
    } else if (IsWordStart(c)) {
      kind = SqlTokenKind::kWord;
      while (len < rest.size() && IsWordChar(rest[len])) ++len;
    } else if (IsDigit(c) || (c == '.' && rest.size() > 1 && IsDigit(rest[1]))) {
      kind = SqlTokenKind::kNumber;
      len = NumberLength(rest);
    } else if (c == '\'' || c == '"' || c == '`') {
      kind = c == '`' ? SqlTokenKind::kBackquoted : SqlTokenKind::kQuoted;
      len = QuotedLength(rest, mode);
    } else if (rest.starts_with("--") || c == '#') {
      kind = SqlTokenKind::kComment;
      len = LineEnd(rest, 1);
    } else if (rest.starts_with("/*") && !rest.starts_with("/*!")) {
      kind = SqlTokenKind::kComment;
      size_t end = rest.find("*/", 2);
      len = end == std::string_view::npos ? rest.size() : end + 2;
    } else if (IsTwoCharSymbol(rest)) {
      len = 2;
    }
    tokens.push_back({kind, rest.substr(0, len)});
    i += len;
  }
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
