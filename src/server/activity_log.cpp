#include "server/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/file_io.h"
#include "base/text.h"

namespace larvek {
namespace {

std::string DayDirectory(const std::string& program_dir, const LocalDateTime& date) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", date.year, date.month, date.day);
  return program_dir + buf;
}

void CreateDirectories(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
}

}  // namespace

std::string DailyLogPath(const std::string& program_dir, const LocalDateTime& date) {
  return DayDirectory(program_dir, date) + "/log.txt";
}

ActivityLog::ActivityLog(LogView& view, std::string program_dir)
    : view_(view), program_dir_(std::move(program_dir)) {}

void ActivityLog::AddLogLine(const std::string& text) {
  view_.FreezeRedraw(true);
  try {
    LocalDateTime now = Now();
    std::string line = FormatClockTime(now.hour, now.minute, now.second) + "  " + text;
    view_.AppendLine(line);
    AppendToDayFile(DailyLogPath(program_dir_, now), line);
  } catch (...) {
    view_.FreezeRedraw(false);
    view_.ScrollToEnd();
    throw;
  }
  view_.FreezeRedraw(false);
  view_.ScrollToEnd();
}

// Open, append, close: the line is in the file as soon as this returns, and no descriptor
// is held across days or across Save replacing the file.
void ActivityLog::AppendToDayFile(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    CreateDirectories(path.substr(0, path.rfind('/')));
    fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  bool ok = fd >= 0;
  std::string record = line + "\r\n";
  if (ok && !size_before_run_.count(path)) {
    struct stat st {};
    size_before_run_[path] = fstat(fd, &st) == 0 ? st.st_size : 0;
    // A file that ends inside a line (a write torn by a crash or a full disk) gets a line
    // break first, so the new line is not glued to the broken one.
    char last = '\n';
    if (size_before_run_[path] > 0 && pread(fd, &last, 1, size_before_run_[path] - 1) == 1 &&
        last != '\n' && last != '\r')
      record.insert(0, "\r\n");
  }
  if (ok) ok = WriteAll(fd, record);
  int saved = errno;
  if (fd >= 0) close(fd);
  if (!ok && !append_failure_noted_) {
    append_failure_noted_ = true;
    std::fprintf(stderr, "Cannot append to log file \"%s\". %s\n", path.c_str(),
                 std::strerror(saved));
  }
}

void ActivityLog::Load() {
  const std::string path = DailyLogPath(program_dir_, Now());
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) throw Error::FileOpen(path, errno);
    loaded_ = true;  // no file today: the view is the whole day's log
    return;
  }
  std::string text;
  if (!ReadWholeFile(path, &text)) throw Error::FileOpen(path, errno);
  view_.ReplaceLines(SplitLines(text));
  loaded_ = true;
}

void ActivityLog::Save() {
  const LocalDateTime now = Now();
  const std::string path = DailyLogPath(program_dir_, now);
  CreateDirectories(DayDirectory(program_dir_, now));

  // Without a load the view lacks the day's earlier lines: keep them from the file.
  std::string text;
  if (!loaded_) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      if (!ReadWholeFile(path, &text)) throw Error::FileOpen(path, errno);
      auto it = size_before_run_.find(path);
      if (it != size_before_run_.end() && static_cast<size_t>(it->second) < text.size())
        text.resize(static_cast<size_t>(it->second));
    }
    // A second save must not take this save's lines for earlier ones.
    size_before_run_.emplace(path, static_cast<off_t>(text.size()));
  }
  for (const std::string& line : view_.Lines()) {
    text += line;
    text += "\r\n";
  }

  switch (ReplaceFileAtomically(path, text, {.temp_path = path + ".tmp"})) {
    case ReplaceResult::kReplaced:
      return;
    case ReplaceResult::kCreateFailed:
    case ReplaceResult::kRenameFailed:
      throw Error::FileCreate(path, errno);
    case ReplaceResult::kWriteFailed:
      throw Error::Write();
  }
}

}  // namespace larvek
