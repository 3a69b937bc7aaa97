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

// Writes all of `data`; false with errno set on failure.
bool WriteAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Reads the whole file; false with errno set on failure.
bool ReadAll(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
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
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    CreateDirectories(path.substr(0, path.rfind('/')));
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  bool ok = fd >= 0;
  if (ok && !size_before_run_.count(path)) {
    struct stat st {};
    size_before_run_[path] = fstat(fd, &st) == 0 ? st.st_size : 0;
  }
  if (ok) ok = WriteAll(fd, line + "\r\n");
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
  if (!ReadAll(path, &text)) throw Error::FileOpen(path, errno);
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
      if (!ReadAll(path, &text)) throw Error::FileOpen(path, errno);
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

  const std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw Error::FileCreate(path, errno);
  bool ok = WriteAll(fd, text);
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlink(tmp.c_str());
    throw Error::Write();
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    throw Error::FileCreate(path, saved);
  }
}

}  // namespace larvek
