// What a log line is about, told from its text: how much it weighs for a supervisor's journal
// (the syslog priorities a journal reads from a "<N>" at the start of each line of a service's
// standard output or standard error), and whether a request wrote it.
//
// The log texts are fixed Windows-1250 beginnings (see log_line_kind.cpp), so the kind of each
// line is looked up in one table of those texts rather than decided where each is written.
#pragma once

#include <string>
#include <string_view>

namespace larvek {

// The syslog priorities the log uses.
enum class LogPriority {
  kError = 3,    // something failed: the database, a listener, a write
  kWarning = 4,  // something was refused, cut or not taken as written; the server goes on
  kInfo = 6,     // everything else
};

struct LogLineKind {
  LogPriority priority = LogPriority::kInfo;
  // Written by a request: its reception, its reply, the lines of its failure or its cut.
  bool of_request = false;
};

// The kind of a log text (without its time stamp); a text the table does not know is an info
// line of the server.
LogLineKind KindOfLogLine(std::string_view text);

// The journal's mark of `priority` at the start of a line: "<3>", "<4>" or "<6>".
std::string JournalPrefix(LogPriority priority);

}  // namespace larvek
