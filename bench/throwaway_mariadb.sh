# Sourced by the benchmark scripts: a throwaway MariaDB server in a temporary directory, on a
# free port of 127.0.0.1, small and quick (no binary log, no performance schema).
#
#   mariadb_start DIR [PORT]  installs and starts it in DIR; sets db_port and db_pid. A DIR
#                             that already holds a data directory is started as it is, so
#                             mariadb_stop + mariadb_start DIR $db_port restarts the server
#   mariadb_stop              stops it (SIGTERM, waits; SIGKILL after 30 s)
#   sql ARGS...               the mariadb client as root on its socket
#   create_command_database   the database larvek (cp1250) with the user larvek/heslo on
#                             127.0.0.1 and an empty command table server_term
PATH="$PATH:/usr/sbin:/usr/local/sbin"
db_pid=""
db_port=""
db_dir=""

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

sql() { mariadb --no-defaults -uroot "--socket=$db_dir/mysql.sock" "$@"; }

create_command_database() {
  sql -e "
    CREATE DATABASE larvek CHARACTER SET cp1250;
    CREATE USER 'larvek'@'127.0.0.1' IDENTIFIED BY 'heslo';
    GRANT ALL PRIVILEGES ON larvek.* TO 'larvek'@'127.0.0.1';
    CREATE TABLE larvek.server_term (operace VARCHAR(20), ze_ctecky INT, do_ctecky VARCHAR(200),
      prikaz_SQL1 TEXT, prikaz_SQL2 TEXT, chyba VARCHAR(50)) CHARACTER SET cp1250;"
}

mariadb_start() {
  db_dir=$1
  local options=(--no-defaults "--datadir=$db_dir/data" --innodb-buffer-pool-size=16M
                 --innodb-log-file-size=8M --innodb-flush-log-at-trx-commit=0 --skip-log-bin
                 --performance-schema=0 --character-set-server=utf8mb4)
  [ "$(id -u)" -eq 0 ] && options+=(--user=root)
  db_port=${2:-$(free_port)}
  if [ ! -d "$db_dir/data/mysql" ]; then
    mariadb-install-db "${options[@]}" --auth-root-authentication-method=normal --skip-test-db \
      >"$db_dir/install.log" 2>&1
  fi
  mariadbd "${options[@]}" "--socket=$db_dir/mysql.sock" "--port=$db_port" \
    --bind-address=127.0.0.1 --skip-name-resolve "--pid-file=$db_dir/mariadb.pid" \
    "--log-error=$db_dir/error.log" >>"$db_dir/mariadbd.log" 2>&1 &
  db_pid=$!
  for _ in $(seq 600); do
    sql -e 'select 1' >/dev/null 2>&1 && return 0
    kill -0 "$db_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the database server did not start:" >&2
  tail -20 "$db_dir/error.log" >&2
  return 1
}

mariadb_stop() {
  if [ -n "$db_pid" ]; then
    kill -CONT "$db_pid" 2>/dev/null || true  # a stopped server would never see the TERM
    kill -TERM "$db_pid" 2>/dev/null || true
    for _ in $(seq 300); do
      kill -0 "$db_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$db_pid" 2>/dev/null || true
    wait "$db_pid" 2>/dev/null || true
    db_pid=""
  fi
}
