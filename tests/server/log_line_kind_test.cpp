#include "server/log_line_kind.h"

#include <gtest/gtest.h>

#include <string>

#include "commands/command_flow.h"

namespace larvek {
namespace {

// Texts that share a beginning are told apart by what follows it; a known beginning further
// inside a text does not count.
TEST(LogLineKindTest, TextsWithACommonBeginningAreToldApart) {
  constexpr LogPriority kError = LogPriority::kError;
  constexpr LogPriority kWarning = LogPriority::kWarning;
  constexpr LogPriority kInfo = LogPriority::kInfo;
  const struct {
    std::string text;
    LogPriority priority;
    bool of_request;
  } cases[] = {
      {"KILL QUERY 17 se nezda\xF8il: EDatabaseError: SQL chyba: Unknown thread id: 17", kError,
       true},
      {"KILL QUERY 17 vynech\xE1n: spojen\xED vede k jin\xE9mu serveru datab\xE1ze", kWarning,
       true},
      {"Chybn\xE1 hodnota [Server] Max_time=-1: Range check error", kError, false},
      {"Chybn\xE1 hodnota [Server] Parallel_requests=x: plat\xED cel\xE9 \xE8\xEDslo", kWarning,
       false},
      {"Odpojen\xED klienta: 10.0.0.5   Trv\xE1n\xED: 00:00:01", kInfo, false},
      {"Odpojen klient 10.0.0.5: ne\xE8te odpov\xEC"
       "di",
       kWarning, false},
      {"Naslouch\xE1 na 10.0.0.1:2000", kInfo, false},
      {"Naslouch\xE1n\xED nelze spustit: Address not available (#10049 in Bind).", kError, false},
      {"Datab\xE1ze db.example m\xE1 adresu 10.0.0.9", kInfo, false},
      {"N\xE1zev datab\xE1ze db.example nelze p\xF8"
       "elo\x9Eit: Name or service not known",
       kWarning, false},
      {std::string(kRequestFailure) + "EDatabaseError: SQL chyba: Lost connection", kError, true},
      {"Chyba p\xF8\xEDkazu STAV: EDatabaseError: SQL chyba: Lock wait timeout (#1205)", kError,
       true},
      {"Na\xE8teno z 10.0.0.5: 'Chyba serveru: '", kInfo, true},
      {"Odeslal na 10.0.0.5: STAV;NENI", kInfo, true},
      {"something else: Chyba serveru: x", kInfo, false},
      {"", kInfo, false},
  };
  for (const auto& c : cases) {
    const LogLineKind kind = KindOfLogLine(c.text);
    EXPECT_EQ(kind.priority, c.priority) << c.text;
    EXPECT_EQ(kind.of_request, c.of_request) << c.text;
  }
}

}  // namespace
}  // namespace larvek
