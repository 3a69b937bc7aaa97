#include "commands/placeholders.h"

#include <vector>

#include "base/error.h"
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

namespace {

// Every placeholder of `statement` with the contexts both server readings give its place, in
// text order. The contexts depend on the text alone, so a plan keeps them for every fill.
std::vector<StatementPlan::Slot> SlotsOf(std::string_view statement, EscapeMode mode) {
  std::vector<StatementPlan::Slot> slots;
  ServerReading run(statement, mode, SqlReading::kServerRunningVersions);
  ServerReading skipped(statement, mode, SqlReading::kServerSkippingVersions);
  for (size_t i = statement.find('%'); i != std::string_view::npos;
       i = statement.find('%', i + 1)) {
    const int p = PlaceholderAt(statement, i);
    if (p < 0) continue;
    slots.push_back({i, p, static_cast<uint8_t>(run.At(i)), static_cast<uint8_t>(skipped.At(i))});
  }
  return slots;
}

// `statement` with the placeholders of `slots` filled. A placeholder is filled when its
// parameter is a or not empty; the text of one left as it is may hold the start of the next
// ("%b%a%" with b empty fills a), and a filled one hides any that begins inside it.
std::string FillSlots(std::string_view statement, const std::vector<StatementPlan::Slot>& slots,
                      const ParameterValues& params, EscapeMode mode) {
  std::string out;
  out.reserve(statement.size() + 64);
  std::string literal;
  size_t copied = 0;  // the statement's bytes before this are in `out`
  for (const StatementPlan::Slot& slot : slots) {
    if (slot.at < copied) continue;
    const std::string& value = params[static_cast<size_t>(slot.param)];
    if (slot.param != 0 && value.empty()) continue;
    literal = '"';
    literal += QuoteSqlValue(value, mode);
    literal += '"';
    if (!FitsInside(static_cast<Context>(slot.running), literal, mode) ||
        !FitsInside(static_cast<Context>(slot.skipping), literal, mode))
      ThrowDatabaseError(kParameterBreaksOut);
    out.append(statement, copied, slot.at - copied);
    out += literal;
    copied = slot.at + 3;
  }
  out.append(statement, copied);
  return out;
}

}  // namespace

std::string FillPlaceholders(std::string_view statement, const ParameterValues& params,
                             EscapeMode mode) {
  // The placeholders are read as the text they are: none holds a character that changes a
  // context.
  return FillSlots(statement, SlotsOf(statement, mode), params, mode);
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

StatementPlan::StatementPlan(const std::string& templ, EscapeMode mode)
    : mode_(mode), prepared_(PrepareTemplate(templ, mode)) {
  // A binding that fails fails again at each Finish, with its own error.
  if (auto e = CatchError([&] { bound_ = FinishStatement(prepared_, mode); })) return;
  bound_ok_ = true;
  slots_ = SlotsOf(bound_, mode);
}

std::string StatementPlan::Finish(const ParameterValues& params, EscapeMode mode) const {
  if (!bound_ok_ || mode != mode_) return FinishStatement(prepared_, params, mode);
  return FillSlots(bound_, slots_, params, mode);
}

std::string StatementPlan::Finish(EscapeMode mode) const {
  if (!bound_ok_ || mode != mode_) return FinishStatement(prepared_, mode);
  return bound_;
}

std::shared_ptr<const StatementPlan> StatementPlans::For(const std::string& templ,
                                                         EscapeMode mode) {
  if (templ.size() > kMaxPlannedText) return std::make_shared<const StatementPlan>(templ, mode);
  auto& plans = plans_[mode == EscapeMode::kBackslash ? 0 : 1];
  if (auto found = plans.find(templ); found != plans.end()) return found->second;
  auto plan = std::make_shared<const StatementPlan>(templ, mode);
  if (Size() >= kMaxPlans) {
    plans_[0].clear();
    plans_[1].clear();
  }
  plans.emplace(templ, plan);
  return plan;
}

}  // namespace larvek
