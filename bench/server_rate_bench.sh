#!/usr/bin/env bash
# Figures of srvlarvek for a one-row lookup, each against a baseline of the same run (see
# bench/server_rate_bench.cpp): request rate and CPU per request against the same database work
# done directly through the client library, the rate of one terminal with many idle ones
# connected, p99 latency with many busy terminals, resident memory per idle connection.
# Starts a throwaway MariaDB server (temporary data directory, free port on 127.0.0.1) with the
# command table server_term and a small stock table in cp1250, runs build/srvlarvek --console
# from a temporary program directory, runs build/server_rate_bench against both and removes
# everything on exit. Everything goes over loopback. The idle terminals need descriptors: the
# limit is raised for both programs (beyond the hard limit when run as root).
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
for program in srvlarvek server_rate_bench; do
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
srv_pid=""
cleanup() {
  if [ -n "$srv_pid" ]; then
    kill -TERM "$srv_pid" 2>/dev/null || true
    wait "$srv_pid" 2>/dev/null || true
  fi
  mariadb_stop
  rm -rf "$dir"
}
trap cleanup EXIT

mariadb_start "$dir"

# 0x8A726F7562 is 'Šroub' in Windows-1250.
create_command_database
sql larvek -e "
  INSERT INTO server_term VALUES ('STAV', 1, 'kod|nazev|mnozstvi',
    'select kod, nazev, mnozstvi from sklad where kod = %a%', '', 'NENI');
  CREATE TABLE sklad (kod VARCHAR(10) PRIMARY KEY, nazev VARCHAR(40), mnozstvi INT NULL)
    CHARACTER SET cp1250;
  INSERT INTO sklad VALUES ('A1', _cp1250 0x8A726F7562, 10), ('B2', 'Matice', NULL),
    ('C3', 'Podlozka', 7);"

# The terminal server: its own program directory with both configuration files, working
# directory (where it rewrites u.txt at every reception) beside it.
srv_port=$(free_port)
mkdir -p "$dir/prog" "$dir/work"
cp "$build/srvlarvek" "$dir/prog/"
printf '[LogOn]\r\nIP=127.0.0.1\r\nSQLport=%s\r\nDatabase=larvek\r\n[Server]\r\nServer_port=%s\r\nUkoncovac=#\r\n' \
  "$db_port" "$srv_port" >"$dir/prog/srvlarvek.INI"
printf '[LogOn]\r\nUser=larvek\r\nPassword=heslo\r\n' >"$dir/larvek05.ini"
(cd "$dir/work" && exec "$dir/prog/srvlarvek" --console >"$dir/srvlarvek.log" 2>&1) &
srv_pid=$!
srv_host=$(python3 -c 'import socket; print(socket.gethostbyname(socket.gethostname()))')
case "$srv_host" in
  127.*) ;;
  *) echo "srvlarvek listens on $srv_host, not on loopback: no load is sent there" >&2; exit 1 ;;
esac
listening() { python3 -c "import socket,sys; socket.create_connection(('$srv_host', $srv_port), 1)" 2>/dev/null; }
for _ in $(seq 300); do
  listening && break
  sleep 0.1
done
listening || { echo "srvlarvek does not listen on $srv_host:$srv_port" >&2; cat "$dir/srvlarvek.log" >&2; exit 1; }

"$build/server_rate_bench" 127.0.0.1 "$db_port" larvek heslo larvek "$srv_host" "$srv_port" \
  "$srv_pid" "$requests" "$rounds" "$idle" "$busy" "$busy_requests"
