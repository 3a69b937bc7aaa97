// The log view without a desktop: the lines are kept in memory, and each appended line is
// also written to an output stream (standard output by default) as UTF-8 followed by "\n"
// and flushed at once. Nothing else is written to that stream.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "server/log_view.h"

namespace larvek {

class ConsoleLogView : public LogView {
 public:
  // `out` is not owned.
  explicit ConsoleLogView(std::FILE* out = stdout) : out_(out) {}

  void AppendLine(const std::string& line) override;
  // Replaces the kept lines; nothing is written.
  void ReplaceLines(const std::vector<std::string>& lines) override { lines_ = lines; }
  std::vector<std::string> Lines() const override { return lines_; }
  void ScrollToEnd() override {}

 private:
  std::FILE* out_;
  std::vector<std::string> lines_;
};

}  // namespace larvek
