#include "commands/request.h"

#include <algorithm>

#include "base/error.h"

namespace larvek {
namespace {

// A separator position must fit in 16 bits (see TokenCount).
constexpr size_t kMaxSeparatorDistance = 65535;

}  // namespace

bool Request::IsBlank() const {
  for (unsigned char c : text)
    if (c > 0x20) return false;
  return true;
}

const std::string& Request::Field(int i) const {
  if (i < 0 || i >= static_cast<int>(fields.size()))
    throw Error::StringList("List index out of bounds (" + std::to_string(i) + ")");
  return fields[i];
}

Request ParseRequest(std::string_view reception) {
  Request request;
  request.text.reserve(reception.size());
  for (char c : reception)
    if (c != '\r' && c != '\n' && c != '@') request.text += c;
  const std::string& text = request.text;
  // One field per separator, the last one and the empty one after it: allocated once.
  request.fields.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), ';')) + 2);
  size_t start = 0;
  while (true) {
    const size_t sep = text.find(';', start);
    if (sep == std::string::npos) {
      request.fields.emplace_back(text, start);
      break;
    }
    if (sep - start + 1 > kMaxSeparatorDistance) ThrowRangeError();
    request.fields.emplace_back(text, start, sep - start);
    start = sep + 1;
  }
  // A text that does not end with ";" has one more, empty field (TokenAt past the count).
  if (!text.empty() && text.back() != ';') request.fields.emplace_back();
  return request;
}

}  // namespace larvek
