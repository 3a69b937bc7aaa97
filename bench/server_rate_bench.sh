#!/usr/bin/env bash
# Figures of srvlarvek for a one-row lookup, each against a baseline of the same run (see
# bench/server_rate_bench.cpp): request rate and CPU per request against the same database work
# done directly through the client library, the rate of one terminal with many idle ones
# connected, p99 latency with many busy terminals, resident memory per idle connection; and in
# configuration mode (definitions in the own INI) the parallel mode (Parallel_requests=16)
# against one request at a time, against a minimal pooled server and against direct client
# processes, with 1 and with many busy terminals and while one terminal runs long statements;
# and the one-terminal rate of a table-mode server whose status listener's /metrics page is
# fetched once a second, against the first table-mode server (no status listener).
# Starts a throwaway MariaDB server (temporary data directory, free port on 127.0.0.1) with the
# database larvek (command table server_term and a small stock table in cp1250) and the
# database larvek_ini (the same stock, no server_term), runs four build/srvlarvek --console,
# each from a temporary program directory of its own (table mode; table mode with a status
# listener; configuration mode one at a time; configuration mode in parallel), and
# build/minimal_pooled_server, runs
# build/server_rate_bench against all of them and stops and removes everything on exit.
# Everything goes over loopback. The idle terminals need descriptors: the limit is raised for
# all programs (beyond the hard limit when run as root).
# Usage: bench/server_rate_bench.sh [requests [rounds [idle [busy [busy_requests]]]]]
#        (defaults 1000 5 10000 32 50; build dir: $LARVEK_BUILD or build/)
set -euo pipefail
requests=${1:-1000}
rounds=${2:-5}
idle=${3:-10000}
busy=${4:-32}
busy_requests=${5:-50}
echo "command: $0 $*"
ulimit -n $((idle + busy + 1024)) 2>/dev/null || ulimit -n "$(ulimit -Hn)"
build=${LARVEK_BUILD:-"$(dirname "$0")/../build"}
source "$(dirname "$0")/throwaway_mariadb.sh"
for program in srvlarvek server_rate_bench minimal_pooled_server; do
  if [ ! -x "$build/$program" ]; then
    echo "missing $build/$program; build it: cmake --build build --target $program" >&2
    exit 1
  fi
done

# The figures are those of the configuration the build was made in; the shipped one is the
# default (RelWithDebInfo, see CMakeLists.txt).
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
echo "build: $build (CMAKE_BUILD_TYPE=${build_type:-unknown})"

dir=$(mktemp -d /tmp/larvek-rate-XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  mariadb_stop
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mariadb_start "$dir"

# 0x8A726F7562 is 'Šroub' in Windows-1250.
stock="
  CREATE TABLE sklad (kod VARCHAR(10) PRIMARY KEY, nazev VARCHAR(40), mnozstvi INT NULL)
    CHARACTER SET cp1250;
  INSERT INTO sklad VALUES ('A1', _cp1250 0x8A726F7562, 10), ('B2', 'Matice', NULL),
    ('C3', 'Podlozka', 7);"
create_command_database
sql larvek -e "
  INSERT INTO server_term VALUES ('STAV', 1, 'kod|nazev|mnozstvi',
    'select kod, nazev, mnozstvi from sklad where kod = %a%', '', 'NENI');
  $stock"
sql -e "
  CREATE DATABASE larvek_ini CHARACTER SET cp1250;
  GRANT ALL PRIVILEGES ON larvek_ini.* TO 'larvek'@'127.0.0.1';"
sql larvek_ini -e "$stock"

srv_host=$(python3 -c 'import socket; print(socket.gethostbyname(socket.gethostname()))')
case "$srv_host" in
  127.*) ;;
  *) echo "srvlarvek listens on $srv_host, not on loopback: no load is sent there" >&2; exit 1 ;;
esac
listening() { python3 -c "import socket,sys; socket.create_connection(('$1', $2), 1)" 2>/dev/null; }
# await_listening HOST PORT PID LOG: waits until the program PID listens on HOST:PORT.
await_listening() {
  for _ in $(seq 300); do
    listening "$1" "$2" && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  echo "the program of pid $3 does not listen on $1:$2" >&2
  cat "$4" >&2
  exit 1
}

# start_server NAME DATABASE [MORE]: a terminal server with its own program directory
# $dir/NAME/prog holding both configuration files (MORE, with printf's backslash escapes, is
# appended to the own file after its [Server] keys), its working directory (where it rewrites u.txt at every
# reception) beside it; sets srv_port and srv_pid.
start_server() {
  local name=$1 database=$2 more=${3:-}
  srv_port=$(free_port)
  mkdir -p "$dir/$name/prog" "$dir/$name/work"
  cp "$build/srvlarvek" "$dir/$name/prog/"
  printf '[LogOn]\r\nIP=127.0.0.1\r\nSQLport=%s\r\nDatabase=%s\r\n[Server]\r\nServer_port=%s\r\nUkoncovac=#\r\n%b' \
    "$db_port" "$database" "$srv_port" "$more" >"$dir/$name/prog/srvlarvek.INI"
  printf '[LogOn]\r\nUser=larvek\r\nPassword=heslo\r\n' >"$dir/$name/larvek05.ini"
  (cd "$dir/$name/work" && exec "$dir/$name/prog/srvlarvek" --console >"$dir/$name/srvlarvek.log" 2>&1) &
  srv_pid=$!
  pids+=("$srv_pid")
}

# The command sections of configuration mode: the row of the stock, and a statement of one
# second for the terminal that keeps the database busy.
sections='[STAV]\r\nZe_ctecky=1\r\nDo_ctecky=kod|nazev|mnozstvi\r\nPrikaz_SQL1=select kod, nazev, mnozstvi from sklad where kod = %a%\r\nChyba=NENI\r\n[POMALU]\r\nZe_ctecky=1\r\nDo_ctecky=v\r\nPrikaz_SQL1=select sleep(1) as v\r\nChyba=NENI\r\n'
parallel_links=16

start_server table larvek
table_port=$srv_port table_pid=$srv_pid
status_port=$(free_port)
start_server watched larvek "Status_port=$status_port\r\n"
watched_port=$srv_port watched_pid=$srv_pid
start_server one larvek_ini "$sections"
one_port=$srv_port one_pid=$srv_pid
start_server parallel larvek_ini "Parallel_requests=$parallel_links\r\n$sections"
parallel_port=$srv_port parallel_pid=$srv_pid
pool_port=$(free_port)
mkdir -p "$dir/pool"
"$build/minimal_pooled_server" 127.0.0.1 "$db_port" larvek heslo larvek_ini "$pool_port" \
  "$parallel_links" "$dir/pool" >"$dir/pool/out.log" 2>&1 &
pool_pid=$!
pids+=("$pool_pid")
await_listening "$srv_host" "$table_port" "$table_pid" "$dir/table/srvlarvek.log"
await_listening "$srv_host" "$watched_port" "$watched_pid" "$dir/watched/srvlarvek.log"
await_listening 127.0.0.1 "$status_port" "$watched_pid" "$dir/watched/srvlarvek.log"
await_listening "$srv_host" "$one_port" "$one_pid" "$dir/one/srvlarvek.log"
await_listening "$srv_host" "$parallel_port" "$parallel_pid" "$dir/parallel/srvlarvek.log"
await_listening 127.0.0.1 "$pool_port" "$pool_pid" "$dir/pool/out.log"
# The server in parallel mode names the mode in its start-up lines; without that line its
# figures are those of one request at a time.
mode_line=""
for _ in $(seq 20); do
  mode_line=$(grep -m1 'Paralelní režim' "$dir/parallel/srvlarvek.log" || true)
  [ -n "$mode_line" ] && break
  sleep 0.1
done
echo "parallel server: ${mode_line:-WARNING: no parallel-mode line at start-up, it serves one request at a time}"

status=0
"$build/server_rate_bench" 127.0.0.1 "$db_port" larvek heslo larvek "$srv_host" "$table_port" \
  "$table_pid" "$requests" "$rounds" "$idle" "$busy" "$busy_requests" \
  --config-db larvek_ini --one-at-a-time "$srv_host:$one_port:$one_pid" \
  --parallel "$srv_host:$parallel_port:$parallel_pid" --pooled "127.0.0.1:$pool_port:$pool_pid" \
  --parallel-links "$parallel_links" --watched "$srv_host:$watched_port:$watched_pid" \
  --status-port "$status_port" || status=$?
# A server that ended early is a finding of its own.
for name in table watched one parallel; do
  if grep -qiE 'sanitizer|terminate|abort|segmentation' "$dir/$name/srvlarvek.log"; then
    echo "srvlarvek ($name) wrote:" >&2
    grep -iE -m5 'sanitizer|terminate|abort|segmentation' "$dir/$name/srvlarvek.log" >&2
  fi
done
for pid in "${pids[@]}"; do
  kill -0 "$pid" 2>/dev/null || { echo "the program of pid $pid ended during the benchmark" >&2; status=1; }
done
exit "$status"
