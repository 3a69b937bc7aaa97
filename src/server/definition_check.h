// The checks behind "srvlarvek --check": the command definitions read the way a start-up reads
// them, with what each one will do wrong, and the dry run of one request (the statements it
// would send and the reply the terminal would get) without changing anything in the database.
//
// Neither writes the activity log or the dump file, and neither runs the event loop.
#pragma once

#include <string>

namespace larvek {

struct CheckOutcome {
  std::string text;  // UTF-8, for standard output
  // 0: nothing wrong (a request: answered with records or the empty-result text);
  // 1: a warning was printed (a request: no reply, the error record or an unknown command);
  // 2: the configuration or the database could not be read.
  int status = 0;
};

// Every definition of the source that a start-up of the program at `program_path` would use:
// the rows of server_term, or the command sections of the own file.
CheckOutcome CheckDefinitions(const std::string& program_path);

// The dry run of one request, typed in UTF-8 as a terminal would send it (without the CR).
// Only single reading statements (select, show, describe, desc, explain, with) are run, inside
// a read-only transaction that is rolled back; every other statement is only shown.
CheckOutcome CheckRequest(const std::string& program_path, const std::string& request_utf8);

}  // namespace larvek
