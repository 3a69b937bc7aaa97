#include "base/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <array>
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

std::string_view Cp1250ByteAsUtf8(unsigned char byte) {
  // Windows-1250 has one byte per character and no state, so the text converts byte by byte;
  // what iconv makes of each byte (at most three UTF-8 bytes) is asked once.
  struct Utf8 {
    char bytes[3];
    unsigned char size;
  };
  static const std::array<Utf8, 256> by_byte = [] {
    Converter converter("UTF-8", "WINDOWS-1250");
    std::array<Utf8, 256> table{};
    for (int b = 0; b < 256; ++b) {
      const std::string utf8 = converter.Run(std::string(1, static_cast<char>(b)), "\xEF\xBF\xBD");
      if (utf8.empty() || utf8.size() > 3) throw std::runtime_error("iconv: unexpected UTF-8");
      std::copy(utf8.begin(), utf8.end(), table[b].bytes);
      table[b].size = static_cast<unsigned char>(utf8.size());
    }
    return table;
  }();
  return {by_byte[byte].bytes, by_byte[byte].size};
}

void AppendCp1250AsUtf8(std::string& out, std::string_view text) {
  size_t plain = 0;  // the start of the ASCII bytes not yet appended
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) continue;
    out.append(text, plain, i - plain);
    out += Cp1250ByteAsUtf8(byte);
    plain = i + 1;
  }
  out.append(text, plain, text.size() - plain);
}

std::string Cp1250ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  AppendCp1250AsUtf8(out, text);
  return out;
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
