#include "db/db_connection.h"

#include <gtest/gtest.h>

#include <string_view>

#include "db_test_util.h"

namespace larvek {
namespace {

// Values quoted for the link's mode (QuoteSqlValue with Mode) come back from the database byte
// for byte.
class QuoteForLinkTest : public DbTest {
 protected:
  void TearDown() override { server.ResetSqlMode(); }

  std::string Quote(std::string_view value) { return QuoteSqlValue(value, connection.Mode()); }

  // Hostile values: quotes, backslashes (also trailing), control bytes, every high byte.
  static std::vector<std::string> Inputs() {
    std::vector<std::string> inputs = {
        "",
        "\"",
        "\"\"",
        "'",
        "\\",
        "abc\\",
        "\\\"",
        "\"\\",
        "a\\\\\"b",
        "\" or 1=1 -- ",
        "\"; drop table t; --",
        std::string("a\0b", 3),
        std::string("\0", 1),
        "\r\n",
        "line1\nline2\r",
        "\x1A",
        "%a%",
        "\\'\\\"",
    };
    std::string high;
    for (int c = 0x80; c <= 0xFF; ++c) high += static_cast<char>(c);
    inputs.push_back(high);
    std::string all;
    for (int c = 0; c <= 0xFF; ++c) all += static_cast<char>(c);
    inputs.push_back(all);
    return inputs;
  }

  // `SELECT "<quoted>"` through the layer returns the input byte for byte.
  void ExpectRoundTrips(const char* names) {
    DbQuery set(connection);
    set.SqlAdd(std::string("SET NAMES ") + names);
    set.ExecuteStatement();
    for (const std::string& input : Inputs()) {
      std::string quoted = Quote(input);
      query.SqlClear();
      query.SqlAdd("SELECT \"" + quoted + "\" AS v, HEX(\"" + quoted + "\") AS h");
      query.Open();
      std::string hex;
      for (unsigned char c : input) {
        static const char kDigits[] = "0123456789ABCDEF";
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
      }
      EXPECT_EQ(query.ColumnByName("h").AsString(kDefaultFormats), hex)
          << names << " input " << hex;
      // A zero byte cuts a short text column; otherwise the text itself comes back.
      if (input.find('\0') == std::string::npos) {
        EXPECT_EQ(query.ColumnByName("v").AsString(kDefaultFormats), input)
            << names << " input " << hex;
      }
    }
  }
};

TEST_F(QuoteForLinkTest, EscapesForTheServersMode) {
  EXPECT_EQ(Quote("a\"b\\c"), "a\"\"b\\\\c");
  EXPECT_TRUE(connection.Connected());  // Mode opens the link
  EXPECT_EQ(Quote(std::string("\0\r\n\x1A'", 5)), "\\0\\r\\n\\Z\\'");

  // A session switched to NO_BACKSLASH_ESCAPES: only quotes are doubled.
  DbQuery set(connection);
  set.SqlAdd("SET sql_mode = 'NO_BACKSLASH_ESCAPES'");
  set.ExecuteStatement();
  EXPECT_EQ(Quote(std::string("a\"b\\c\0\r", 7)), std::string("a\"\"b\\c\0\r", 8));
}

TEST_F(QuoteForLinkTest, HostileValuesRoundTripInTheDefaultMode) {
  ExpectRoundTrips("cp1250");
  ExpectRoundTrips("binary");
}

TEST_F(QuoteForLinkTest, HostileValuesRoundTripWithoutBackslashEscapes) {
  server.SetGlobalSqlMode("NO_BACKSLASH_ESCAPES");
  connection.Disconnect();  // a new link takes the global mode
  EXPECT_EQ(Quote("\\"), "\\");
  ExpectRoundTrips("cp1250");
  ExpectRoundTrips("binary");
}

// The login reply reports the global sql_mode; init_connect then runs and may set another one
// for the session. Values must be quoted for the mode the session confirmed, whichever it is,
// also when the first statement of a link carries them, and again after a statement changed it.
class ConfirmedModeTest : public DbTest {
 protected:
  void TearDown() override {
    server.Exec("SET GLOBAL init_connect = ''");
    server.ResetSqlMode();
  }

  // HEX of `value` as the session reads it, quoted for the mode the link confirms (Mode learns
  // it first on a link that has none).
  std::string HexAsSent(const std::string& value) {
    const std::string quoted = QuoteSqlValue(value, connection.Mode());
    query.SetFinishedStatement("SELECT HEX(\"" + quoted + "\") AS h");
    query.Open();
    std::string hex = query.ColumnByName("h").AsString(kDefaultFormats);
    query.Close();
    return hex;
  }
  static std::string Hex(const std::string& value) {
    std::string hex;
    for (unsigned char c : value) {
      static const char kDigits[] = "0123456789ABCDEF";
      hex += kDigits[c >> 4];
      hex += kDigits[c & 15];
    }
    return hex;
  }
  void Run(const std::string& statement) {
    DbQuery q(connection);
    q.SqlAdd(statement);
    q.ExecuteStatement();
  }
};

TEST_F(ConfirmedModeTest, ValuesAreQuotedForTheModeTheSessionConfirmed) {
  const std::vector<std::string> values = {
      "x\\\" union select 'EVIL' -- ", "\\\"", "\\", "'", "\\' or 1=1 -- ", "a\\\\\"b",
      std::string("\0\\\"", 3)};
  const struct {
    const char* name;
    const char* global_mode;
    const char* init_connect;
    EscapeMode session_mode;
  } cases[] = {
      {"global without escapes, session with them", "NO_BACKSLASH_ESCAPES",
       "SET SESSION sql_mode='STRICT_TRANS_TABLES'", EscapeMode::kBackslash},
      {"global with escapes, session without them", "STRICT_TRANS_TABLES",
       "SET SESSION sql_mode='NO_BACKSLASH_ESCAPES'", EscapeMode::kNoBackslash},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetGlobalSqlMode(c.global_mode);
    server.Exec(std::string("SET GLOBAL init_connect = \"") + c.init_connect + "\"");
    for (const std::string& value : values) {
      SCOPED_TRACE(Hex(value));
      connection.Disconnect();
      connection.EnsureOpen();
      EXPECT_EQ(connection.ConfirmedMode(), std::nullopt) << "the login reply does not confirm";
      EXPECT_EQ(HexAsSent(value), Hex(value)) << "as the first statement of the link";
      EXPECT_EQ(connection.ConfirmedMode(), c.session_mode);
      EXPECT_EQ(HexAsSent(value), Hex(value)) << "once confirmed";
    }
  }
}

TEST_F(ConfirmedModeTest, AStatementThatChangesTheModeOrFailsIsFollowed) {
  const std::string value = "x\\\" or \"\"=\"";
  Run("SET NAMES cp1250");
  EXPECT_EQ(connection.ConfirmedMode(), EscapeMode::kBackslash);
  Run("SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'");
  EXPECT_EQ(connection.ConfirmedMode(), EscapeMode::kNoBackslash);
  EXPECT_EQ(HexAsSent(value), Hex(value));
  Run("SET SESSION sql_mode = ''");
  EXPECT_EQ(connection.ConfirmedMode(), EscapeMode::kBackslash);
  EXPECT_EQ(HexAsSent(value), Hex(value));
  // An error reply carries no status flags: the mode must be confirmed again.
  EXPECT_NE(DbErrorOf([&] { Run("SELECT x FROM no_such_table"); }), "(no error)");
  EXPECT_EQ(connection.ConfirmedMode(), std::nullopt);
  EXPECT_EQ(connection.Mode(), EscapeMode::kBackslash);
  EXPECT_EQ(HexAsSent(value), Hex(value));
}

}  // namespace
}  // namespace larvek
