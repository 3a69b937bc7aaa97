// The placeholders %a% .. %e% of a command's SQL templates and the values that fill them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// A command's template on its way to the database, in two steps so that a failure of each
// shows where it always has: the preparation when the template is taken up (its error leaves
// the request without a reply), the binding and filling when it is sent (the error record).
//
// The template's text as a query keeps it: each of its lines followed by CR LF.
std::string TemplateText(const std::string& templ);
// The template prepared for a link in `mode` (PrepareSql of TemplateText); throws the
// preparation's error.
PreparedSql PrepareTemplate(const std::string& templ, EscapeMode mode);
// The finished text to send: "?" markers bound, then the placeholders filled with `params`,
// both for `mode`, the mode the session has confirmed. Throws "SQL dotaz je prázdný" when the
// template holds no statement, and the binding's and the filling's errors.
std::string FinishStatement(const PreparedSql& prepared, const ParameterValues& params,
                            EscapeMode mode);
// The same for a statement without values (SET NAMES, the resets): the markers bound, no
// placeholder filled.
std::string FinishStatement(const PreparedSql& prepared, EscapeMode mode);

// A template made ready once for the statements of many requests: prepared for a mode, its
// markers bound, and each placeholder's place in the server's readings found, so that a
// request's statement is the bound text with its values put in. What it gives is byte for
// byte what PrepareTemplate and FinishStatement give, with the same errors at the same steps.
class StatementPlan {
 public:
  // Throws the preparation's error, as PrepareTemplate does.
  StatementPlan(const std::string& templ, EscapeMode mode);

  // FinishStatement(prepared, params, mode), and FinishStatement(prepared, mode). For the
  // plan's own mode without reading the template again; for another one as those do.
  std::string Finish(const ParameterValues& params, EscapeMode mode) const;
  std::string Finish(EscapeMode mode) const;

  // Where a placeholder stands and how each server reading sees the text around it.
  struct Slot {
    size_t at;
    int param;
    uint8_t running, skipping;  // the contexts (an enum of the implementation)
  };

 private:
  EscapeMode mode_;
  PreparedSql prepared_;
  bool bound_ok_ = false;  // false: the binding fails, and Finish throws its error each time
  std::string bound_;
  std::vector<Slot> slots_;
};

// The plans of the templates that requests run, one per text and mode, made at first use. A
// request keeps the plan it got while later ones may be dropped. Bounded: at most kMaxPlans
// are kept (all are dropped when a new one finds no room), and a template longer than
// kMaxPlannedText bytes is planned anew for each use.
class StatementPlans {
 public:
  static constexpr size_t kMaxPlans = 256;
  static constexpr size_t kMaxPlannedText = 8192;

  // The plan of `templ` for `mode`; throws the preparation's error, which is not kept.
  std::shared_ptr<const StatementPlan> For(const std::string& templ, EscapeMode mode);
  size_t Size() const { return plans_[0].size() + plans_[1].size(); }

 private:
  std::unordered_map<std::string, std::shared_ptr<const StatementPlan>> plans_[2];  // by mode
};

}  // namespace larvek
