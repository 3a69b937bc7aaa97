#include "base/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace larvek {
namespace {

// One iconv descriptor per direction, opened on first use and kept for the run.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  }
  ~Converter() { iconv_close(cd_); }

  // Converts text; what cannot be converted is skipped and `replacement` is written in its
  // place: one whole character where `skip` says how long it is, else one byte.
  std::string Run(std::string_view text, std::string_view replacement,
                  size_t (*skip)(std::string_view) = nullptr) {
    std::string out;
    out.reserve(text.size() * 2);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char buf[1024];
    while (in_left > 0) {
      char* o = buf;
      size_t o_left = sizeof buf;
      size_t rc = iconv(cd_, &in, &in_left, &o, &o_left);
      out.append(buf, o - buf);
      if (rc == static_cast<size_t>(-1)) {
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL: this input byte cannot be converted.
        out.append(replacement);
        size_t n = skip ? skip(std::string_view(in, in_left)) : 1;
        in += n;
        in_left -= n;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    return out;
  }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 character at the start of `text` when it is a well-formed one (or one
// cut short by the end of the text), else 1: a stray byte is one character of its own.
size_t Utf8CharLength(std::string_view text) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  size_t n = lead >= 0xF0 && lead <= 0xF4  ? 4
             : lead >= 0xE0                ? 3
             : lead >= 0xC2 && lead < 0xE0 ? 2
                                           : 1;
  if (lead > 0xF4) return 1;
  n = std::min(n, text.size());
  for (size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace

std::string Cp1250ToUtf8(std::string_view text) {
  static Converter converter("UTF-8", "WINDOWS-1250");
  return converter.Run(text, "\xEF\xBF\xBD");
}

std::string Utf8ToCp1250(std::string_view text) {
  static Converter converter("WINDOWS-1250", "UTF-8");
  return converter.Run(text, "?", Utf8CharLength);
}

std::string VisibleCp1250(std::string_view text) {
  std::string out;
  for (unsigned char c : Cp1250ToUtf8(text)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace larvek
