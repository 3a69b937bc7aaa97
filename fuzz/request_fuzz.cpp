// Checks the one-pass request parser against the field-by-field reading it replaced: the same
// cleaned text, the same fields (TokenCount, then TokenAt for each), the same range error.
//
// Input: the reception's bytes. An input starting with 'L' instead describes a long reception
// (to reach the 16-bit separator distance): byte 1 is a filler byte, bytes 2-3 a signed
// big-endian offset from 65535 giving the filler's length, byte 4 where in the rest (modulo its
// length + 1) the filler goes, the rest the reception around it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "commands/request.h"
#include "commands/text_utils.h"
#include "fuzz_support.h"

namespace larvek::fuzz {
namespace {

// The reception as it was read before: clean, count, then take each field by index.
struct Reference {
  std::string text;
  std::vector<std::string> fields;
  bool range_error = false;
};

Reference ReadByTokens(std::string_view reception) {
  Reference ref;
  for (char c : reception)
    if (c != '\r' && c != '\n' && c != '@') ref.text += c;
  int n;
  try {
    n = TokenCount(ref.text, ';');
  } catch (const Error& e) {
    FUZZ_REQUIRE(e.ClassName() == kRangeError, "TokenCount throws " + e.ClassName());
    ref.range_error = true;
    return ref;
  }
  for (int i = 0; i <= n; ++i) ref.fields.push_back(TokenAt(ref.text, ';', i));
  return ref;
}

std::string Reception(std::string_view input) {
  if (input.size() < 5 || input[0] != 'L') return std::string(input);
  const char filler = input[1];
  const int16_t offset =
      static_cast<int16_t>((static_cast<uint8_t>(input[2]) << 8) | static_cast<uint8_t>(input[3]));
  std::string_view rest = input.substr(5);
  const size_t at = static_cast<uint8_t>(input[4]) % (rest.size() + 1);
  std::string out(rest.substr(0, at));
  out.append(static_cast<size_t>(65535 + offset), filler);
  out.append(rest.substr(at));
  return out;
}

}  // namespace
}  // namespace larvek::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larvek;
  using namespace larvek::fuzz;
  // The reference reading is quadratic: keep the field count small.
  if (size > 512) return 0;
  const std::string reception =
      Reception(std::string_view(reinterpret_cast<const char*>(data), size));
  size_t separators = 0;
  for (char c : reception) separators += c == ';';
  if (separators > 600) return 0;
  const Reference ref = ReadByTokens(reception);
  const std::string what =
      " for " + Printable(reception.size() > 200 ? reception.substr(0, 200) : reception);

  Request request;
  try {
    request = ParseRequest(reception);
  } catch (const Error& e) {
    FUZZ_REQUIRE(ref.range_error, "ParseRequest throws " + e.Message() + what);
    FUZZ_REQUIRE(e.ClassName() == kRangeError && e.Message() == "Range check error",
                 "ParseRequest throws " + e.ClassName() + " " + e.Message() + what);
    return 0;
  }
  FUZZ_REQUIRE(!ref.range_error, "ParseRequest accepts a separator too far away" + what);
  FUZZ_REQUIRE(request.text == ref.text, "cleaned text differs" + what);
  FUZZ_REQUIRE(request.fields == ref.fields,
               "fields differ: " + std::to_string(request.fields.size()) + " against " +
                   std::to_string(ref.fields.size()) + what);
  FUZZ_REQUIRE(request.Name() == ref.fields.front(), "name differs" + what);
  FUZZ_REQUIRE(request.fields.back().empty(), "the last field is not empty" + what);

  bool blank = true;
  for (unsigned char c : request.text) blank = blank && c <= 0x20;
  FUZZ_REQUIRE(request.IsBlank() == blank, "IsBlank differs" + what);

  const int count = static_cast<int>(request.fields.size());
  for (int i : {-1, count, count + 1}) {
    bool thrown = false;
    try {
      request.Field(i);
    } catch (const Error& e) {
      thrown = e.Message() == "List index out of bounds (" + std::to_string(i) + ")";
    }
    FUZZ_REQUIRE(thrown, "Field(" + std::to_string(i) + ") does not throw the list error" + what);
  }
  for (int i = 0; i < count; ++i)
    FUZZ_REQUIRE(request.Field(i) == ref.fields[i], "Field differs" + what);
  return 0;
}
