#include "db/db_error.h"

#include "base/error.h"

namespace larvek {

void ThrowDatabaseError(const std::string& message, int code) {
  throw Error(kDatabaseError, message, code);
}

}  // namespace larvek
