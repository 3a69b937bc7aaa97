#include "db/db_connection.h"

#include <gtest/gtest.h>

#include "db_test_util.h"

namespace larvek {
namespace {

class QuoteValueTest : public DbTest {
 protected:
  void TearDown() override { server.ResetSqlMode(); }

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
      std::string quoted = connection.QuoteValue(input);
      query.SqlClear();
      query.SqlAdd("SELECT \"" + quoted + "\" AS v, HEX(\"" + quoted + "\") AS h");
      query.Open();
      std::string hex;
      for (unsigned char c : input) {
        static const char kDigits[] = "0123456789ABCDEF";
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
      }
      EXPECT_EQ(query.ColumnByName("h").AsString(), hex) << names << " input " << hex;
      // A zero byte cuts a short text column; otherwise the text itself comes back.
      if (input.find('\0') == std::string::npos) {
        EXPECT_EQ(query.ColumnByName("v").AsString(), input) << names << " input " << hex;
      }
    }
  }
};

TEST_F(QuoteValueTest, EscapesForTheServersMode) {
  EXPECT_EQ(connection.QuoteValue("a\"b\\c"), "a\"\"b\\\\c");
  EXPECT_TRUE(connection.Connected());  // QuoteValue opens the link
  EXPECT_EQ(connection.QuoteValue(std::string("\0\r\n\x1A'", 5)), "\\0\\r\\n\\Z\\'");

  // A session switched to NO_BACKSLASH_ESCAPES: only quotes are doubled.
  DbQuery set(connection);
  set.SqlAdd("SET sql_mode = 'NO_BACKSLASH_ESCAPES'");
  set.ExecuteStatement();
  EXPECT_EQ(connection.QuoteValue(std::string("a\"b\\c\0\r", 7)), std::string("a\"\"b\\c\0\r", 8));
}

TEST_F(QuoteValueTest, HostileValuesRoundTripInTheDefaultMode) {
  ExpectRoundTrips("cp1250");
  ExpectRoundTrips("binary");
}

TEST_F(QuoteValueTest, HostileValuesRoundTripWithoutBackslashEscapes) {
  server.SetGlobalSqlMode("NO_BACKSLASH_ESCAPES");
  connection.Disconnect();  // a new link takes the global mode
  EXPECT_EQ(connection.QuoteValue("\\"), "\\");
  ExpectRoundTrips("cp1250");
  ExpectRoundTrips("binary");
}

}  // namespace
}  // namespace larvek
