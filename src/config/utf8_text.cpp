#include "config/utf8_text.h"

namespace larvek {
namespace {

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at the start of `text`; 0 when none starts
// there. The ranges of the second byte exclude overlong forms, surrogates and code points
// beyond U+10FFFF.
size_t SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  const auto second = static_cast<unsigned char>(text[1]);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!IsContinuation(static_cast<unsigned char>(text[i]))) return 0;
  return length;
}

}  // namespace

bool LooksLikeUtf8(std::string_view value) {
  bool latin_letter = false;
  while (!value.empty()) {
    const size_t length = SequenceLength(value);
    if (length == 0) return false;
    const auto lead = static_cast<unsigned char>(value[0]);
    if (length == 2 && lead >= 0xC3 && lead <= 0xC5) latin_letter = true;
    value.remove_prefix(length);
  }
  return latin_letter;
}

std::vector<IniFile::Entry> Utf8LookingValues(const IniFile& file) {
  std::vector<IniFile::Entry> found;
  for (IniFile::Entry& entry : file.Entries())
    if (LooksLikeUtf8(entry.value)) found.push_back(std::move(entry));
  return found;
}

}  // namespace larvek
