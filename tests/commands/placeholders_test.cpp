#include "commands/placeholders.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace larvek
