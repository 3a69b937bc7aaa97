#!/usr/bin/env bash
# Starts a throwaway MariaDB server (temporary data directory, free port on 127.0.0.1), creates
# the database larvek and the user larvek/heslo, runs db_open_bench against it and removes it.
# Usage: bench/db_open_bench.sh [path/to/db_open_bench] [iterations]
set -euo pipefail
bench=${1:-"$(dirname "$0")/../build/db_open_bench"}
iterations=${2:-20000}
PATH="$PATH:/usr/sbin:/usr/local/sbin"

dir=$(mktemp -d /tmp/larvek-bench-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

# Options shared by the install and the server: small, quick, no binary log.
options=(--no-defaults "--datadir=$dir/data" --innodb-buffer-pool-size=16M
         --innodb-log-file-size=8M --innodb-flush-log-at-trx-commit=0 --skip-log-bin
         --performance-schema=0 --character-set-server=utf8mb4)
[ "$(id -u)" -eq 0 ] && options+=(--user=root)

start_server() {
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mariadb-install-db "${options[@]}" --auth-root-authentication-method=normal --skip-test-db \
    >"$dir/install.log" 2>&1
  mariadbd "${options[@]}" "--socket=$dir/mysql.sock" "--port=$port" --bind-address=127.0.0.1 \
    --skip-name-resolve "--pid-file=$dir/mariadb.pid" "--log-error=$dir/error.log" \
    >"$dir/server.log" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    mariadb --no-defaults -uroot "--socket=$dir/mysql.sock" -e 'select 1' >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "server did not start:" >&2
  tail -20 "$dir/error.log" >&2
  return 1
}

start_server
mariadb --no-defaults -uroot "--socket=$dir/mysql.sock" -e "
  CREATE DATABASE larvek;
  CREATE USER 'larvek'@'127.0.0.1' IDENTIFIED BY 'heslo';
  GRANT ALL PRIVILEGES ON larvek.* TO 'larvek'@'127.0.0.1';"
"$bench" 127.0.0.1 "$port" larvek heslo larvek "$iterations"
