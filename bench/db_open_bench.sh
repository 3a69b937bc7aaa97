#!/usr/bin/env bash
# Starts a throwaway MariaDB server (temporary data directory, free port on 127.0.0.1), creates
# the database larvek and the user larvek/heslo, runs db_open_bench against it and removes it.
# Usage: bench/db_open_bench.sh [path/to/db_open_bench] [iterations]
set -euo pipefail
bench=${1:-"$(dirname "$0")/../build/db_open_bench"}
iterations=${2:-20000}
source "$(dirname "$0")/throwaway_mariadb.sh"

dir=$(mktemp -d /tmp/larvek-bench-XXXXXX)
cleanup() {
  mariadb_stop
  rm -rf "$dir"
}
trap cleanup EXIT

mariadb_start "$dir"
sql -e "
  CREATE DATABASE larvek;
  CREATE USER 'larvek'@'127.0.0.1' IDENTIFIED BY 'heslo';
  GRANT ALL PRIVILEGES ON larvek.* TO 'larvek'@'127.0.0.1';"
"$bench" 127.0.0.1 "$db_port" larvek heslo larvek "$iterations"
