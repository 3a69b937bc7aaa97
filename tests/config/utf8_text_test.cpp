#include "config/utf8_text.h"

#include <gtest/gtest.h>

#include <string>

#include "base/codepage.h"
#include "config/ini_file.h"

namespace larvek {
namespace {

// Czech words as a Windows-1250 file holds them: none looks like UTF-8, and each one typed in a
// UTF-8 editor does. Some of them hold valid UTF-8 pairs in Windows-1250 too ("\xCD\x8A" in
// PŘÍŠTÍ, "\xDA\x8E" in ÚŽINA, which is valid UTF-8 as a whole).
TEST(Utf8TextTest, CzechWordsInBothEncodings) {
  const char* const kWords[] = {
      "P\xD8\xCD\x8AT\xCD",               // PŘÍŠTÍ
      "\xDA\x8EINA",                      // ÚŽINA
      "NEN\xCD",                          // NENÍ
      "\x8Aroub M6",                      // Šroub M6
      "p\xF8\xEDjem",                     // příjem
      "\x9Elu\x9Dou\xE8k\xFD k\xF9\xF2",  // žluťoučký kůň
      "\xDAst\xED nad Labem",             // Ústí nad Labem
      "\xC8\xE1slav",                     // Čáslav
      "Dvo\xF8\xE1k",                     // Dvořák
      "P\xD8\xCDJEM \x8ELUT\xC9HO",       // PŘÍJEM ŽLUTÉHO
  };
  for (const char* word : kWords) {
    SCOPED_TRACE(Cp1250ToUtf8(word));
    EXPECT_FALSE(LooksLikeUtf8(word));
    EXPECT_TRUE(LooksLikeUtf8(Cp1250ToUtf8(word)));
  }
}

// What besides a word decides: valid UTF-8 as a whole, with a pair led by 0xC3, 0xC4 or 0xC5.
TEST(Utf8TextTest, OnlyWholeUtf8WithALatinLetterCounts) {
  const struct {
    const char* what;
    std::string value;
    bool utf8;
  } cases[] = {
      {"empty", "", false},
      {"ASCII only", "STAV;A1 select kod from sklad", false},
      {"a German letter", "M\xC3\xBCller", true},
      {"a Polish letter",
       "\xC5\x81\xC3\xB3"
       "d\xC5\xBA",
       true},
      {"only a three-byte sequence", "cena 5 \xE2\x82\xAC", false},
      {"a pair of another lead", "\xCE\xB1\xCE\xB2", false},
      {"a UTF-8 word and a Windows-1250 byte", "NEN\xC3\x8D \xE8", false},
      {"a lead byte at the end", "NEN\xC3", false},
      {"an overlong form", "\xC0\xAF \xC3\xA1", false},
      {"a surrogate", "\xED\xA0\x80 \xC3\xA1", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80 \xC3\xA1", false},
      {"a four-byte sequence beside a letter", "\xF0\x9F\x98\x80 \xC4\x8D", true},
  };
  for (const auto& c : cases) EXPECT_EQ(LooksLikeUtf8(c.value), c.utf8) << c.what;
}

TEST(Utf8TextTest, ValuesAreNamedInFileOrderAsAReadFindsThem) {
  const IniFile file(
      "[LogOn]\r\nUser=u\xC5\xBE"
      "ivatel\r\n"
      "[STAV]\r\nChyba=NEN\xCD\r\nPrikaz_SQL1=select 'P\xC5\x98\xC3\x8D' \r\n"
      "prikaz_sql1=select '\xC3\xA1'\r\n"
      "[Stav]\r\nChyba=NEN\xC3\x8D\r\n"
      "[Server]\r\nUkoncovac=\"\xC4\x8D\"\r\n");
  const std::vector<IniFile::Entry> found = Utf8LookingValues(file);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].section + " " + found[0].key + "=" + found[0].value,
            "LogOn User=u\xC5\xBE"
            "ivatel");
  // The first key of a name is the one read; a repeated section is never read.
  EXPECT_EQ(found[1].section + " " + found[1].key + "=" + found[1].value,
            "STAV Prikaz_SQL1=select 'P\xC5\x98\xC3\x8D'");
  EXPECT_EQ(found[2].section + " " + found[2].key + "=" + found[2].value,
            "Server Ukoncovac=\xC4\x8D");
}

}  // namespace
}  // namespace larvek
