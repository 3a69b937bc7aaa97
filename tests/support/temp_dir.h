// A private temporary directory for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace larvek::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path, ending in "/".
  const std::string& Path() const { return path_; }
  // Writes a file below the directory (creating parent directories) and returns its path.
  std::string Write(const std::string& relative, const std::string& bytes) const;
  // Reads a whole file; empty when it does not exist.
  static std::string Read(const std::string& path);

 private:
  std::string path_;
};

}  // namespace larvek::testing
