#include "commands/placeholders.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/error.h"

namespace larvek {
namespace {

const char kRefused[] = "(refused)";

std::string Fill(std::string_view statement, const ParameterValues& params, EscapeMode mode) {
  try {
    return FillPlaceholders(statement, params, mode);
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), kParameterBreaksOut);
    return kRefused;
  }
}

TEST(FillPlaceholders, PutsQuotedValuesWhereThePlaceholdersStand) {
  const EscapeMode bs = EscapeMode::kBackslash, raw = EscapeMode::kNoBackslash;
  struct Case {
    const char* statement;
    ParameterValues params;
    EscapeMode mode;
    const char* sent;
  } cases[] = {
      // %a% is always filled, the others only when not empty; letters in any case.
      {"select %a%, %B%, %c%", {"", "x", ""}, bs, "select \"\", \"x\", %c%"},
      // Values are never searched again, and hold any byte as data.
      {"select %a%, %b%", {"%b%", "?:x -- #"}, bs, "select \"%b%\", \"?:x -- #\""},
      {"select %a%", {"a\"b\\'"}, bs, "select \"a\"\"b\\\\\\'\""},
      {"select %a%", {"a\"b\\'"}, raw, "select \"a\"\"b\\'\""},
      // Inside a single-quoted string of the template: escaped there too, or refused when the
      // value's quote would end the string.
      {"select '%a%'", {"x'y"}, bs, "select '\"x\\'y\"'"},
      {"select '%a%'", {"xy"}, raw, "select '\"xy\"'"},
      {"select '%a%'", {"x'y"}, raw, kRefused},
      // The value's own quotes always end a double-quoted string of the template.
      {"select \"%a%\"", {"x"}, bs, kRefused},
      // Backquoted names and comments: refused only when the value would end them.
      {"select `%a%`", {"x"}, bs, "select `\"x\"`"},
      {"select `%a%`", {"x`y"}, bs, kRefused},
      {"select 1 /* %a% */", {"x"}, bs, "select 1 /* \"x\" */"},
      {"select 1 /* %a% */", {"*/ union"}, bs, kRefused},
      {"select 1 -- %a%\r\n", {"x"}, bs, "select 1 -- \"x\"\r\n"},
      {"select 1 -- %a%\r\n", {"x\ny"}, raw, kRefused},
      // Read as the server reads: "--" before a non-blank is code, a backslash does not escape
      // in a backquoted name, "/*!" holds code.
      {"select 1 --%a%", {"x\ny"}, raw, "select 1 --\"x\ny\""},
      {"select `a\\` %a%", {"x`"}, bs, "select `a\\` \"x`\""},
      {"select /*!1 + %a% */", {"*/"}, bs, "select /*!1 + \"*/\" */"},
      // A versioned comment is a comment on a server that skips its version: a value there
      // must neither end it nor open a nested comment that moves its end.
      {"select 1 /*!50700 %a% */", {"x"}, bs, "select 1 /*!50700 \"x\" */"},
      {"select 1 /*!50700 %a% */", {"*/ , 2 -- "}, bs, kRefused},
      {"select 1 /*M!999999 %a% */", {"/*"}, raw, kRefused},
      {"select 1 /*!50700 /* c */ %a% */", {"*/"}, bs, kRefused},
      // On the Windows-1250 link DEL, the euro sign, the no-break space and the unassigned
      // bytes count as control characters after "--" too.
      {"select 1 --\x7F \"\r\n\"%a%", {", user() -- "}, bs, kRefused},
      {"select 1 --\xA0 '\r\n%a% '", {"x'"}, raw, "select 1 --\xA0 '\r\n\"x'\" '"},
      {"select 1 --\x8A '\r\n%a% '", {"x'"}, raw, kRefused},
      // Where the template's strings end depends on the mode: "'\\'" is a whole string only
      // without backslash escapes.
      {"select '\\', %a%", {"x'"}, raw, "select '\\', \"x'\""},
      {"select '\\', %a%", {"x'"}, bs, "select '\\', \"x\\'\""},
      // A "%" that starts no placeholder stays, also right before one.
      {"select 5 % 2, '%a%%', %x%%a%", {"v"}, bs, "select 5 % 2, '\"v\"%', %x%\"v\""},
      {"%", {"v"}, bs, "%"},
  };
  for (const Case& c : cases) EXPECT_EQ(Fill(c.statement, c.params, c.mode), c.sent) << c.statement;
}

// Every line of a template ends with CR LF, whatever ended it (CR LF, a lone CR, a lone LF,
// or nothing at the end).
TEST(TemplateText, EachLineEndsWithCrLf) {
  struct Case {
    std::string templ;
    std::string text;
  } cases[] = {
      {"a", "a\r\n"},
      {"", "\r\n"},
      {"a\r\nb", "a\r\nb\r\n"},
      {"a\nb\rc", "a\r\nb\r\nc\r\n"},
      {"a\r", "a\r\n\r\n"},
      {"a\n", "a\r\n\r\n"},
      {"\r\n\r\n", "\r\n\r\n\r\n"},
      {"a\n\rb", "a\r\n\r\nb\r\n"},
      {"a\r\r\nb", "a\r\n\r\nb\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(TemplateText(c.templ), c.text) << c.templ;
}

// A plan sends what the two steps send, or fails with their error at the same step, for
// every request it serves: values of one request leave nothing in it for the next, and a
// finish in the other mode reads the template as the steps do.
TEST(StatementPlan, SendsWhatTheStepsSendRequestAfterRequest) {
  const EscapeMode bs = EscapeMode::kBackslash, raw = EscapeMode::kNoBackslash;
  // The text sent, or the error.
  auto outcome = [](auto&& finish) -> std::string {
    try {
      return finish();
    } catch (const Error& e) {
      return "error: " + e.Message();
    }
  };
  const ParameterValues requests[] = {
      {"A1", "x"}, {"", ""}, {"it's \\ \"", "*/ --"}, {"%b%", "`"}, {"A2", "y"}};
  const struct {
    const char* templ;
    EscapeMode mode;
  } cases[] = {
      {"select kod from sklad where kod = %a% and x = %b%", bs},
      {"select '%a%', `%b%`,\r\n -- %a%\r\n /* %b% */ %a%", bs},
      {"select '%a%' /*!50700 %b% */", raw},
      {"select :p, %a% from t where y = :'q'", bs},  // parameters become markers, bound NULL
      {"select ':%a%', %b%%a%%c%", raw},
      {"select %a%b%, %c%a%", raw},  // a filled placeholder hides one that begins inside it
      // Where the string ends depends on the mode: "'\\'" is whole only without escapes.
      {"select '\\', %a%, '", bs},
      {"update t set a = %A% where b = %B%\r\nand c = '%c%'", bs},
      {"  -- only a comment: %a%", bs},  // no statement once prepared: fails at the finish
      {"select 1 where a = :", bs},      // the preparation refuses it
      {"", bs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.templ);
    const std::string templ = c.templ;
    std::optional<StatementPlan> plan;
    const std::string planning = outcome([&] {
      plan.emplace(templ, c.mode);
      return std::string();
    });
    for (const EscapeMode finish : {c.mode, c.mode == bs ? raw : bs}) {
      for (const ParameterValues& params : requests) {
        const std::string steps = outcome(
            [&] { return FinishStatement(PrepareTemplate(templ, c.mode), params, finish); });
        EXPECT_EQ(plan ? outcome([&] { return plan->Finish(params, finish); }) : planning, steps)
            << params[0] << " / " << params[1];
      }
      const std::string steps =
          outcome([&] { return FinishStatement(PrepareTemplate(templ, c.mode), finish); });
      EXPECT_EQ(plan ? outcome([&] { return plan->Finish(finish); }) : planning, steps);
    }
  }
}

// Plans are made once per text and mode and kept within their bound; a plan that a request
// holds stays whole when the kept ones are dropped.
TEST(StatementPlans, KeepsOnePlanPerTextAndModeWithinTheirBound) {
  StatementPlans plans;
  const std::string templ = "select %a%";
  const auto first = plans.For(templ, EscapeMode::kBackslash);
  EXPECT_EQ(plans.For(templ, EscapeMode::kBackslash), first);
  EXPECT_NE(plans.For(templ, EscapeMode::kNoBackslash), first);
  EXPECT_EQ(plans.Size(), 2u);
  for (size_t i = 0; i < 3 * StatementPlans::kMaxPlans; ++i) {
    plans.For("select " + std::to_string(i) + ", %a%", EscapeMode::kBackslash);
    ASSERT_LE(plans.Size(), StatementPlans::kMaxPlans);
  }
  EXPECT_EQ(first->Finish({"v"}, EscapeMode::kBackslash), "select \"v\"\r\n");
  // A long template is planned for each use and not kept.
  const std::string long_templ =
      "select '" + std::string(StatementPlans::kMaxPlannedText, 'x') + "'";
  const size_t kept = plans.Size();
  EXPECT_NE(plans.For(long_templ, EscapeMode::kBackslash),
            plans.For(long_templ, EscapeMode::kBackslash));
  EXPECT_EQ(plans.Size(), kept);
  // The preparation's error comes from For, and nothing is kept of it.
  EXPECT_THROW(plans.For("select :", EscapeMode::kBackslash), Error);
  EXPECT_EQ(plans.Size(), kept);
}

}  // namespace
}  // namespace larvek
