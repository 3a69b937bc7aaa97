// A terminal's request as a value: what a reception says, parsed once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larvek {

struct Request {
  // The reception with every CR, LF and "@" removed.
  std::string text;
  // The fields 0..n of the text between ";" separators, n being TokenCount(text, ';'): field 0
  // is the command name, fields 1..5 the parameters a..e; field n is always empty.
  std::vector<std::string> fields;

  // True when the text holds nothing but blanks and control characters: no request at all.
  bool IsBlank() const;
  // The command name (field 0).
  const std::string& Name() const { return fields.front(); }
  // Field i; throws the string-list error "List index out of bounds (i)" past the last one.
  const std::string& Field(int i) const;
};

// Splits a reception in one pass (time linear in its length). Throws the range error that
// TokenCount throws for a separator more than 65535 characters after the previous one.
Request ParseRequest(std::string_view reception);

}  // namespace larvek
