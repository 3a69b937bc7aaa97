#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("srvlarvek %s\n", LARVEK_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: srvlarvek [--console] [--version] [--help]\n");
      return 0;
    }
  }
  std::fprintf(stderr, "srvlarvek: nothing to do yet\n");
  return 1;
}
