// Scratch files for the fuzz targets that read from disk.
#include "fuzz_support.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace larvek::fuzz {

const std::string& ScratchDir() {
  // Kept on the heap, never destroyed: the removal at exit still needs the name.
  static const std::string* const dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "larvek_fuzz.XXXXXX").string();
    if (!mkdtemp(pattern.data())) FailInvariant("cannot create a scratch directory");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchDir(), ignored);
    });
    return new std::string(pattern + "/");
  }();
  return *dir;
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) FailInvariant("cannot write " + path);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace larvek::fuzz
