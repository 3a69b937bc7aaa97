// TokenCount walks the separators once; the baseline cuts a copy token by token, which moves
// the rest of the text on every cut. Prints both times and their ratio for growing texts.
#include <chrono>
#include <cstdio>
#include <string>

#include "../fuzz/cut_token.h"
#include "commands/text_utils.h"

namespace {

int CountByCutting(const std::string& s, char sep) {
  std::string rest = s;
  int count = 0;
  while (!rest.empty()) {
    larvek::CutToken(rest, sep);
    ++count;
  }
  return count;
}

template <typename F>
double Seconds(F f, int repeat) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < repeat; ++i) f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / repeat;
}

}  // namespace

int main() {
  std::printf("%10s %14s %14s %8s\n", "tokens", "cutting (s)", "TokenCount (s)", "ratio");
  for (int tokens : {1000, 10000, 100000}) {
    std::string s;
    for (int i = 0; i < tokens; ++i) s += "field" + std::to_string(i) + ";";
    volatile int sink = 0;
    double base = Seconds([&] { sink = CountByCutting(s, ';'); }, 3);
    double fast = Seconds([&] { sink = larvek::TokenCount(s, ';'); }, 20);
    std::printf("%10d %14.6f %14.6f %8.1f\n", tokens, base, fast, base / fast);
  }
  return 0;
}
