// Helpers shared by the fuzz targets: failing an invariant with a readable report, printable
// byte strings, and a private scratch directory for targets that need files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace larvek::fuzz {

// Bytes with everything outside printable ASCII (and the backslash) as \xNN.
inline std::string Printable(std::string_view bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out + "\"";
}

// Reports a broken invariant and aborts, which libFuzzer and the replay both treat as a failure.
[[noreturn]] inline void FailInvariant(const std::string& what) {
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// A directory of its own for this process, created on first use and removed at exit.
const std::string& ScratchDir();

// Writes `bytes` to `path` (creating its directory), replacing the file; aborts on failure.
void WriteWholeFile(const std::string& path, std::string_view bytes);
// The whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace larvek::fuzz

// Fails with `what` unless `holds`; the message is only built for a failure.
#define FUZZ_REQUIRE(holds, what)                      \
  do {                                                 \
    if (!(holds)) ::larvek::fuzz::FailInvariant(what); \
  } while (false)
