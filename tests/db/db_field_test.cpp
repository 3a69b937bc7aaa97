#include "db/db_field.h"

#include <gtest/gtest.h>

#include "base/regional.h"
#include "db_test_util.h"

namespace larvek {
namespace {

class DbFieldTest : public DbTest {
 protected:
  // Stores `literal` in a fresh one-column table of `column_type` and opens it through the layer.
  DbField& Stored(const std::string& column_type, const std::string& literal) {
    query.Close();
    server.Exec("DROP TABLE IF EXISTS larvek.v; CREATE TABLE larvek.v (v " + column_type +
                "); INSERT INTO larvek.v VALUES (" + literal + ")");
    return Open("select v from v").ColumnByName("v");
  }
};

TEST_F(DbFieldTest, AsStringPerColumnType) {
  struct Case {
    const char* type;
    std::string literal;
    FieldKind kind;
    std::string text;
  } cases[] = {
      {"INT", "-5", FieldKind::kInt32, "-5"},
      {"INT", "NULL", FieldKind::kInt32, ""},
      {"TINYINT UNSIGNED", "255", FieldKind::kInt16, "255"},
      {"SMALLINT", "-32768", FieldKind::kInt16, "-32768"},
      {"MEDIUMINT UNSIGNED", "16777215", FieldKind::kInt64, "16777215"},
      {"INT UNSIGNED", "4294967295", FieldKind::kInt64, "4294967295"},
      {"BIGINT", "12345678901", FieldKind::kInt64, "12345678901"},
      {"BIGINT", "-9223372036854775808", FieldKind::kInt64, "-9223372036854775808"},
      {"YEAR", "2024", FieldKind::kInt32, "2024"},
      {"DECIMAL(10,2)", "12.50", FieldKind::kFloat, "12,5"},
      {"DECIMAL(10,2)", "-0.05", FieldKind::kFloat, "-0,05"},
      {"DECIMAL(5,0)", "42", FieldKind::kInt32, "42"},
      {"DECIMAL(20,0)", "12345678901234567", FieldKind::kInt64, "12345678901234567"},
      {"DOUBLE", "0.0001", FieldKind::kFloat, "0,0001"},
      {"DOUBLE", "0.00001", FieldKind::kFloat, "1E-5"},
      {"DOUBLE", "1e20", FieldKind::kFloat, "1E20"},
      {"FLOAT", "1.5", FieldKind::kFloat, "1,5"},
      {"BIGINT UNSIGNED", "18446744073709551615", FieldKind::kFloat, "1,84467440737096E19"},
      {"DATE", "'2024-01-05'", FieldKind::kDate, "5.1.2024"},
      {"DATE", "'0000-00-00'", FieldKind::kDate, ""},
      {"DATE", "'1899-12-29'", FieldKind::kDate, "29.12.1899"},
      {"DATE", "'1899-12-30'", FieldKind::kDate, ""},  // day number 0 reads as NULL
      {"DATETIME", "'2024-01-05 00:00:00'", FieldKind::kDateTime, "5.1.2024"},
      {"DATETIME", "'2024-01-05 10:20:30'", FieldKind::kDateTime, "5.1.2024 10:20:30"},
      {"DATETIME", "'2024-01-05 00:00:01'", FieldKind::kDateTime, "5.1.2024 0:00:01"},
      {"DATETIME", "'0000-00-00 00:00:00'", FieldKind::kDateTime, ""},
      {"DATETIME(3)", "'2024-01-05 10:20:30.5'", FieldKind::kDateTime, "5.1.2024 10:20:30"},
      {"TIMESTAMP NULL", "'2024-01-05 10:20:30'", FieldKind::kDateTime, "5.1.2024 10:20:30"},
      {"TIME", "'08:05:00'", FieldKind::kTime, "8:05:00"},
      {"TIME", "'00:00:00'", FieldKind::kTime, ""},
      {"TIME", "'25:00:00'", FieldKind::kTime, "0:00:00"},
      {"VARCHAR(10)", "'a\\0b'", FieldKind::kText, std::string("a\0b", 3)},
      {"CHAR(3)", "'xy'", FieldKind::kText, "xy"},
      {"VARCHAR(9000)", "'a\\0b'", FieldKind::kLongText, std::string("a\0b", 3)},
      {"TEXT", "'a\\0b'", FieldKind::kLongText, std::string("a\0b", 3)},
      {"BLOB", "'a\\0b'", FieldKind::kBytes, std::string("a\0b", 3)},
      {"BIT(8)", "b'01000001'", FieldKind::kBytes, "A"},
      {"ENUM('x','y')", "'y'", FieldKind::kText, "y"},
      {"JSON", "'{\"a\":1}'", FieldKind::kBytes, "{\"a\":1}"},  // MariaDB: LONGTEXT, binary
  };
  for (const Case& c : cases) {
    DbField& f = Stored(c.type, c.literal);
    EXPECT_EQ(f.Kind(), c.kind) << c.type << " " << c.literal;
    EXPECT_EQ(f.AsString(kDefaultFormats), c.text) << c.type << " " << c.literal;
  }
}

TEST_F(DbFieldTest, AsStringFollowsTheRegionalSettings) {
  const RegionalSettings formats{"yyyy-mm-dd", "hh:nn", "."};
  EXPECT_EQ(Stored("DATETIME", "'2024-01-05 08:20:30'").AsString(formats), "2024-01-05 08:20");
  EXPECT_EQ(Stored("DECIMAL(10,2)", "12.50").AsString(formats), "12.5");
}

TEST_F(DbFieldTest, AsIntegerPerKind) {
  struct Case {
    const char* type;
    const char* literal;
    int32_t value;
  } cases[] = {
      {"INT", "-5", -5},
      {"INT", "NULL", 0},
      {"BIGINT", "4294967297", 1},  // the lower 32 bits
      {"BIGINT", "2147483648", INT32_MIN},
      {"DOUBLE", "2.5", 2},  // halves to the even neighbour
      {"DOUBLE", "3.5", 4},
      {"DOUBLE", "-2.5", -2},
      {"DOUBLE", "2.6", 3},
      {"DECIMAL(10,2)", "NULL", 0},
      {"VARCHAR(10)", "' 3'", 3},
      {"VARCHAR(10)", "'-12'", -12},
      {"VARCHAR(10)", "'$1F'", 31},
      {"VARCHAR(10)", "'0x10'", 16},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Stored(c.type, c.literal).AsInteger(), c.value) << c.type << " " << c.literal;

  struct Failure {
    const char* type;
    const char* literal;
    std::string message;
  } failures[] = {
      {"VARCHAR(10)", "'3 '", "'3 ' is not a valid integer value"},
      {"VARCHAR(10)", "'abc'", "'abc' is not a valid integer value"},
      {"VARCHAR(20)", "'99999999999'", "'99999999999' is not a valid integer value"},
      {"VARCHAR(10)", "NULL", "'' is not a valid integer value"},
      {"TEXT", "'1'", "Cannot access field 'v' as type Integer"},
      {"BLOB", "'1'", "Cannot access field 'v' as type Integer"},
      {"DATE", "'2024-01-05'", "Cannot access field 'v' as type Integer"},
      {"TIME", "'10:00:00'", "Cannot access field 'v' as type Integer"},
      {"DATETIME", "'2024-01-05 10:00:00'", "Cannot access field 'v' as type Integer"},
  };
  for (const Failure& f : failures) {
    DbField& field = Stored(f.type, f.literal);
    EXPECT_EQ(DbErrorOf([&] { field.AsInteger(); }), f.message) << f.type << " " << f.literal;
  }
}

TEST_F(DbFieldTest, FieldsOfAnEmptyResultReadAsNull) {
  server.Exec(
      "DROP TABLE IF EXISTS larvek.e; CREATE TABLE larvek.e (n INT, s VARCHAR(5), d DATETIME)");
  Open("select n, s, d from e");
  EXPECT_TRUE(query.NoRows());
  EXPECT_TRUE(query.AtEnd());
  EXPECT_EQ(query.ColumnByName("n").AsString(kDefaultFormats), "");
  EXPECT_EQ(query.ColumnByName("d").AsString(kDefaultFormats), "");
  EXPECT_TRUE(query.ColumnByName("s").IsNull());
  EXPECT_EQ(query.ColumnByName("n").AsInteger(), 0);
  EXPECT_EQ(DbErrorOf([&] { query.ColumnByName("s").AsInteger(); }),
            "'' is not a valid integer value");
}

}  // namespace
}  // namespace larvek
