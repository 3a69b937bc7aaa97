#include "base/error.h"

#include <utility>

namespace larvek {

Error::Error(std::string class_name, std::string message, int code)
    : class_name_(std::move(class_name)), message_(std::move(message)), code_(code) {}

void ThrowRangeError() {
  throw Error(kRangeError, "Range check error");
}

}  // namespace larvek
