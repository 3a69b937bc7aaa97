#include "base/file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace larvek {
namespace {

// Closes `fd` without disturbing errno, for the paths that already failed.
void CloseKeepingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

// Removes `path` without disturbing errno.
void UnlinkKeepingErrno(const std::string& path) {
  const int saved = errno;
  unlink(path.c_str());
  errno = saved;
}

// Appends everything left to read from `fd` to `*out`.
bool ReadToEnd(int fd, std::string* out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
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

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool WriteAllAt(int fd, std::string_view bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = pwrite(fd, bytes.data(), bytes.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
    offset += n;
  }
  return true;
}

bool ReadAt(int fd, off_t offset, size_t length, std::string* out) {
  out->resize(length);
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        pread(fd, out->data() + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;  // the file ends (or got shorter meanwhile)
    done += static_cast<size_t>(n);
  }
  out->resize(done);
  return true;
}

int OpenRegularFile(const std::string& path, struct stat* st) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0) {
    CloseKeepingErrno(fd);
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    close(fd);
    errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  return fd;
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  out->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ReadToEnd(fd, out);
  if (!ok) out->clear();
  CloseKeepingErrno(fd);
  return ok;
}

bool ReadRegularFile(const std::string& path, std::string* out, struct stat* st) {
  out->clear();
  struct stat own;
  const int fd = OpenRegularFile(path, st ? st : &own);
  if (fd < 0) return false;
  const bool ok = ReadToEnd(fd, out);
  if (!ok) out->clear();
  CloseKeepingErrno(fd);
  return ok;
}

ReplaceResult ReplaceFileAtomically(const std::string& path, std::string_view bytes,
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
  if (fd < 0) return ReplaceResult::kCreateFailed;
  bool ok = (!unique || fchmod(fd, mode) == 0) && WriteAll(fd, bytes) && fsync(fd) == 0;
  if (ok)
    ok = close(fd) == 0;
  else
    CloseKeepingErrno(fd);
  if (!ok) {
    UnlinkKeepingErrno(temp);
    return ReplaceResult::kWriteFailed;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    UnlinkKeepingErrno(temp);
    return ReplaceResult::kRenameFailed;
  }
  SyncDirectory(DirectoryOf(path));
  return ReplaceResult::kReplaced;
}

}  // namespace larvek
