// How one request ended, as a value: what the terminal got, and why when it was a failure.
// The server counts these; the log lines are written along the way, not read back.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"

namespace larvek {

struct RequestOutcome {
  enum class Kind {
    kNothing,         // a blank reception: no request at all
    kRecords,         // records (or the lone CR of a modifying statement alone)
    kEmptyResult,     // the definition's empty-result text
    kErrorRecord,     // NAME;error: a statement or the database failed, or the reply was too long
    kUnknownCommand,  // NEZNAMY PRIKAZ!
    kNoReply,         // nothing was sent; the failure says why (the log has it too)
    kTimeoutRecord,   // the watchdog's NAME;timeout, sent after the request itself ended
  };

  Kind kind = Kind::kNothing;
  uint64_t rows = 0;                           // kRecords: the rows the records were built from
  std::optional<Error> failure;                // kErrorRecord, kNoReply: why
  std::chrono::steady_clock::duration took{};  // from the reception to the end of the request
  // The found definition's own name (CommandDefinition::own_name); empty when none was found.
  std::string command;
  bool cut = false;  // kNoReply: cut at the end of the run before it could end
};

}  // namespace larvek
