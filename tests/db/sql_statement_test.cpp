#include "db/sql_statement.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/error.h"

namespace larvek {
namespace {

std::string Kinds(std::string_view text, EscapeMode mode = EscapeMode::kBackslash,
                  SqlReading reading = SqlReading::kPreparation) {
  std::string out;
  for (const SqlToken& t : TokenizeSql(text, mode, reading)) {
    static const char kLetters[] = "_wnqbcs";  // whitespace word number quoted backquoted ...
    out += kLetters[static_cast<int>(t.kind)];
    out += "[" + std::string(t.text) + "]";
  }
  return out;
}

TEST(SqlTokenizer, SplitsByTheTokenRules) {
  struct Case {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"a1 \t\r\n$b_\xC8x", "w[a1]_[ \t\r\n]w[$b_\xC8x]"},
      {"12.5e-3 .5 1.", "n[12.5e-3]_[ ]n[.5]_[ ]n[1.]"},
      {"0x1F 1abc 1e", "n[0x1F]_[ ]n[1abc]_[ ]n[1e]"},
      {"t.c", "w[t]s[.]w[c]"},
      {"'a''b\\'c' \"x\"", "q['a''b\\'c']_[ ]q[\"x\"]"},
      {"`a``b`", "b[`a``b`]"},
      {"'open", "q['open]"},
      {"a--x\r\nb#y\nc", "w[a]c[--x]_[\r\n]w[b]c[#y]_[\n]w[c]"},
      {"a/*x:y*/b/*!50000 c*/", "w[a]c[/*x:y*/]w[b]s[/]s[*]s[!]n[50000]_[ ]w[c]s[*]s[/]"},
      {"<=>=<><<>>:=::", "s[<=]s[>=]s[<>]s[<<]s[>>]s[:=]s[:]s[:]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Kinds(c.text), c.tokens) << c.text;
}

TEST(SqlTokenizer, ABackslashEscapesOnlyInTheBackslashMode) {
  struct Case {
    const char* text;
    const char* with_escapes;
    const char* without_escapes;
  } cases[] = {
      {"'a\\' :x", "q['a\\' :x]", "q['a\\']_[ ]s[:]w[x]"},
      {"\"\\\" -- c", "q[\"\\\" -- c]", "q[\"\\\"]_[ ]c[-- c]"},
      {"`a\\` #", "b[`a\\` #]", "b[`a\\`]_[ ]c[#]"},
      {"'a\\\\' b", "q['a\\\\']_[ ]w[b]", "q['a\\\\']_[ ]w[b]"},
      {"'it''s'", "q['it''s']", "q['it''s']"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Kinds(c.text), c.with_escapes) << c.text;
    EXPECT_EQ(Kinds(c.text, EscapeMode::kNoBackslash), c.without_escapes) << c.text;
  }
}

// The server's readings differ from the preparation's only in dashes, line ends, backslashes in
// names and the comments that hold code.
TEST(SqlTokenizer, TheServersReadingsDifferOnlyWhereTheServersRulesDo) {
  struct Case {
    const char* text;
    const char* preparation;
    const char* server_running;   // versioned comments run
    const char* server_skipping;  // versioned comments skipped
  } cases[] = {
      {"a--x", "w[a]c[--x]", "w[a]s[-]s[-]w[x]", "w[a]s[-]s[-]w[x]"},
      {"--\x80x", "c[--\x80x]", "c[--\x80x]", "c[--\x80x]"},
      {"---", "c[---]", "s[-]c[--]", "s[-]c[--]"},
      {"# x\r y\nz", "c[# x]_[\r ]w[y]_[\n]w[z]", "c[# x\r y]_[\n]w[z]", "c[# x\r y]_[\n]w[z]"},
      {"`a\\` b`", "b[`a\\` b`]", "b[`a\\`]_[ ]w[b]b[`]", "b[`a\\`]_[ ]w[b]b[`]"},
      {"'a\\' b'", "q['a\\' b']", "q['a\\' b']", "q['a\\' b']"},
      {"/*M!x*/", "c[/*M!x*/]", "s[/]s[*]w[M]s[!]w[x]s[*]s[/]", "s[/]s[*]w[M]s[!]w[x]s[*]s[/]"},
      {"/*!50700 a/*b*/c*/d", "s[/]s[*]s[!]n[50700]_[ ]w[a]c[/*b*/]w[c]s[*]s[/]w[d]",
       "s[/]s[*]s[!]n[50700]_[ ]w[a]c[/*b*/]w[c]s[*]s[/]w[d]", "c[/*!50700 a/*b*/c*/]w[d]"},
      {"/*M!100500*/x", "c[/*M!100500*/]w[x]", "s[/]s[*]w[M]s[!]n[100500]s[*]s[/]w[x]",
       "c[/*M!100500*/]w[x]"},
      {"/*x*/ :y", "c[/*x*/]_[ ]s[:]w[y]", "c[/*x*/]_[ ]s[:]w[y]", "c[/*x*/]_[ ]s[:]w[y]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Kinds(c.text), c.preparation) << c.text;
    EXPECT_EQ(Kinds(c.text, EscapeMode::kBackslash, SqlReading::kServerRunningVersions),
              c.server_running)
        << c.text;
    EXPECT_EQ(Kinds(c.text, EscapeMode::kBackslash, SqlReading::kServerSkippingVersions),
              c.server_skipping)
        << c.text;
  }
}

TEST(QuoteSqlValue, EscapesForTheLinksMode) {
  const std::string value("a\"b\\c'd\0\r\n\x1A?:%a%\x8A", 17);
  EXPECT_EQ(QuoteSqlValue(value, EscapeMode::kBackslash), "a\"\"b\\\\c\\'d\\0\\r\\n\\Z?:%a%\x8A");
  EXPECT_EQ(QuoteSqlValue(value, EscapeMode::kNoBackslash),
            std::string("a\"\"b\\c'd\0\r\n\x1A?:%a%\x8A", 18));
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    EXPECT_EQ(e.ClassName(), kDatabaseError);
    return e.Message();
  }
  return "(no error)";
}

TEST(PrepareSql, BuildsTheStatementToSend) {
  struct Case {
    const char* text;
    const char* statement;
    int occurrences;
    const char* names;  // joined by ","
  } cases[] = {
      // Without ":" the text goes as it is, final CR LF and blanks included.
      {"select  1\r\n", "select  1\r\n", 0, ""},
      {"select '?'\r\n", "select '?'\r\n", 0, ""},
      // Otherwise it is tokenized: blanks collapse, comments go, the result is trimmed.
      {"select 1 from t where a = :p\r\n", "select 1 from t where a = ?", 1, "p"},
      {" select ':'  -- c\r\n\tfrom t\r\n", "select ':' from t", 0, ""},
      {"select a/*c*/b, ':'\r\n", "select a b, ':'", 0, ""},
      {"select :A, :a, :'b c', :\"d\"\r\n", "select ?, ?, ?, ?", 4, "A,b c,d"},
      {"select @x:=null\r\n", "select @x:=null", 0, ""},
      {"select '::'::x\r\n", "select '::':x", 0, ""},
      {"select 1 ::\r\n", "select 1 :", 0, ""},
      {"select 1:", "select 1", 0, ""},  // a ":" at the very end disappears
      {"-- :x\r\n", "", 0, ""},
  };
  for (const Case& c : cases) {
    PreparedSql p = PrepareSql(c.text);
    EXPECT_EQ(p.statement, c.statement) << c.text;
    EXPECT_EQ(p.has_statement, *c.statement != 0) << c.text;
    EXPECT_EQ(p.parameter_occurrences, c.occurrences) << c.text;
    std::string names;
    for (const std::string& n : p.parameter_names) names += (names.empty() ? "" : ",") + n;
    EXPECT_EQ(names, c.names) << c.text;
  }
  EXPECT_FALSE(PrepareSql(" \r\n\t").has_statement);
}

TEST(PrepareSql, RejectsAColonThatNamesNoParameter) {
  for (const char* text : {"select 12:30\r\n", "select : a\r\n", "select :`a`\r\n",
                           "select :(1)\r\n", "select 1:\r\n"})
    EXPECT_EQ(ErrorOf([&] { PrepareSql(text); }), "Za \":\" n\xE1sleduje nespr\xE1vn\xFD znak")
        << text;
}

TEST(BindNullParameters, FillsMarkersOutsideStringsAndComments) {
  EXPECT_EQ(BindNullParameters("select ?, '?', \"?\", `?`, ? /* ? */ -- ?", 2),
            "select NULL, '?', \"?\", `?`, NULL /* ? */ -- ?");
  EXPECT_EQ(BindNullParameters("select\r\n  1", 0), "select\r\n  1");  // no "?": as it is
  EXPECT_EQ(BindNullParameters("select '?'\r\n", 0), "select '?' ");
  const std::string mismatch =
      "Po\xE8"
      "et vstupn\xED"
      "ch parametr\xF9 neodpov\xED"
      "d\xE1 o\xE8"
      "ek\xE1van\xE9mu po\xE8tu";
  EXPECT_EQ(ErrorOf([] { BindNullParameters("select ?", 0); }), mismatch);
  EXPECT_EQ(ErrorOf([] { BindNullParameters("select ?, ?", 1); }), mismatch);
  // With backslash escapes "'\\', '" is one string and the "?" after it a marker; without
  // them "'\\'" ends at its second quote.
  EXPECT_EQ(ErrorOf([] { BindNullParameters("select '\\', '?'", 0); }), mismatch);
  EXPECT_EQ(ErrorOf([] { BindNullParameters("select '\\', '?'", 0, EscapeMode::kNoBackslash); }),
            "(no error)");
  EXPECT_EQ(BindNullParameters("select '\\' ?, '?'", 1, EscapeMode::kNoBackslash),
            "select '\\' NULL, '?'");
}

TEST(BindNullParameters, ALineCommentStillEndsAtItsLineBreak) {
  // Collapsing the whitespace after a "--" or "#" comment to a blank would let the comment
  // swallow the next line (the WHERE clause of an UPDATE, say).
  EXPECT_EQ(BindNullParameters("update t set a = '?' -- add\r\n  where k = 1", 0),
            "update t set a = '?' -- add\nwhere k = 1");
  EXPECT_EQ(BindNullParameters("select '?' # c\r\n\r\nfrom t /* x */\r\n where 1", 0),
            "select '?' # c\nfrom t /* x */ where 1");
}

}  // namespace
}  // namespace larvek
