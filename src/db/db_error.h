// The database layer's failure texts (Windows-1250 bytes) and the helper that raises them.
#pragma once

#include <string>

namespace larvek {

inline constexpr const char* kSqlErrorPrefix = "SQL chyba: ";  // + the client library's text
inline constexpr const char* kConnectFailed = "Nezda\xF8ilo se p\xF8ipojen\xED k SQL serveru";
inline constexpr const char* kEmptyStatement = "SQL dotaz je pr\xE1zdn\xFD";
inline constexpr const char* kNoResultSet = "Nelze otev\xF8\xEDt v\xFDsledek dotazu";
inline constexpr const char* kBadParameterChar = "Za \":\" n\xE1sleduje nespr\xE1vn\xFD znak";
inline constexpr const char* kParameterCountMismatch =
    "Po\xE8"
    "et vstupn\xED"
    "ch parametr\xF9 neodpov\xED"
    "d\xE1 o\xE8"
    "ek\xE1van\xE9mu po\xE8tu";
inline constexpr const char* kUnknownDataType = "Unknown MySQL data type!";
inline constexpr const char* kClosedDataset = "Cannot perform this operation on a closed dataset";

// True for the error numbers after which the server side of the link is gone (it shut down,
// killed the session, or the connection was lost): the next statement must connect anew.
bool IsLinkLostError(int code);

// True for the errors of a connect that the database did not take up: refused or unreachable
// (2003, 2002 for the local socket), or closed before its greeting (2013). Such a connect is
// worth another try; nothing was sent on it.
bool IsRetryableConnectError(int code);

// Raises `message` as a database error carrying `code`.
[[noreturn]] void ThrowDatabaseError(const std::string& message, int code = 0);

}  // namespace larvek
