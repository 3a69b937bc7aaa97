#include "frontends/console/console_log_view.h"

#include "base/codepage.h"

namespace larvek {

namespace {

// A log line holds whatever a terminal sent; on the administrator's terminal a raw control
// byte could move the cursor, clear the screen or change its settings. Bytes below 0x20 other
// than tab, and 0x7F, are written as \xNN. Windows-1250 bytes from 0x80 up are letters and
// stay as they are; a backslash stays a plain backslash.
std::string WithVisibleControlBytes(const std::string& line) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(line.size());
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void ConsoleLogView::AppendLine(const std::string& line, LogLineKind kind) {
  if (kind.of_request && !echo_request_lines_) return;
  if (mark_priorities_) pending_ += JournalPrefix(kind.priority);
  pending_ += Cp1250ToUtf8(WithVisibleControlBytes(line));
  pending_ += '\n';
  if (!held_) Flush();
}

void ConsoleLogView::Flush() {
  if (pending_.empty()) return;
  std::fwrite(pending_.data(), 1, pending_.size(), out_);
  std::fflush(out_);
  pending_.clear();
}

}  // namespace larvek
