#include "base/file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace larvek {
namespace {

// The errno of the call that just failed.
SystemError LastError() {
  return SystemError{errno};
}

// Appends everything left to read from `fd` to `out`.
Result<void> ReadToEnd(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return {};
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

// Reads the rest of `fd` and closes it.
Result<std::string> ReadAndClose(int fd) {
  std::string bytes;
  const Result<void> read = ReadToEnd(fd, bytes);
  close(fd);
  if (!read) return read.Failure();
  return bytes;
}

// The permission bits a replacement of `path` keeps: those of the file there, or those a newly
// created file would get.
mode_t PermissionsToKeep(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The directory that holds `path`.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Flushes the directory entry of a file just renamed into `dir`. The new content is in place
// and visible by then, so a directory that cannot be opened (no read permission) or a file
// system that cannot flush one is passed over: the caller could not undo the rename anyway.
void SyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes `bytes` to the temporary file open at `fd` (giving it `mode` first when `set_mode`),
// flushes and closes it.
Result<void> WriteTemporaryFile(int fd, std::string_view bytes, bool set_mode, mode_t mode) {
  Result<void> written;
  if (set_mode && fchmod(fd, mode) != 0)
    written = LastError();
  else
    written = WriteAll(fd, bytes);
  if (written && fsync(fd) != 0) written = LastError();
  if (!written) {
    close(fd);
    return written;
  }
  if (close(fd) != 0) return LastError();
  return {};
}

}  // namespace

Result<void> WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

Result<void> WriteAllAt(int fd, std::string_view bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = pwrite(fd, bytes.data(), bytes.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) return SystemError{EIO};
    bytes.remove_prefix(static_cast<size_t>(n));
    offset += n;
  }
  return {};
}

Result<std::string> ReadAt(int fd, off_t offset, size_t length) {
  std::string out(length, '\0');
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        pread(fd, out.data() + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) break;  // the file ends (or got shorter meanwhile)
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

Result<OpenFile> OpenRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return LastError();
  OpenFile file{fd, {}};
  if (fstat(fd, &file.status) != 0) {
    const SystemError failure = LastError();
    close(fd);
    return failure;
  }
  if (!S_ISREG(file.status.st_mode)) {
    close(fd);
    return SystemError{S_ISDIR(file.status.st_mode) ? EISDIR : EINVAL};
  }
  return file;
}

Result<std::string> ReadWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LastError();
  return ReadAndClose(fd);
}

Result<FileContent> ReadRegularFile(const std::string& path) {
  const Result<OpenFile> file = OpenRegularFile(path);
  if (!file) return file.Failure();
  Result<std::string> bytes = ReadAndClose(file.Value().fd);
  if (!bytes) return bytes.Failure();
  return FileContent{std::move(bytes).Value(), file.Value().status};
}

Result<void, ReplaceFailure> ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                                                   const ReplaceOptions& options) {
  // A temporary file of a fixed name keeps whatever permission bits it was created with; a
  // uniquely named one is created private and then given those of the file it replaces.
  std::string temp = options.temp_path;
  const bool unique = temp.empty();
  const mode_t mode = unique ? PermissionsToKeep(path) : 0;
  int fd;
  if (unique) {
    temp = path + ".XXXXXX";
    fd = mkostemp(temp.data(), O_CLOEXEC);
  } else {
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  if (fd < 0) return ReplaceFailure{ReplaceStep::kCreate, errno};
  const Result<void> written = WriteTemporaryFile(fd, bytes, unique, mode);
  if (!written) {
    unlink(temp.c_str());
    return ReplaceFailure{ReplaceStep::kWrite, written.Failure().code};
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const int code = errno;
    unlink(temp.c_str());
    return ReplaceFailure{ReplaceStep::kRename, code};
  }
  SyncDirectory(DirectoryOf(path));
  return {};
}

}  // namespace larvek
