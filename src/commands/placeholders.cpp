#include "commands/placeholders.h"

#include <vector>

#include "db/db_error.h"

namespace larvek {
namespace {

// Whether `literal` (a double-quoted value) can stand inside `token` of the template without
// ending it as the server reads the statement.
bool FitsInside(const SqlToken& token, std::string_view literal, EscapeMode mode) {
  switch (token.kind) {
    case SqlTokenKind::kQuoted:
      if (token.text[0] == '"') return false;  // the literal's own quotes end the string
      // In backslash mode the value's "'" is escaped; without it nothing can escape one.
      return mode == EscapeMode::kBackslash || literal.find('\'') == std::string_view::npos;
    case SqlTokenKind::kBackquoted:
      return literal.find('`') == std::string_view::npos;
    case SqlTokenKind::kComment:
      if (token.text[0] == '/') return literal.find("*/") == std::string_view::npos;
      return literal.find_first_of("\r\n") == std::string_view::npos;
    default:
      return true;  // between tokens: the literal is a token of its own
  }
}

}  // namespace

int PlaceholderAt(std::string_view text, size_t i) {
  if (i + 3 > text.size() || text[i] != '%' || text[i + 2] != '%') return -1;
  char c = text[i + 1];
  if (c >= 'A' && c <= 'E') c = static_cast<char>(c - 'A' + 'a');
  return c >= 'a' && c <= 'e' ? c - 'a' : -1;
}

std::string FillPlaceholders(std::string_view statement, const ParameterValues& params,
                             EscapeMode mode) {
  std::string literal[5];
  for (int p = 0; p < 5; ++p)
    if (p == 0 || !params[p].empty()) literal[p] = '"' + QuoteSqlValue(params[p], mode) + '"';

  // The template's tokens tell where each placeholder stands. A placeholder never crosses a
  // token's edge: it holds no quote, comment mark or line break.
  const std::vector<SqlToken> tokens = TokenizeSql(statement, mode);
  size_t token = 0;
  auto token_end = [&](size_t k) {
    return static_cast<size_t>(tokens[k].text.data() - statement.data()) + tokens[k].text.size();
  };

  std::string out;
  out.reserve(statement.size() + 64);
  for (size_t i = 0; i < statement.size();) {
    int p = PlaceholderAt(statement, i);
    if (p >= 0 && (p == 0 || !params[p].empty())) {
      while (token_end(token) <= i) ++token;
      if (!FitsInside(tokens[token], literal[p], mode)) ThrowDatabaseError(kParameterBreaksOut);
      out += literal[p];
      i += 3;
    } else {
      out += statement[i++];
    }
  }
  return out;
}

}  // namespace larvek
