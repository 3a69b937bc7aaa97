#include "server/log_line_kind.h"

#include "commands/command_flow.h"

namespace larvek {
namespace {

constexpr LogPriority kError = LogPriority::kError;
constexpr LogPriority kWarning = LogPriority::kWarning;
constexpr LogPriority kInfo = LogPriority::kInfo;

// A log text as the table knows it: its fixed beginning and, for texts that share one, a fixed
// part further on, after a variable one (a name, a number).
struct LogText {
  std::string_view begins;
  std::string_view then;  // "" when the beginning tells it
  LogPriority priority;
  bool of_request;
};

// Every log text of the server and its requests (the README's table of log lines). The first
// entry that matches counts: a text with a `then` comes before one with the same beginning
// alone, a longer beginning before a shorter one.
constexpr LogText kLogTexts[] = {
    // The two lines of every request first: they are most of the log. No other text begins
    // with either.
    {"Na\xE8teno z ", "", kInfo, true},
    {"Odeslal na ", "", kInfo, true},
    // Start-up.
    {"srvlarvek verze ", "", kInfo, false},
    {"Server nelze spustit: ", "", kError, false},
    {"Chybn\xE1 hodnota [Server] Max_time=", "", kError, false},  // stops start-up
    {"Chybn\xE1 hodnota ", "", kWarning, false},                  // the value is not taken
    {"Varov\xE1n\xED: ", "", kWarning, false},                    // ANSI_QUOTES, a loopback address
    {"Paraleln\xED re\x9Eim: ", "", kInfo, false},
    {"Datab\xE1ze ", "", kInfo, false},
    {"N\xE1zev datab\xE1ze ", "", kWarning, false},
    // Listeners and connections.
    {"Naslouch\xE1 na ", "", kInfo, false},
    {"Stavov\xE9 str\xE1nky na ", "", kInfo, false},
    {"Nelze naslouchat (", "", kError, false},
    {"Naslouch\xE1n\xED nelze spustit: ", "", kError, false},
    {"Chyba serveru: ", "", kError, false},
    // One terminal's connection failed (often a terminal gone from the network); the others
    // are served.
    {"Chyba klienta: ", "", kWarning, false},
    {"P\xF8ipojeno. Klient: ", "", kInfo, false},
    {"Pr\xE1v\xEC je p\xF8ipojeno ", "", kInfo, false},
    {"Odpojen\xED klienta: ", "", kInfo, false},
    {"Odpojen klient ", "", kWarning, false},  // it did not read its replies
    {"Odm\xEDtnuto ", "", kWarning, false},
    // Logged once until a write succeeds again, so it is no line of one request.
    {"Nelze zapsat u.txt: ", "", kError, false},
    // Requests.
    {kRequestFailure, "", kError, true},
    {"Chyba p\xF8\xEDkazu ", "", kError, true},
    {"Odpov\xEC\xEF p\xF8\xEDkazu ", "", kWarning, true},  // longer than Max_reply
    {"P\xF8\xEDkaz ", "", kWarning, true},  // cut by the watchdog, or a name not looked up
    {"Po\x9E"
     "adavek ",
     "", kWarning, true},                    // cut at the end of the run
    {"Dotaz spojen\xED ", "", kInfo, true},  // the cut statement was killed
    {"KILL QUERY ", " se nezda\xF8il: ", kError, true},
    {"KILL QUERY ", "", kWarning, true},  // skipped: another database server
};

// Every line is looked up: the first byte rules out most texts before any comparison.
bool Matches(const LogText& known, std::string_view text) {
  if (text.empty() || text[0] != known.begins[0] || !text.starts_with(known.begins)) return false;
  return known.then.empty() || text.find(known.then, known.begins.size()) != std::string_view::npos;
}

}  // namespace

LogLineKind KindOfLogLine(std::string_view text) {
  for (const LogText& known : kLogTexts)
    if (Matches(known, text)) return {known.priority, known.of_request};
  return {};
}

std::string JournalPrefix(LogPriority priority) {
  return "<" + std::to_string(static_cast<int>(priority)) + ">";
}

}  // namespace larvek
