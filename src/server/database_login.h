// The database login of the start-up configuration, applied to a connection: the same for the
// running server and for `--check`, so both reach the database the same way.
#pragma once

#include "config/startup_config.h"
#include "db/db_connection.h"

namespace larvek {

inline void ApplyDatabaseLogin(const StartupConfig& config, DbConnection& connection) {
  connection.HostName = config.host;
  connection.Password = config.password;
  connection.User = config.user;
  connection.Port = config.port;
  connection.TimeoutSeconds = static_cast<unsigned>(config.sql_timeout);
  connection.Database = config.database;
}

}  // namespace larvek
