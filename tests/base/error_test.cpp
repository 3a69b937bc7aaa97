#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace larvek {
namespace {

// The class names appear in log lines, so each kind's text is fixed.
TEST(ErrorTest, EachFactoryGivesItsKindClassNameMessageAndCode) {
  struct Case {
    Error error;
    ErrorKind kind;
    const char* class_name;
    std::string message;
    int code;
  } cases[] = {
      {Error::Generic("boom"), ErrorKind::kGeneric, "Exception", "boom", 0},
      {Error::Range(), ErrorKind::kRange, "ERangeError", "Range check error", 0},
      {Error::Convert("'x' is not a number"), ErrorKind::kConvert, "EConvertError",
       "'x' is not a number", 0},
      {Error::StringList("List index out of bounds (3)"), ErrorKind::kStringList,
       "EStringListError", "List index out of bounds (3)", 0},
      {Error::FileOpen("/d/log.txt", EISDIR), ErrorKind::kFileOpen, "EFOpenError",
       "Cannot open file \"/d/log.txt\". Is a directory", 0},
      {Error::FileCreate("u.txt", EACCES), ErrorKind::kFileCreate, "EFCreateError",
       "Cannot create file \"u.txt\". Permission denied", 0},
      {Error::Write(), ErrorKind::kWrite, "EWriteError", "Stream write error", 0},
      {Error::IniFile("Unable to write to a.INI"), ErrorKind::kIniFile, "EIniFileException",
       "Unable to write to a.INI", 0},
      {Error::Os("epoll_ctl", EBADF), ErrorKind::kOs, "EOSError", "epoll_ctl: Bad file descriptor",
       EBADF},
      {Error::Database("SQL chyba: gone", 2006), ErrorKind::kDatabase, "EDatabaseError",
       "SQL chyba: gone", 2006},
      {Error::Database("no code"), ErrorKind::kDatabase, "EDatabaseError", "no code", 0},
      {Error::Socket("Connection reset by peer (#10054 in Send)", 10054), ErrorKind::kSocket,
       "ESocketException", "Connection reset by peer (#10054 in Send)", 10054},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.Kind(), c.kind) << c.class_name;
    EXPECT_EQ(c.error.ClassName(), c.class_name);
    EXPECT_EQ(ClassNameOf(c.kind), std::string(c.class_name));
    EXPECT_EQ(c.error.Message(), c.message) << c.class_name;
    EXPECT_STREQ(c.error.what(), c.message.c_str()) << c.class_name;
    EXPECT_EQ(c.error.Code(), c.code) << c.class_name;
  }
}

TEST(ErrorTest, ClassNameConstantsMatchTheirKinds) {
  EXPECT_STREQ(kRangeError, "ERangeError");
  EXPECT_STREQ(kConvertError, "EConvertError");
  EXPECT_STREQ(kFileOpenError, "EFOpenError");
  EXPECT_STREQ(kFileCreateError, "EFCreateError");
  EXPECT_STREQ(kWriteError, "EWriteError");
  EXPECT_STREQ(kIniFileError, "EIniFileException");
  EXPECT_STREQ(kDatabaseError, "EDatabaseError");
}

TEST(ErrorTest, ThrowRangeErrorThrowsTheRangeError) {
  try {
    ThrowRangeError();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kRange);
    EXPECT_EQ(e.Message(), "Range check error");
  }
}

}  // namespace
}  // namespace larvek
