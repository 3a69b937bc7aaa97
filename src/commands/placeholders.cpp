#include "commands/placeholders.h"

#include <vector>

#include "base/text.h"
#include "db/db_error.h"

namespace larvek {
namespace {

// Where a position of a statement lies as the database server reads it (SqlReading says how
// the server's rules differ from the preparation's).
enum class Context {
  kCode,
  kSingleQuoted,
  kDoubleQuoted,
  kBackquoted,
  kBlockComment,
  kLineComment,
  kSkippedVersionedComment,  // "/*!50700 ..." on a server that does not run that version
};

// The context inside `token`, a token of a server reading.
Context ContextOf(const SqlToken& token) {
  switch (token.kind) {
    case SqlTokenKind::kQuoted:
      return token.text[0] == '\'' ? Context::kSingleQuoted : Context::kDoubleQuoted;
    case SqlTokenKind::kBackquoted:
      return Context::kBackquoted;
    case SqlTokenKind::kComment:
      if (token.text[0] != '/') return Context::kLineComment;
      // A server reading opens a comment at "/*!" or "/*M!" only where it skips a version.
      return token.text.starts_with("/*!") || token.text.starts_with("/*M!")
                 ? Context::kSkippedVersionedComment
                 : Context::kBlockComment;
    default:
      return Context::kCode;
  }
}

// Follows the server's reading of `text` token by token.
class ServerReading {
 public:
  ServerReading(std::string_view text, EscapeMode mode, SqlReading reading)
      : text_(text), mode_(mode), reading_(reading) {}

  // The context that the text before `at` leaves: that of the string, name or comment that
  // began before `at` and goes on past it, otherwise code. `at` may only grow from call to
  // call.
  Context At(size_t at) {
    while (token_end_ <= at && token_end_ < text_.size()) {
      token_begin_ = token_end_;
      token_ = NextSqlToken(text_.substr(token_begin_), mode_, reading_);
      token_end_ = token_begin_ + token_.text.size();
    }
    return token_begin_ < at && at < token_end_ ? ContextOf(token_) : Context::kCode;
  }

 private:
  std::string_view text_;
  EscapeMode mode_;
  SqlReading reading_;
  SqlToken token_{SqlTokenKind::kWhitespace, {}};  // the last token read, text_[begin, end)
  size_t token_begin_ = 0;
  size_t token_end_ = 0;
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
    case Context::kSkippedVersionedComment:
      // A "/*" would open a nested comment and move the end.
      return literal.find("*/") == std::string_view::npos &&
             literal.find("/*") == std::string_view::npos;
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

  // The placeholders are read as the text they are: none holds a character that changes a
  // context.
  ServerReading run(statement, mode, SqlReading::kServerRunningVersions);
  ServerReading skipped(statement, mode, SqlReading::kServerSkippingVersions);
  std::string out;
  out.reserve(statement.size() + 64);
  for (size_t i = 0; i < statement.size();) {
    int p = PlaceholderAt(statement, i);
    if (p >= 0 && (p == 0 || !params[p].empty())) {
      if (!FitsInside(run.At(i), literal[p], mode) || !FitsInside(skipped.At(i), literal[p], mode))
        ThrowDatabaseError(kParameterBreaksOut);
      out += literal[p];
      i += 3;
    } else {
      // Up to the next "%" (past this one when it starts no placeholder) as it is.
      size_t next = statement.find('%', i + 1);
      if (next == std::string_view::npos) next = statement.size();
      out.append(statement, i, next - i);
      i = next;
    }
  }
  return out;
}

std::string TemplateText(const std::string& templ) {
  // As the template set as the query's one line (CR LF added) was split into lines at CR LF,
  // a lone CR or a lone LF, and joined again with CR LF after each line.
  std::string text;
  text.reserve(templ.size() + 2);
  size_t start = 0;
  for (size_t i = 0; i < templ.size(); ++i) {
    const char c = templ[i];
    if (c != '\r' && c != '\n') continue;
    text.append(templ, start, i - start);
    text += "\r\n";
    if (c == '\r' && i + 1 < templ.size() && templ[i + 1] == '\n') ++i;
    start = i + 1;
  }
  text.append(templ, start, templ.size() - start);
  // The added CR LF ends the last line; after a lone CR at the end it is an empty line.
  text += "\r\n";
  return text;
}

PreparedSql PrepareTemplate(const std::string& templ, EscapeMode mode) {
  return PrepareSql(TemplateText(templ), mode);
}

std::string FinishStatement(const PreparedSql& prepared, const ParameterValues& params,
                            EscapeMode mode) {
  return FillPlaceholders(FinishStatement(prepared, mode), params, mode);
}

std::string FinishStatement(const PreparedSql& prepared, EscapeMode mode) {
  if (!prepared.has_statement) ThrowDatabaseError(kEmptyStatement);
  return BindNullParameters(prepared.statement, prepared.parameter_occurrences, mode);
}

}  // namespace larvek
