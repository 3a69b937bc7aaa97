#include "db/db_error.h"

#include "base/error.h"

namespace larvek {

void ThrowDatabaseError(const std::string& message, int code) {
  throw Error::Database(message, code);
}

}  // namespace larvek
