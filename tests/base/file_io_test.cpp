#include "base/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace larvek {
namespace {

using testing::TempDir;

// The names in `dir`, so that a test can see that no temporary file was left behind.
std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

mode_t Umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

TEST(FileIoTest, WriteAllWritesEveryByteOrReportsTheFailure) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string target;  // opened for writing
    std::string bytes;
    bool ok;
    int error;
  } cases[] = {
      {"empty", dir.Path() + "a", "", true, 0},
      {"bytes with NUL and CR LF", dir.Path() + "b", std::string("x\0y\r\n", 5), true, 0},
      {"several buffers", dir.Path() + "c", std::string(300000, 'z'), true, 0},
      {"full device", "/dev/full", "x", false, ENOSPC},
  };
  for (const Case& c : cases) {
    const int fd = open(c.target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << c.name;
    const Result<void> written = WriteAll(fd, c.bytes);
    EXPECT_EQ(written.Ok(), c.ok) << c.name;
    if (!c.ok && !written) {
      EXPECT_EQ(written.Failure().code, c.error) << c.name;
    }
    close(fd);
    if (c.ok) {
      EXPECT_EQ(TempDir::Read(c.target), c.bytes) << c.name;
    }
  }
  const Result<void> bad_descriptor = WriteAll(-1, "x");
  ASSERT_FALSE(bad_descriptor);
  EXPECT_EQ(bad_descriptor.Failure().code, EBADF);
}

// A pipe takes at most its buffer per write: the rest must follow in further writes.
TEST(FileIoTest, WriteAllGoesOnAfterPartialWrites) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string bytes(1 << 20, 'p');
  std::string read_back;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) read_back.append(buf, static_cast<size_t>(n));
  });
  EXPECT_TRUE(WriteAll(fds[1], bytes).Ok());
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(read_back, bytes);
}

// Positioned writes and reads touch only their range and leave the descriptor's offset alone.
TEST(FileIoTest, WriteAllAtAndReadAtWorkOnTheirRangeOnly) {
  TempDir dir;
  dir.Write("f", "0123456789");
  const int fd = open((dir.Path() + "f").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 2, SEEK_SET), 2);
  EXPECT_TRUE(WriteAllAt(fd, "ab", 0).Ok());
  EXPECT_TRUE(WriteAllAt(fd, "XY", 12).Ok());  // past the end: the gap reads as zero bytes
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 2);
  EXPECT_EQ(TempDir::Read(dir.Path() + "f"), std::string("ab23456789\0\0XY", 14));
  const struct {
    off_t offset;
    size_t length;
    std::string expected;
  } reads[] = {{0, 4, "ab23"}, {8, 4, std::string("89\0\0", 4)}, {12, 10, "XY"}, {20, 3, ""}};
  for (const auto& r : reads) {
    const Result<std::string> read = ReadAt(fd, r.offset, r.length);
    ASSERT_TRUE(read) << r.offset;
    EXPECT_EQ(read.Value(), r.expected) << r.offset;
  }
  close(fd);
  const Result<void> written = WriteAllAt(fd, "x", 0);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.Failure().code, EBADF);
  const Result<std::string> read = ReadAt(fd, 0, 1);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.Failure().code, EBADF);
}

TEST(FileIoTest, ReadWholeFileAndReadRegularFileDifferOnlyOnFilesThatAreNotRegular) {
  TempDir dir;
  const std::string big(200000, 'q');  // more than one read
  dir.Write("big", big);
  dir.Write("plain", std::string("a\0b", 3));
  dir.Write("empty", "");
  dir.Write("file", "a regular file");
  std::filesystem::create_directory(dir.Path() + "dir");
  ASSERT_EQ(mkfifo((dir.Path() + "fifo").c_str(), 0600), 0);
  struct Case {
    std::string name;
    bool whole_ok;  // ReadWholeFile
    int whole_error;
    bool regular_ok;  // ReadRegularFile
    int regular_error;
    std::string content;
  } cases[] = {
      {"big", true, 0, true, 0, big},
      {"plain", true, 0, true, 0, std::string("a\0b", 3)},
      {"empty", true, 0, true, 0, ""},
      {"missing", false, ENOENT, false, ENOENT, ""},
      {"file/below", false, ENOTDIR, false, ENOTDIR, ""},
      {"dir", false, EISDIR, false, EISDIR, ""},
      // ReadWholeFile would wait for a writer here; only ReadRegularFile is asked.
      {"fifo", false, 0, false, EINVAL, ""},
  };
  for (const Case& c : cases) {
    const std::string path = dir.Path() + c.name;
    if (c.name != "fifo") {
      const Result<std::string> whole = ReadWholeFile(path);
      EXPECT_EQ(whole.Ok(), c.whole_ok) << c.name;
      if (whole) {
        EXPECT_EQ(whole.Value(), c.content) << c.name;
      } else if (!c.whole_ok) {
        EXPECT_EQ(whole.Failure().code, c.whole_error) << c.name;
      }
    }
    const Result<FileContent> regular = ReadRegularFile(path);
    EXPECT_EQ(regular.Ok(), c.regular_ok) << c.name;
    if (regular) {
      EXPECT_EQ(regular.Value().bytes, c.content) << c.name;
      EXPECT_EQ(regular.Value().status.st_size, static_cast<off_t>(c.content.size())) << c.name;
    } else if (!c.regular_ok) {
      EXPECT_EQ(regular.Failure().code, c.regular_error) << c.name;
    }
  }
}

TEST(FileIoTest, ReplaceFileAtomicallyReplacesWholeOrLeavesTheOldFile) {
  struct Case {
    const char* name;
    // Prepares the directory and returns the options; the target is dir + "target".
    std::function<ReplaceOptions(const TempDir&)> setup;
    std::optional<ReplaceStep> failed_step;  // nullopt: replaced
    int error;
    std::set<std::string> names_after;  // everything in the directory afterwards
  } cases[] = {
      {"unique temporary name over an existing file",
       [](const TempDir& d) {
         d.Write("target", "old");
         return ReplaceOptions{};
       },
       std::nullopt,
       0,
       {"target"}},
      {"unique temporary name, no file yet",
       [](const TempDir&) { return ReplaceOptions{}; },
       std::nullopt,
       0,
       {"target"}},
      {"fixed temporary name",
       [](const TempDir& d) {
         d.Write("target", "old");
         d.Write("target.tmp", "a leftover of an earlier run");
         return ReplaceOptions{d.Path() + "target.tmp"};
       },
       std::nullopt,
       0,
       {"target"}},
      {"a link in place of the file is replaced, not followed",
       [](const TempDir& d) {
         const std::string other = d.Write("other", "old");
         symlink(other.c_str(), (d.Path() + "target").c_str());
         return ReplaceOptions{};
       },
       std::nullopt,
       0,
       {"other", "target"}},
      // The failures below happen to root as well.
      {"temporary file below a regular file",
       [](const TempDir& d) {
         d.Write("target", "old");
         d.Write("plain", "not a directory");
         return ReplaceOptions{d.Path() + "plain/target.tmp"};
       },
       ReplaceStep::kCreate,
       ENOTDIR,
       {"plain", "target"}},
      {"disk full while writing",
       [](const TempDir& d) {
         d.Write("target", "old");
         symlink("/dev/full", (d.Path() + "target.tmp").c_str());
         return ReplaceOptions{d.Path() + "target.tmp"};
       },
       ReplaceStep::kWrite,
       ENOSPC,
       {"target"}},
      {"a directory in place of the file",
       [](const TempDir& d) {
         d.Write("target/inside", "old");
         return ReplaceOptions{};
       },
       ReplaceStep::kRename,
       EISDIR,
       {"target"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string target = dir.Path() + "target";
    const ReplaceOptions options = c.setup(dir);
    const Result<FileContent> before = ReadRegularFile(target);
    const Result<void, ReplaceFailure> replaced = ReplaceFileAtomically(target, "new\r\n", options);
    EXPECT_EQ(replaced.Ok(), !c.failed_step) << c.name;
    if (!replaced && c.failed_step) {
      EXPECT_EQ(replaced.Failure().step, *c.failed_step) << c.name;
      EXPECT_EQ(replaced.Failure().code, c.error) << c.name;
    }
    EXPECT_EQ(Names(dir.Path()), c.names_after) << c.name;
    if (c.names_after.count("other")) {
      EXPECT_EQ(TempDir::Read(dir.Path() + "other"), "old");
    }
    struct stat st {};
    ASSERT_EQ(lstat(target.c_str(), &st), 0) << c.name;
    if (!c.failed_step) {
      EXPECT_TRUE(S_ISREG(st.st_mode)) << c.name;
      EXPECT_EQ(TempDir::Read(target), "new\r\n") << c.name;
    } else if (before) {
      EXPECT_EQ(TempDir::Read(target), before.Value().bytes) << c.name;
    } else {
      EXPECT_EQ(TempDir::Read(target + "/inside"), "old") << c.name;
    }
  }
}

TEST(FileIoTest, ReplaceFileAtomicallyKeepsOrSetsPermissionBits) {
  const mode_t mask = Umask();
  struct Case {
    const char* name;
    int existing_mode;  // -1: no file before
    bool fixed_temp;
    mode_t expected;
  } cases[] = {
      {"unique name keeps the old bits", 0640, false, 0640},
      {"unique name keeps unusual bits", 0604, false, 0604},
      {"unique name, new file", -1, false, static_cast<mode_t>(0666 & ~mask)},
      {"fixed name, new file", -1, true, static_cast<mode_t>(0644 & ~mask)},
      {"fixed name does not copy the old bits", 0600, true, static_cast<mode_t>(0644 & ~mask)},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string target = dir.Path() + "target";
    if (c.existing_mode >= 0) {
      dir.Write("target", "old");
      ASSERT_EQ(chmod(target.c_str(), static_cast<mode_t>(c.existing_mode)), 0);
    }
    ReplaceOptions options;
    if (c.fixed_temp) options.temp_path = target + ".tmp";
    ASSERT_TRUE(ReplaceFileAtomically(target, "new", options).Ok()) << c.name;
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected) << c.name;
  }
}

}  // namespace
}  // namespace larvek
