#include "base/error.h"

#include <cstring>
#include <utility>

namespace larvek {
Error::Error(ErrorKind kind, std::string message, int code)
    : kind_(kind), message_(std::move(message)), code_(code) {}

Error Error::Range() {
  return Error(ErrorKind::kRange, "Range check error");
}

Error Error::FileOpen(const std::string& path, int err) {
  return Error(ErrorKind::kFileOpen, "Cannot open file \"" + path + "\". " + std::strerror(err));
}

Error Error::FileCreate(const std::string& path, int err) {
  return Error(ErrorKind::kFileCreate,
               "Cannot create file \"" + path + "\". " + std::strerror(err));
}

Error Error::Write() {
  return Error(ErrorKind::kWrite, "Stream write error");
}

Error Error::Os(const std::string& what, int err) {
  return Error(ErrorKind::kOs, what + ": " + std::strerror(err), err);
}

void ThrowRangeError() {
  throw Error::Range();
}

}  // namespace larvek
