#include "commands/placeholders.h"

#include <vector>

#include "db/db_error.h"

namespace larvek {
namespace {

// Where a position of a statement lies as the database server reads it. These are the
// server's rules, not the preparation's: "--" starts a comment only before a blank or control
// character, a backslash never escapes in a backquoted name, "/*!" is code.
enum class Context {
  kCode,
  kSingleQuoted,
  kDoubleQuoted,
  kBackquoted,
  kBlockComment,
  kLineComment
};

// Follows the server's reading of `text` one position at a time.
class ServerReading {
 public:
  ServerReading(std::string_view text, EscapeMode mode) : text_(text), mode_(mode) {}

  Context context() const { return context_; }

  // Reads from `from` up to (not including) `to`, which must not lie inside a two-character
  // sequence that `from` starts (callers step over whole placeholders, which hold none).
  void Advance(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) i = Step(i);
  }

 private:
  // Reads the character at i (and what belongs to it); returns the last position consumed.
  size_t Step(size_t i) {
    const char c = text_[i];
    auto next_is = [&](char n) { return i + 1 < text_.size() && text_[i + 1] == n; };
    switch (context_) {
      case Context::kCode:
        if (c == '\'') {
          context_ = Context::kSingleQuoted;
        } else if (c == '"') {
          context_ = Context::kDoubleQuoted;
        } else if (c == '`') {
          context_ = Context::kBackquoted;
        } else if (c == '#') {
          context_ = Context::kLineComment;
        } else if (c == '-' && next_is('-') &&
                   (i + 2 == text_.size() || static_cast<unsigned char>(text_[i + 2]) <= 32)) {
          context_ = Context::kLineComment;
          return i + 1;
        } else if (c == '/' && next_is('*')) {
          const std::string_view rest = text_.substr(i + 2);
          if (rest.starts_with("!") || rest.starts_with("M!")) return i + 1;  // code inside
          context_ = Context::kBlockComment;
          return i + 1;
        }
        return i;
      case Context::kSingleQuoted:
      case Context::kDoubleQuoted: {
        const char quote = context_ == Context::kSingleQuoted ? '\'' : '"';
        if (c == '\\' && mode_ == EscapeMode::kBackslash) return i + 1;
        if (c == quote) {
          if (next_is(quote)) return i + 1;
          context_ = Context::kCode;
        }
        return i;
      }
      case Context::kBackquoted:
        if (c == '`') {
          if (next_is('`')) return i + 1;
          context_ = Context::kCode;
        }
        return i;
      case Context::kBlockComment:
        if (c == '*' && next_is('/')) {
          context_ = Context::kCode;
          return i + 1;
        }
        return i;
      case Context::kLineComment:
        if (c == '\n') context_ = Context::kCode;
        return i;
    }
    return i;
  }

  std::string_view text_;
  EscapeMode mode_;
  Context context_ = Context::kCode;
};

// Whether `literal` (a quoted value) can stand in `context` without ending it.
bool FitsInside(Context context, std::string_view literal, EscapeMode mode) {
  switch (context) {
    case Context::kCode:
      return true;  // the literal is a token of its own
    case Context::kSingleQuoted:
      // In backslash mode the value's "'" is escaped; without it nothing can escape one.
      return mode == EscapeMode::kBackslash || literal.find('\'') == std::string_view::npos;
    case Context::kDoubleQuoted:
      return false;  // the literal's own quotes end the string
    case Context::kBackquoted:
      return literal.find('`') == std::string_view::npos;
    case Context::kBlockComment:
      return literal.find("*/") == std::string_view::npos;
    case Context::kLineComment:
      return literal.find_first_of("\r\n") == std::string_view::npos;
  }
  return false;
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

  ServerReading reading(statement, mode);
  size_t read_to = 0;  // the reading has consumed statement[0, read_to)
  std::string out;
  out.reserve(statement.size() + 64);
  for (size_t i = 0; i < statement.size();) {
    int p = PlaceholderAt(statement, i);
    if (p >= 0 && (p == 0 || !params[p].empty()) && i >= read_to) {
      reading.Advance(read_to, i);
      if (!FitsInside(reading.context(), literal[p], mode)) ThrowDatabaseError(kParameterBreaksOut);
      out += literal[p];
      i += 3;
      read_to = i;  // a placeholder changes no context
    } else {
      out += statement[i++];
    }
  }
  return out;
}

}  // namespace larvek
