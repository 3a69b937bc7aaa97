// The tables a template writes, as "--check" finds them for a Galera cluster: the statement
// forms that write, the ones that only look alike, and names as statements write them.
#include "server/cluster_tables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larvek::testing {
namespace {

struct WrittenCase {
  const char* templ;
  std::vector<std::string> tables;  // "table" or "schema.table", in the order found
  EscapeMode mode = EscapeMode::kBackslash;
};

const WrittenCase kWrittenCases[] = {
    {"update sklad set mnozstvi = mnozstvi + %b% where kod = %a%", {"sklad"}},
    {"UPDATE LOW_PRIORITY IGNORE Sklad SET mnozstvi = 1", {"Sklad"}},
    {"update sklad", {"sklad"}},
    // The target of insert ... select; the tables it reads are not written.
    {"insert into archiv select * from sklad where kod = %a%", {"archiv"}},
    {"insert pohyby (kod, mnozstvi) values (%a%, %b%)", {"pohyby"}},
    {"insert high_priority ignore into pohyby set kod = %a%", {"pohyby"}},
    {"insert into sklad (kod) values (%a%) on duplicate key update mnozstvi = mnozstvi + 1",
     {"sklad"}},
    {"replace into `centrala`.`ceny` (kod, cena) values (%a%, %b%)", {"centrala.ceny"}},
    {"replace delayed centrala . ceny values (%a%)", {"centrala.ceny"}},
    {"insert into `po``hyby` values (1)", {"po`hyby"}},
    {"update \xE8\xEDsla set n = 1", {"\xE8\xEDsla"}},
    // Multi-table updates: every table named before "set", derived tables and conditions not.
    {"update centrala.ceny c join sklad s on s.kod = c.kod set c.cena = %b% where s.kod = %a%",
     {"centrala.ceny", "sklad"}},
    {"update a, b as x set a.n = x.n", {"a", "b"}},
    {"update t1 left outer join (select kod from t2) d using (kod) straight_join t3 set t1.n = 1",
     {"t1", "t3"}},
    {"delete from pohyby where kod = %a%", {"pohyby"}},
    {"DELETE LOW_PRIORITY QUICK IGNORE FROM `pohyby` WHERE 1", {"pohyby"}},
    {"delete t1, t2 from t1 join t2 on t1.id = t2.id join t3", {"t1", "t2"}},
    {"delete from t1, t2 using t1 join t2 join t3 where t1.id = t2.id", {"t1", "t2"}},
    // Several statements; each table once.
    {"set @n := 1; update sklad set n = @n; insert into pohyby values (1);\r\ndelete from pohyby",
     {"sklad", "pohyby"}},
    {"/* the stock */ update sklad set n = 1; update sklad set n = 2", {"sklad"}},
    // Alike, but not writing (or not a table).
    {"select kod from sklad where kod = %a% for update", {}},
    {"select replace(nazev, 'a', 'b'), insert(nazev, 1, 1, 'x') as n from sklad", {}},
    {"select 'update x set n = 1' /* delete from y */ -- insert into z", {}},
    {"select 1 # ; update x set n = 1", {}},
    {"select 1 from sklad where kod = %a% and last_update > 0", {}},
    {"update %a% set n = 1", {}},
    {"call zapis(%a%)", {}},
    // A backslash escapes the quote only where the link reads it so.
    {"select 'a\\' ; update t set n = 1", {}},
    {"select 'a\\' ; update t set n = 1", {"t"}, EscapeMode::kNoBackslash},
};

TEST(WrittenTables, FindsTheTablesEachStatementWrites) {
  for (const WrittenCase& c : kWrittenCases) {
    SCOPED_TRACE(c.templ);
    std::vector<std::string> found;
    for (const TableName& name : WrittenTables(c.templ, c.mode))
      found.push_back(name.schema.empty() ? name.table : name.schema + "." + name.table);
    EXPECT_EQ(found, c.tables);
  }
}

}  // namespace
}  // namespace larvek::testing
