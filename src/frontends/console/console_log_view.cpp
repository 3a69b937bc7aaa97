#include "frontends/console/console_log_view.h"

#include "base/codepage.h"

namespace larvek {

namespace {

// A log line holds whatever a terminal sent; on the administrator's terminal a raw control
// byte could move the cursor, clear the screen or change its settings. Bytes below 0x20 other
// than tab, and 0x7F, are written as \xNN. Windows-1250 bytes from 0x80 up are letters and
// stay letters (in UTF-8); a backslash stays a plain backslash.
void AppendVisible(std::string& out, const std::string& line) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t plain = 0;  // the start of the ASCII bytes not yet appended
  for (size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if ((byte >= 0x20 && byte < 0x7F) || byte == '\t') continue;
    out.append(line, plain, i - plain);
    plain = i + 1;
    if (byte >= 0x80) {
      out += Cp1250ByteAsUtf8(byte);
      continue;
    }
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  out.append(line, plain, line.size() - plain);
}

}  // namespace

void ConsoleLogView::AppendLine(const std::string& line, LogLineKind kind) {
  if (kind.of_request && !echo_request_lines_) return;
  if (mark_priorities_) pending_ += JournalPrefix(kind.priority);
  AppendVisible(pending_, line);
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
