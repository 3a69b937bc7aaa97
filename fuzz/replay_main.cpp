// Replays the stored corpus of every fuzz target through the target's entry point, so that the
// ordinary test run keeps each finding and seed passing. Fails when a corpus folder is missing
// or empty, or when a target aborts (its invariant report and the input's path are printed).
//
// Usage: fuzz_replay CORPUS_DIR [TARGET [FILE...]]
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int StatementFuzzOne(const uint8_t* data, size_t size);
extern "C" int IniFuzzOne(const uint8_t* data, size_t size);
extern "C" int RequestFuzzOne(const uint8_t* data, size_t size);
extern "C" int TextUtilsFuzzOne(const uint8_t* data, size_t size);
extern "C" int ValueTextFuzzOne(const uint8_t* data, size_t size);
extern "C" int DayLogFuzzOne(const uint8_t* data, size_t size);

namespace {

struct Target {
  const char* name;
  int (*run)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"statement_fuzz", StatementFuzzOne},  {"ini_fuzz", IniFuzzOne},
    {"request_fuzz", RequestFuzzOne},      {"text_utils_fuzz", TextUtilsFuzzOne},
    {"value_text_fuzz", ValueTextFuzzOne}, {"day_log_fuzz", DayLogFuzzOne},
};

char g_current[4096];

void ReportCurrent(int signal) {
  const char prefix[] = "fuzz_replay: failing input: ";
  (void)!write(2, prefix, sizeof prefix - 1);
  (void)!write(2, g_current, strlen(g_current));
  (void)!write(2, "\n", 1);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void Replay(const Target& target, const std::filesystem::path& file) {
  std::snprintf(g_current, sizeof g_current, "%s %s", target.name, file.c_str());
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [TARGET [FILE...]]\n", argv[0]);
    return 2;
  }
  std::signal(SIGABRT, ReportCurrent);
  std::signal(SIGSEGV, ReportCurrent);
  const std::filesystem::path corpus = argv[1];
  int failures = 0;
  for (const Target& target : kTargets) {
    if (argc > 2 && std::strcmp(argv[2], target.name) != 0) continue;
    std::vector<std::filesystem::path> files;
    if (argc > 3) {
      for (int i = 3; i < argc; ++i) files.emplace_back(argv[i]);
    } else {
      std::error_code error;
      for (const auto& entry : std::filesystem::directory_iterator(corpus / target.name, error))
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
      std::fprintf(stderr, "%s: no inputs in %s\n", target.name, (corpus / target.name).c_str());
      ++failures;
      continue;
    }
    for (const auto& file : files) Replay(target, file);
    std::printf("%s: %zu inputs replayed\n", target.name, files.size());
  }
  return failures == 0 ? 0 : 1;
}
