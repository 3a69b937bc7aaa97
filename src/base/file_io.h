// Whole-file reading and writing on POSIX descriptors. Each function returns a Result (see
// result.h): its value, or the system's errno when it failed.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "base/result.h"

namespace larvek {

// Writes all of `bytes` to `fd`, going on after partial writes and interrupted calls; fails
// when a write fails.
Result<void> WriteAll(int fd, std::string_view bytes);

// Writes all of `bytes` to `fd` from byte `offset` on (positioned writes: the descriptor's
// own offset does not move), going on after partial writes and interrupted calls; fails when a
// write fails or writes nothing (EIO).
Result<void> WriteAllAt(int fd, std::string_view bytes, off_t offset);

// The `length` bytes of `fd` from byte `offset` on (positioned reads), fewer when the file
// ends first; fails when a read fails.
Result<std::string> ReadAt(int fd, off_t offset, size_t length);

// A regular file opened for reading, with its status.
struct OpenFile {
  int fd;  // the caller closes it
  struct stat status;
};

// Opens the file at `path` for reading when it is a regular file. The open does not wait (a
// FIFO without a writer would block it); anything but a regular file fails, with EISDIR for a
// directory and EINVAL for other kinds.
Result<OpenFile> OpenRegularFile(const std::string& path);

// The content of the file at `path`; fails when it cannot be opened or read.
Result<std::string> ReadWholeFile(const std::string& path);

// A file's content with the status of the file it was read from.
struct FileContent {
  std::string bytes;
  struct stat status;
};

// Like ReadWholeFile, for a regular file only: the open does not wait (a FIFO without a writer
// would block it) and anything else fails, with EISDIR for a directory and EINVAL for other
// kinds.
Result<FileContent> ReadRegularFile(const std::string& path);

struct ReplaceOptions {
  // Where the new content is written before it is renamed over the target; it must be in the
  // target's directory. Empty: a new file with a unique name (target + ".XXXXXX") that gets the
  // permission bits of the file it replaces, or 0666 less the umask when there is none. A path:
  // that file, truncated or created with 0644 less the umask (a link there is followed).
  std::string temp_path;
};

// The step at which ReplaceFileAtomically stopped.
enum class ReplaceStep {
  kCreate,  // the temporary file could not be created or opened
  kWrite,   // writing, flushing or closing the temporary file failed
  kRename,  // the temporary file could not take the target's place
};

struct ReplaceFailure {
  ReplaceStep step;
  int code;  // the system's errno
};

// Replaces the content of the file at `path` by `bytes` so that the file holds either the old
// content or all of the new, also after a crash: the bytes go to a temporary file, which is
// flushed to disk and renamed over `path`, and the directory is flushed so that the rename
// lasts too. On failure the temporary file is removed and `path` is left as it was. `path` is
// replaced as it is: a link there is replaced by a file, not followed.
Result<void, ReplaceFailure> ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                                                   const ReplaceOptions& options = {});

}  // namespace larvek
