#include "commands/placeholders.h"

#include <vector>

#include "base/text.h"
#include "db/db_error.h"

namespace larvek {
namespace {

// Where a position of a statement lies as the database server reads it. These are the
// server's rules, not the preparation's: "--" starts a comment only before a blank or control
// character, a backslash never escapes in a backquoted name, "/*!" holds code unless it is a
// versioned comment that the server skips.
enum class Context {
  kCode,
  kSingleQuoted,
  kDoubleQuoted,
  kBackquoted,
  kBlockComment,
  kLineComment,
  kSkippedVersionedComment,  // "/*!50700 ..." on a server that does not run that version
};

// A versioned comment ("/*!" or "/*M!" and a five- or six-digit version) is code on a server
// that runs that version and a comment, which may hold one nested comment, on any other. The
// filler cannot know the server's version, so it follows both readings.
enum class VersionedComments { kRun, kSkipped };

// Whether the server, on the link's Windows-1250 character set, reads `c` after "--" as the
// blank or control character that makes "--" a comment (checked against the server: besides
// 0x00-0x20 these are DEL, the euro sign, the no-break space and the unassigned bytes).
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

bool StartsWithVersion(std::string_view text) {
  if (text.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// Follows the server's reading of `text` one position at a time.
class ServerReading {
 public:
  ServerReading(std::string_view text, EscapeMode mode, VersionedComments versioned)
      : text_(text), mode_(mode), versioned_(versioned) {}

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
                   (i + 2 == text_.size() || EndsCommentDashes(text_[i + 2]))) {
          context_ = Context::kLineComment;
          return i + 1;
        } else if (c == '/' && next_is('*')) {
          const std::string_view rest = text_.substr(i + 2);
          const size_t marker = rest.starts_with("!") ? 1 : rest.starts_with("M!") ? 2 : 0;
          if (marker == 0) {
            context_ = Context::kBlockComment;
          } else if (versioned_ == VersionedComments::kSkipped &&
                     StartsWithVersion(rest.substr(marker))) {
            context_ = Context::kSkippedVersionedComment;
            nested_ = false;
          }  // else code inside
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
      case Context::kSkippedVersionedComment:
        if (c == '*' && next_is('/')) {
          if (!nested_) context_ = Context::kCode;
          nested_ = false;
          return i + 1;
        }
        if (c == '/' && next_is('*') && !nested_) {
          nested_ = true;
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
  VersionedComments versioned_;
  Context context_ = Context::kCode;
  bool nested_ = false;  // inside the one comment a skipped versioned comment may hold
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

  ServerReading run(statement, mode, VersionedComments::kRun);
  ServerReading skipped(statement, mode, VersionedComments::kSkipped);
  size_t read_to = 0;  // the readings have consumed statement[0, read_to)
  std::string out;
  out.reserve(statement.size() + 64);
  for (size_t i = 0; i < statement.size();) {
    int p = PlaceholderAt(statement, i);
    if (p >= 0 && (p == 0 || !params[p].empty()) && i >= read_to) {
      run.Advance(read_to, i);
      skipped.Advance(read_to, i);
      if (!FitsInside(run.context(), literal[p], mode) ||
          !FitsInside(skipped.context(), literal[p], mode))
        ThrowDatabaseError(kParameterBreaksOut);
      out += literal[p];
      i += 3;
      read_to = i;  // a placeholder changes no context
    } else {
      out += statement[i++];
    }
  }
  return out;
}

std::string TemplateText(const std::string& templ) {
  std::string text;
  // As the template set as the query's one line (CR LF added) was split and joined again.
  for (const std::string& line : SplitLines(templ + "\r\n")) text += line + "\r\n";
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
