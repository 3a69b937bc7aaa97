// Checks that parameter values can never change the shape of a command's statement: the text
// the server gets for hostile values must read, token by token, like the text for plain marker
// values, and each value must arrive byte for byte where a marker stood on its own.
//
// Input: a first line "M;a;b;c;d;e" (M = 'N' for a link without backslash escapes, anything
// else for one with them; CR and "@" are dropped as the request parser drops them, missing
// parameters are empty), then the template text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "commands/command_processor.h"
#include "commands/placeholders.h"
#include "db/db_error.h"
#include "db/sql_statement.h"
#include "fuzz_support.h"
#include "server_lexer_model.h"

namespace larvek::fuzz {
namespace {

// Two sets of neutral values: plain letters that need no escaping anywhere.
const char* const kMarkers[2][5] = {{"zqa", "zqb", "zqc", "zqd", "zqe"},
                                    {"yxa", "yxb", "yxc", "yxd", "yxe"}};

struct Outcome {
  bool skipped = false;  // no statement: the server is never asked
  bool sent_ok = false;
  std::string error;  // the message when the pipeline threw
  std::string sent;
};

// The template's lines, each followed by CR LF, as the query keeps a command's text.
std::string AsQueryText(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find_first_of("\r\n", i);
    if (end == std::string_view::npos) end = text.size();
    out.append(text.substr(i, end - i)).append("\r\n");
    i = end;
    if (i < text.size() && text[i] == '\r') ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  }
  return out;
}

// The path of a command statement from its text to the bytes sent to the server.
Outcome Run(const std::string& text, const ParameterValues& params, EscapeMode mode) {
  Outcome out;
  try {
    PreparedSql prepared = PrepareSql(text, mode);
    if (!prepared.has_statement) {
      out.skipped = true;
      return out;
    }
    std::string bound =
        BindNullParameters(prepared.statement, prepared.parameter_occurrences, mode);
    out.sent = FillPlaceholders(bound, params, mode);
    out.sent_ok = true;
  } catch (const Error& e) {
    out.error = e.Message();
  }
  return out;
}

// The server plans each template once and fills the plan for every request. For each set of
// values, one plan after the other, it must send exactly what the steps above send for the
// template's text, or fail with the same error ("no statement" is the error of the filling).
void CheckPlanAgreesWithSteps(const std::string& templ, const ParameterValues (&sets)[3],
                              EscapeMode mode) {
  std::optional<StatementPlan> plan;
  std::string planning_error;
  try {
    plan.emplace(templ, mode);
  } catch (const Error& e) {
    planning_error = e.Message();
  }
  const std::string text = TemplateText(templ);
  for (const ParameterValues& params : sets) {
    const Outcome steps = Run(text, params, mode);
    Outcome planned;
    planned.error = planning_error;
    if (plan) {
      try {
        planned.sent = plan->Finish(params, mode);
        planned.sent_ok = true;
      } catch (const Error& e) {
        planned.error = e.Message();
      }
    }
    const std::string expected_error = steps.skipped ? kEmptyStatement : steps.error;
    FUZZ_REQUIRE(planned.sent_ok == steps.sent_ok && planned.error == expected_error &&
                     planned.sent == steps.sent,
                 "the plan differs from the steps: mode " +
                     std::string(mode == EscapeMode::kBackslash ? "backslash" : "no-backslash") +
                     ", template " + Printable(templ) + "\n  planned " + Printable(planned.sent) +
                     " " + Printable(planned.error) + "\n  steps " + Printable(steps.sent) + " " +
                     Printable(expected_error));
  }
}

std::string Describe(const std::string& text, const ParameterValues& params, EscapeMode mode) {
  std::string s = std::string("mode ") +
                  (mode == EscapeMode::kBackslash ? "backslash" : "no-backslash") + ", template " +
                  Printable(text);
  for (int p = 0; p < 5; ++p) s += std::string(", ") + char('a' + p) + "=" + Printable(params[p]);
  return s;
}

template <typename Context>
void CheckSameShape(const Context& context, const Outcome& hostile, const Outcome (&neutral)[2],
                    const ParameterValues& params, EscapeMode mode, VersionedComments versioned) {
  const std::vector<ServerToken> h = LexLikeServer(hostile.sent, mode, versioned);
  const std::vector<ServerToken> n[2] = {LexLikeServer(neutral[0].sent, mode, versioned),
                                         LexLikeServer(neutral[1].sent, mode, versioned)};
  auto where = [&] {
    return context() +
           (versioned == VersionedComments::kRun ? " (versioned comments run)"
                                                 : " (versioned comments skipped)") +
           "\n  sent " + Printable(hostile.sent) + "\n  neutral " + Printable(neutral[0].sent);
  };
  FUZZ_REQUIRE(n[0].size() == n[1].size(), "neutral values change the token count: " + where());
  FUZZ_REQUIRE(h.size() == n[0].size(), "the values change the token count: " + where());
  for (size_t i = 0; i < h.size(); ++i) {
    auto at = [&] {
      return " at token " + std::to_string(i) + " " + Printable(h[i].text) + " / " +
             Printable(n[0][i].text) + ": " + where();
    };
    FUZZ_REQUIRE(h[i].kind == n[0][i].kind && h[i].closed == n[0][i].closed &&
                     n[1][i].kind == n[0][i].kind && n[1][i].closed == n[0][i].closed,
                 std::string("token kind differs (") + KindName(h[i].kind) + " / " +
                     KindName(n[0][i].kind) + ")" + at());
    if (h[i].kind == ServerTokenKind::kBlank || h[i].kind == ServerTokenKind::kCode) {
      FUZZ_REQUIRE(h[i].text == n[0][i].text && n[1][i].text == n[0][i].text,
                   "the values change code" + at());
    }
    if (!IsStringToken(h[i]) || !h[i].closed) continue;
    // A string that holds exactly one marker in both neutral runs is a value's own literal.
    const std::string d0 = DecodeString(n[0][i], mode), d1 = DecodeString(n[1][i], mode);
    for (int p = 0; p < 5; ++p) {
      if (d0 == kMarkers[0][p] && d1 == kMarkers[1][p]) {
        FUZZ_REQUIRE(DecodeString(h[i], mode) == params[p],
                     std::string("value ") + char('a' + p) + " arrives as " +
                         Printable(DecodeString(h[i], mode)) + at());
      }
    }
  }
}

}  // namespace
}  // namespace larvek::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larvek;
  using namespace larvek::fuzz;
  if (size > 8192) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t line_end = input.find('\n');
  if (line_end == std::string_view::npos) return 0;

  // The first line: mode and parameters, cleaned as a request's fields are.
  std::string fields;
  for (char c : input.substr(0, line_end))
    if (c != '\r' && c != '@') fields += c;
  const EscapeMode mode =
      !fields.empty() && fields[0] == 'N' ? EscapeMode::kNoBackslash : EscapeMode::kBackslash;
  ParameterValues params;
  size_t start = fields.find(';');
  for (int p = 0; p < 5 && start != std::string::npos; ++p) {
    size_t end = fields.find(';', start + 1);
    params[p] = fields.substr(start + 1, end == std::string::npos ? end : end - start - 1);
    start = end;
  }
  const std::string text = AsQueryText(input.substr(line_end + 1));

  ParameterValues neutral_params[2];
  for (int set = 0; set < 2; ++set)
    for (int p = 0; p < 5; ++p) neutral_params[set][p] = params[p].empty() ? "" : kMarkers[set][p];

  CheckPlanAgreesWithSteps(std::string(input.substr(line_end + 1)),
                           {params, neutral_params[0], params}, mode);

  const Outcome hostile = Run(text, params, mode);
  const Outcome neutral[2] = {Run(text, neutral_params[0], mode),
                              Run(text, neutral_params[1], mode)};
  auto context = [&] { return Describe(text, params, mode); };

  // Preparation and binding never see the values; only the filling may refuse them.
  FUZZ_REQUIRE(neutral[0].skipped == neutral[1].skipped &&
                   neutral[0].sent_ok == neutral[1].sent_ok && neutral[0].error == neutral[1].error,
               "neutral values decide the outcome: " + context());
  FUZZ_REQUIRE(hostile.skipped == neutral[0].skipped,
               "the values decide whether to send: " + context());
  if (hostile.skipped) return 0;
  const bool same_outcome =
      hostile.sent_ok == neutral[0].sent_ok && hostile.error == neutral[0].error;
  const bool refused_value = neutral[0].sent_ok && hostile.error == kParameterBreaksOut;
  FUZZ_REQUIRE(same_outcome || refused_value,
               "outcome depends on the values: " + context() + "\n  error " +
                   Printable(hostile.error) + " / neutral error " + Printable(neutral[0].error));
  if (!hostile.sent_ok) return 0;

  CheckSameShape(context, hostile, neutral, params, mode, VersionedComments::kRun);
  CheckSameShape(context, hostile, neutral, params, mode, VersionedComments::kSkipped);

  // A value that passes as a table lookup's name holds no byte whose quoting depends on the
  // escaping mode: its literal reads the same on a session in either mode, so a mode that the
  // session changed without saying cannot turn it into SQL.
  for (const std::string& value : params) {
    if (!IsLookupName(value)) continue;
    FUZZ_REQUIRE(QuoteSqlValue(value, EscapeMode::kBackslash) ==
                     QuoteSqlValue(value, EscapeMode::kNoBackslash),
                 "a lookup name is quoted differently for the two modes: " + Printable(value));
  }
  return 0;
}
