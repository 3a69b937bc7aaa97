// A small model of how the database server splits a statement into code, strings, quoted
// names and comments, written apart from the program's own readers so that the statement
// fuzz target can check them against it. It follows the server on a Windows-1250 link
// (SET NAMES cp1250), as the commands run:
// - '...' and "..." strings: a doubled quote is a quote; a backslash escapes the next byte
//   only with backslash escapes on; `...` names: a doubled backquote, never a backslash;
// - "#" comments and "--" comments run to LF; "--" starts one only before the end or a byte
//   the server's Windows-1250 table calls blank or control (0x00-0x20, 0x7F, 0x80, 0x81, 0x83,
//   0x88, 0x90, 0x98, 0xA0), checked against a real server;
// - "/* ... */" comments end at the first "*/" after the "/*"; "/*!" and "/*M!" open code,
//   except that a versioned one ("/*!" or "/*M!" and five digits) whose version the server
//   does not run is a comment that may hold one nested "/* ... */" (which version runs
//   depends on the server, so the model takes the choice as an argument);
// - everything else is code: runs of blanks, runs of word bytes, single other bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "db/sql_statement.h"

namespace larvek::fuzz {

enum class ServerTokenKind {
  kBlank,
  kCode,
  kSingleQuoted,
  kDoubleQuoted,
  kBackquoted,
  kLineComment,
  kBlockComment,
};

struct ServerToken {
  ServerTokenKind kind;
  std::string_view text;  // with its quotes or comment marks
  bool closed;            // false for a string, name or block comment cut off by the end
};

enum class VersionedComments { kRun, kSkipped };

std::vector<ServerToken> LexLikeServer(std::string_view text, EscapeMode mode,
                                       VersionedComments versioned);

bool IsStringToken(const ServerToken& token);

// The value of a closed string token as the server stores it: quotes removed, doubled quotes
// single, and with backslash escapes \0 \b \n \r \t \Z become their control bytes, \% and \_
// keep their backslash, and any other escaped byte stands for itself.
std::string DecodeString(const ServerToken& token, EscapeMode mode);

const char* KindName(ServerTokenKind kind);

}  // namespace larvek::fuzz
