// Whole-file reading and writing on POSIX descriptors. The functions report failure through
// their result and leave the system's reason in errno; each caller turns that into its own
// error, since the same failure reads differently for the configuration and the day log.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace larvek {

// Writes all of `bytes` to `fd`, going on after partial writes and interrupted calls. False
// with errno set when a write fails.
bool WriteAll(int fd, std::string_view bytes);

// Writes all of `bytes` to `fd` from byte `offset` on (positioned writes: the descriptor's
// own offset does not move), going on after partial writes and interrupted calls. False with
// errno set when a write fails or writes nothing.
bool WriteAllAt(int fd, std::string_view bytes, off_t offset);

// Reads `length` bytes of `fd` from byte `offset` on into `*out` (positioned reads), fewer
// when the file ends first. False with errno set when a read fails.
bool ReadAt(int fd, off_t offset, size_t length, std::string* out);

// Opens the file at `path` for reading when it is a regular file, filling `*st` with its
// status. The open does not wait (a FIFO without a writer would block it); anything but a
// regular file fails, with errno EISDIR for a directory and EINVAL for other kinds. The
// descriptor (the caller closes it), or -1 with errno set.
int OpenRegularFile(const std::string& path, struct stat* st);

// Reads the file at `path` whole into `*out`. False with errno set when it cannot be opened
// or read; `*out` is then empty.
bool ReadWholeFile(const std::string& path, std::string* out);

// Like ReadWholeFile, for a regular file only: the open does not wait (a FIFO without a writer
// would block it) and anything else fails, with errno EISDIR for a directory and EINVAL for
// other kinds. Fills `*st` (when given) with the status of the file that was read.
bool ReadRegularFile(const std::string& path, std::string* out, struct stat* st = nullptr);

struct ReplaceOptions {
  // Where the new content is written before it is renamed over the target; it must be in the
  // target's directory. Empty: a new file with a unique name (target + ".XXXXXX") that gets the
  // permission bits of the file it replaces, or 0666 less the umask when there is none. A path:
  // that file, truncated or created with 0644 less the umask (a link there is followed).
  std::string temp_path;
};

// The step at which ReplaceFileAtomically stopped; errno holds the system's reason.
enum class ReplaceResult {
  kReplaced,
  kCreateFailed,  // the temporary file could not be created or opened
  kWriteFailed,   // writing, flushing or closing the temporary file failed
  kRenameFailed,  // the temporary file could not take the target's place
};

// Replaces the content of the file at `path` by `bytes` so that the file holds either the old
// content or all of the new, also after a crash: the bytes go to a temporary file, which is
// flushed to disk and renamed over `path`, and the directory is flushed so that the rename
// lasts too. On failure the temporary file is removed and `path` is left as it was. `path` is
// replaced as it is: a link there is replaced by a file, not followed.
ReplaceResult ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                                    const ReplaceOptions& options = {});

}  // namespace larvek
