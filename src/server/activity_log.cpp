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

// The first piece read from the end of the day's file at start-up; it doubles until it holds
// the lines the view keeps.
constexpr off_t kFirstTailPiece = 64 * 1024;

// Every line asks for its day's directory: "YYYYMMDD" formatted without the C library's
// format parser.
std::string DayDirectory(const std::string& program_dir, std::chrono::year_month_day date) {
  const int year = static_cast<int>(date.year());
  if (year < 0 || year > 9999) {  // never a date of this clock; formatted as always
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02u%02u", year, static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()));
    return program_dir + buf;
  }
  const unsigned month = static_cast<unsigned>(date.month());
  const unsigned day = static_cast<unsigned>(date.day());
  const char digits[8] = {
      static_cast<char>('0' + year / 1000),     static_cast<char>('0' + year / 100 % 10),
      static_cast<char>('0' + year / 10 % 10),  static_cast<char>('0' + year % 10),
      static_cast<char>('0' + month / 10 % 10), static_cast<char>('0' + month % 10),
      static_cast<char>('0' + day / 10 % 10),   static_cast<char>('0' + day % 10)};
  std::string dir;
  dir.reserve(program_dir.size() + 8);
  dir += program_dir;
  dir.append(digits, 8);
  return dir;
}

void CreateDirectories(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
}

bool SameSecond(LocalTime a, LocalTime b) {
  return std::chrono::floor<std::chrono::seconds>(a) == std::chrono::floor<std::chrono::seconds>(b);
}

// The last `count` lines of the file open at `fd` (`size` bytes long), read from its end.
Result<std::vector<std::string>> ReadLastLines(int fd, off_t size, size_t count) {
  std::vector<std::string> lines;
  if (count == 0 || size == 0) return lines;
  for (off_t piece = kFirstTailPiece;; piece *= 2) {
    const off_t start = piece < size ? size - piece : 0;
    const Result<std::string> text = ReadAt(fd, start, static_cast<size_t>(size - start));
    if (!text) return text.Failure();
    std::string_view whole(text.Value());
    if (start > 0) {
      // The piece may start inside a line (or between the CR and LF of a line end): it is
      // dropped up to its first line end.
      size_t end = whole.find_first_of("\r\n");
      if (end == std::string_view::npos) continue;
      if (whole[end] == '\r' && end + 1 < whole.size() && whole[end + 1] == '\n') ++end;
      whole.remove_prefix(end + 1);
    }
    lines = SplitLines(whole);
    if (lines.size() >= count || start == 0) break;
  }
  if (lines.size() > count)
    lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
  return lines;
}

}  // namespace

std::string DailyLogPath(const std::string& program_dir, std::chrono::year_month_day date) {
  return DayDirectory(program_dir, date) + "/log.txt";
}

ActivityLog::ActivityLog(LogView& view, std::string program_dir)
    : view_(view), program_dir_(std::move(program_dir)) {}

ActivityLog::~ActivityLog() {
  CloseDayFile();
}

void ActivityLog::AddLogLine(const std::string& text) {
  view_.FreezeRedraw(true);
  try {
    const LocalTime now = Now();
    // The buffer of the last line is used again; a line logged while this one is written
    // (a failure of the file) finds none and makes its own.
    std::string line = std::move(spare_line_);
    line.clear();
    line += FormatClockTime(TimeOfDay(now));
    line += "  ";
    line += text;
    line.reserve(line.size() + 2);  // room for the file's CR LF
    // The file first: a line that shows has been recorded.
    AppendToDayFile(now, line);
    view_.AppendLine(line, KindOfLogLine(text));
    spare_line_ = std::move(line);
  } catch (...) {
    view_.FreezeRedraw(false);
    view_.ScrollToEnd();
    throw;
  }
  view_.FreezeRedraw(false);
  view_.ScrollToEnd();
}

void ActivityLog::CloseDayFile() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  open_path_.clear();
}

bool ActivityLog::OpenFileStillAtPath() const {
  struct stat held {
  }, named{};
  return fstat(fd_, &held) == 0 && held.st_nlink > 0 && stat(open_path_.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

Result<bool> ActivityLog::OpenDayFile(const std::string& path) {
  CloseDayFile();
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    CreateDirectories(path.substr(0, path.rfind('/')));
    fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) return SystemError{errno};
  // A file that ends inside a line (a write torn by a crash or a full disk) gets a line break
  // first, so the new line is not glued to the broken one.
  struct stat st {};
  char last = '\n';
  const bool torn = fstat(fd, &st) == 0 && st.st_size > 0 &&
                    pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n' && last != '\r';
  fd_ = fd;
  open_path_ = path;
  return torn;
}

// One write() per line on a descriptor kept open: the line is in the file as soon as this
// returns. The descriptor follows the day, and once a second it is checked to still be the
// file at the path; a file moved away or deleted is followed by a new one.
void ActivityLog::AppendToDayFile(LocalTime now, std::string& line) {
  // The path is made anew only when the day is not the open file's.
  const std::chrono::year_month_day date = DateOf(now);
  bool reopen = fd_ < 0 || date != open_date_;
  if (!reopen && !SameSecond(now, last_check_)) reopen = !OpenFileStillAtPath();
  last_check_ = now;
  bool torn = false;
  if (reopen) {
    const std::string path = DailyLogPath(program_dir_, date);
    const Result<bool> opened = OpenDayFile(path);
    if (!opened) {
      NoteAppendFailure(path, opened.Failure().code);
      return;
    }
    open_date_ = date;
    torn = opened.Value();
  }
  line += "\r\n";
  const Result<void> written = torn ? WriteAll(fd_, "\r\n" + line) : WriteAll(fd_, line);
  line.resize(line.size() - 2);
  if (written) return;
  // A write that failed may have left part of the line: the next one opens the file anew and
  // starts on a line of its own.
  const std::string path = open_path_;
  CloseDayFile();
  NoteAppendFailure(path, written.Failure().code);
}

void ActivityLog::NoteAppendFailure(const std::string& path, int error) {
  write_failed_ = true;
  ++unwritten_lines_;
  if (append_failure_noted_) return;
  append_failure_noted_ = true;
  std::fprintf(stderr, "Cannot append to log file \"%s\". %s\n", path.c_str(),
               std::strerror(error));
}

void ActivityLog::Load() {
  const std::string path = DailyLogPath(program_dir_, DateOf(Now()));
  const Result<OpenFile> file = OpenRegularFile(path);
  if (!file) {
    const int error = file.Failure().code;
    if (error != ENOENT && error != ENOTDIR) throw Error::FileOpen(path, error);
    return;  // no file today
  }
  const Result<std::vector<std::string>> lines =
      ReadLastLines(file.Value().fd, file.Value().status.st_size, view_.KeptLines());
  close(file.Value().fd);
  if (!lines) throw Error::FileOpen(path, lines.Failure().code);
  if (view_.KeptLines() > 0) view_.ReplaceLines(lines.Value());
}

void ActivityLog::AppendTypedLines() {
  if (typed_appended_) return;
  typed_appended_ = true;
  const std::vector<std::string> typed = view_.TypedLines();
  const LocalTime now = Now();
  for (std::string line : typed) AppendToDayFile(now, line);
}

}  // namespace larvek
