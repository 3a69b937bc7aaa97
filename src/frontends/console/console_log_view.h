// The log view without a desktop: each appended line is written to an output stream
// (standard output by default) as UTF-8 followed by "\n". By default each line is flushed at
// once; held, the lines wait for Flush (the console calls it once per round of the event loop,
// so a busy server pays one write for many lines) and for the view's end. Control bytes
// (below 0x20 except tab, and 0x7F) are written as \xNN, so a terminal's bytes in a log line
// cannot drive the administrator's terminal; the day's file keeps the exact bytes. Nothing
// else is written to that stream, and no line is kept: the day's file is the record.
//
// Under a supervisor whose journal reads syslog priorities (MarkPriorities), each line starts
// with the journal's mark of its priority ("<3>", "<4>", "<6>"). Told so (EchoRequestLines),
// the lines requests write are left out; the day's file has them all the same.
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
  ~ConsoleLogView() override { Flush(); }
  ConsoleLogView(const ConsoleLogView&) = delete;
  ConsoleLogView& operator=(const ConsoleLogView&) = delete;

  // Lines appended from now on wait for Flush.
  void HoldUntilFlush() { held_ = true; }
  // Writes the lines that wait.
  void Flush();
  // Each line from now on starts with the journal's mark of its priority.
  void MarkPriorities() { mark_priorities_ = true; }

  void AppendLine(const std::string& line, LogLineKind kind) override;
  void EchoRequestLines(bool echoed) override { echo_request_lines_ = echoed; }
  // Nothing is kept and nothing is written.
  void ReplaceLines(const std::vector<std::string>& /*lines*/) override {}
  size_t KeptLines() const override { return 0; }
  void ScrollToEnd() override {}

 private:
  std::FILE* out_;
  bool held_ = false;
  bool mark_priorities_ = false;
  bool echo_request_lines_ = true;
  std::string pending_;  // held lines, converted
};

}  // namespace larvek
