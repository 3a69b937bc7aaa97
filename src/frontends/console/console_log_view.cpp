#include "frontends/console/console_log_view.h"

#include "base/codepage.h"

namespace larvek {

void ConsoleLogView::AppendLine(const std::string& line) {
  std::string out = Cp1250ToUtf8(line);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), out_);
  std::fflush(out_);
}

}  // namespace larvek
