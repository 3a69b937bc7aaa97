#include "db/db_error.h"

#include "base/error.h"

namespace larvek {

bool IsLinkLostError(int code) {
  switch (code) {
    case 1053:  // ER_SERVER_SHUTDOWN
    case 1927:  // ER_CONNECTION_KILLED
    case 2006:  // CR_SERVER_GONE_ERROR
    case 2013:  // CR_SERVER_LOST
    case 2055:  // CR_SERVER_LOST_EXTENDED
    case 4031:  // ER_CLIENT_INTERACTION_TIMEOUT
      return true;
    default:
      return false;
  }
}

bool IsRetryableConnectError(int code) {
  return code == 2002 || code == 2003 || code == 2013;  // CR_CONNECTION_ERROR, _CONN_HOST_, _SERVER_LOST
}

void ThrowDatabaseError(const std::string& message, int code) {
  throw Error::Database(message, code);
}

}  // namespace larvek
