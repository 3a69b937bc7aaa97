// The database login of the start-up configuration, applied to a connection: the same for the
// running server and for `--check`, so both reach the database the same way.
#pragma once

#include "config/startup_config.h"
#include "db/db_connection.h"

namespace larvek {

inline void ApplyDatabaseLogin(const StartupConfig& config, DbConnection& connection) {
  connection.SetSettings({config.hosts, config.user, config.password, config.database,
                          static_cast<unsigned>(config.sql_timeout)});
}

}  // namespace larvek
