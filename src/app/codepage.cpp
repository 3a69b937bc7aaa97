#include "app/codepage.h"

#include <iconv.h>

#include <cerrno>
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

  // Converts text; a byte sequence that cannot be converted is skipped (one byte) and
  // `replacement` is written in its place.
  std::string Run(std::string_view text, std::string_view replacement) {
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
        ++in;
        --in_left;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string Cp1250ToUtf8(std::string_view text) {
  static Converter converter("UTF-8", "WINDOWS-1250");
  return converter.Run(text, "\xEF\xBF\xBD");
}

std::string Utf8ToCp1250(std::string_view text) {
  static Converter converter("WINDOWS-1250", "UTF-8");
  return converter.Run(text, "?");
}

}  // namespace larvek
