#!/usr/bin/env bash
# Runs srvlarvek on this machine with a private sample database, from a fresh Debian 12 clone:
#
#   tools/run_server.sh          commands defined in the database table server_term
#   tools/run_server.sh --ini    commands defined as sections of the server's own INI file
#   tools/run_server.sh --reset  (with or without --ini) reload the sample data first
#
# It installs the missing Debian packages, builds, creates a private MariaDB server under
# run/mariadb/ (first run only; kept between runs), prepares the program directory run/prog/
# (run/prog-ini/ with --ini) with the server, its srvlarvek.INI and the shared run/larvek05.ini,
# and runs "srvlarvek --console" in the foreground. Ctrl-C stops the server, then the database.
#
# Environment: PORT (server port, default 2000), DB_PORT (database port, default 3307 or the
# next free one), SRVLARVEK (server executable to run instead of build/srvlarvek).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=table
reset=no
for arg in "$@"; do
  case $arg in
    --ini) mode=ini ;;
    --reset) reset=yes ;;
    -h | --help)
      sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "usage: tools/run_server.sh [--ini] [--reset]" >&2
      exit 2
      ;;
  esac
done
port=${PORT:-2000}

# --- Debian packages --------------------------------------------------------------------------
packages=(build-essential cmake pkg-config libgtest-dev libmariadb-dev libmicrohttpd-dev mariadb-server)
tools/install_packages.sh "${packages[@]}"
PATH=$PATH:/usr/sbin:/sbin  # mariadbd lives in /usr/sbin

# --- Build ------------------------------------------------------------------------------------
echo "== building"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target srvlarvek larvek_term
server_exe=${SRVLARVEK:-$root/build/srvlarvek}

# --- One run at a time ------------------------------------------------------------------------
run=$root/run
db=$run/mariadb
mkdir -p "$db"
exec 9>"$run/.lock"
if ! flock -n 9; then
  echo "run_server.sh: another run_server.sh is using $run" >&2
  exit 1
fi

user=$(id -un)
data=$db/data
sock=$db/mariadbd.sock
[ ${#sock} -lt 100 ] || sock=/tmp/larvek-mariadb-$(id -u).sock  # socket paths are short
pidfile=$db/mariadbd.pid
server_pidfile=$run/srvlarvek.pid
sql() { mariadb --no-defaults --socket="$sock" --user="$user" "$@"; }

# A process started by this script (now or by a killed earlier run): the pid file names it,
# and its command line or its working directory mentions our directory.
leftover_pid() { # pidfile text
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 1
  [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null || return 1
  { tr '\0' ' ' <"/proc/$pid/cmdline"; readlink "/proc/$pid/cwd"; } 2>/dev/null |
    grep -qF -- "$2" || return 1
  echo "$pid"
}
stop_pid() { # pid name
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 300); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "run_server.sh: $2 (pid $1) does not stop; killing it" >&2
  kill -9 "$1" 2>/dev/null || true
}

if pid=$(leftover_pid "$server_pidfile" "$run/prog"); then
  echo "== stopping srvlarvek left over from an earlier run (pid $pid)"
  stop_pid "$pid" srvlarvek
fi
if pid=$(leftover_pid "$pidfile" "$data"); then
  echo "== stopping the database left over from an earlier run (pid $pid)"
  stop_pid "$pid" mariadbd
fi
rm -f "$pidfile" "$sock" "$server_pidfile"

# --- Private database server ------------------------------------------------------------------
if [ ! -e "$db/.installed" ] || [ ! -d "$data/mysql" ]; then
  echo "== creating the database server in $db"
  rm -rf "$data"
  mariadb-install-db --no-defaults --datadir="$data" --user="$user" \
    --auth-root-authentication-method=socket --skip-test-db >"$db/install.log" 2>&1 ||
    { cat "$db/install.log" >&2; exit 1; }
  rm -f "$db/.loaded"
  touch "$db/.installed"
fi

port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
db_port=${DB_PORT:-3307}
if [ -z "${DB_PORT:-}" ]; then
  while port_busy "$db_port"; do db_port=$((db_port + 1)); done
elif port_busy "$db_port"; then
  echo "run_server.sh: port $db_port (DB_PORT) is in use" >&2
  exit 1
fi

# Whatever ends the script (an error, Ctrl-C, a kill, a closed terminal, a reader of its output
# that went away) stops what it started. Its output may be a pipe nobody reads any more: the
# cleanup ignores SIGPIPE and failed writes, so a message cannot end it before the database is
# stopped, and it is not interrupted by a second signal either.
db_pid=""
cleanup() {
  trap '' INT TERM HUP PIPE
  trap - EXIT
  set +e
  if pid=$(leftover_pid "$server_pidfile" "$run/prog"); then stop_pid "$pid" srvlarvek; fi
  rm -f "$server_pidfile"
  if [ -n "$db_pid" ]; then
    echo "== stopping the database" 2>/dev/null
    stop_pid "$db_pid" mariadbd
    rm -f "$pidfile" "$sock"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
trap 'exit 141' PIPE

echo "== starting the database on 127.0.0.1:$db_port (log: $db/mariadbd.err)"
mariadbd --no-defaults --user="$user" --datadir="$data" --socket="$sock" --pid-file="$pidfile" \
  --port="$db_port" --bind-address=127.0.0.1 --skip-name-resolve \
  --character-set-server=cp1250 --collation-server=cp1250_general_ci \
  --innodb-buffer-pool-size=32M --log-error="$db/mariadbd.err" </dev/null 2>>"$db/mariadbd.err" 9>&- &
db_pid=$!
for _ in $(seq 300); do
  sql -e "select 1" >/dev/null 2>&1 && break
  kill -0 "$db_pid" 2>/dev/null || { tail -20 "$db/mariadbd.err" >&2; exit 1; }
  sleep 0.1
done
sql -e "select 1" >/dev/null

if [ "$reset" = yes ] || [ ! -e "$db/.loaded" ]; then
  echo "== loading the sample data (data/sample_schema.sql)"
  sql <data/sample_schema.sql
  touch "$db/.loaded"
fi

# --- Program directory ------------------------------------------------------------------------
# The server reads srvlarvek.INI beside its executable and ../larvek05.ini above it, writes its
# daily log into YYYYMMDD/log.txt beside it and the dump file u.txt into its working directory.
if [ "$mode" = ini ]; then prog=$run/prog-ini database=larvek_ini; else prog=$run/prog database=larvek; fi
mkdir -p "$prog"
rm -f "$prog/srvlarvek"
cp "$server_exe" "$prog/srvlarvek"

crlf() { sed 's/$/\r/'; }  # INI files in the server's own style: CR LF line ends
crlf >"$run/larvek05.ini" <<EOF
; Shared configuration: the database login. Written by tools/run_server.sh.
[LogOn]
IP=127.0.0.1
User=larvek
Password=heslo
EOF

{
  cat <<EOF
; srvlarvek configuration. Written by tools/run_server.sh on every run: edit the script,
; or copy the program directory elsewhere, to keep changes.
[LogOn]
IP=127.0.0.1
SQLport=$db_port
Database=$database

[Server]
Server_port=$port
Ukoncovac=#
Max_time=5000
Interval_on=True
Parallel_requests=16

[Regional]
ShortDateFormat=d.m.yyyy
LongTimeFormat=h:nn:ss
DecimalSeparator=,
EOF
  if [ "$mode" = ini ]; then
    cat <<'EOF'

; Commands: one section per command name (configuration mode, the database has no server_term).
[STAV]
Ze_ctecky=1
Do_ctecky=kod|nazev|mnozstvi
Prikaz_SQL1=select kod, nazev, mnozstvi from sklad where kod = %a%
Chyba=NENI

[HLEDEJ]
Ze_ctecky=1
Do_ctecky=kod|nazev|mnozstvi
Prikaz_SQL1=select kod, nazev, mnozstvi from sklad where nazev like concat("%", %a%, "%") order by kod
Chyba=NIC

[CENA]
Ze_ctecky=1
Do_ctecky=kod|cena|datum
Prikaz_SQL1=select kod, cena, datum from sklad where kod = %a%
Chyba=NENI

[PRIJEM]
Ze_ctecky=2
Do_ctecky=kod|nazev|mnozstvi
Prikaz_SQL1=update sklad set mnozstvi = mnozstvi + %b% where kod = %a%
Prikaz_SQL2=select kod, nazev, mnozstvi from sklad where kod = %a%
Chyba=NENI

[DODAVKA]
Ze_ctecky=1
Do_ctecky=kod|nazev|datum
Prikaz_SQL1=select @datum:=datum from sklad where kod = %a%
Prikaz_SQL2=select kod, nazev, datum from sklad where datum = @datum
Chyba=NENI
EOF
  fi
} | crlf >"$prog/srvlarvek.INI"

# The server listens on the first IPv4 address of the host name, as gethostbyname() gives it.
host=$(perl -MSocket -e '$a = gethostbyname($ARGV[0]); print inet_ntoa($a) if $a' \
  "$(hostname)" 2>/dev/null || true)
[ -n "$host" ] || host=$(getent hosts "$(hostname)" | awk 'NR == 1 { print $1 }')
[ -n "$host" ] || host="<address of $(hostname)>"

cat <<EOF

== srvlarvek ($mode mode, database $database) in $prog
   listening on $host:$port; log: standard output and $prog/YYYYMMDD/log.txt
   try, from another terminal:
     $root/build/larvek_term $host:$port 'STAV;A1' 'HLEDEJ;matice' 'PRIJEM;A1;5' 'DODAVKA;A1' 'CENA;A1' 'XYZ'
   Ctrl-C stops the server and the database.

EOF

# In the foreground, so that Ctrl-C reaches the server; the pid file lets the next run stop a
# server that survived a killed run.
cd "$prog"
set +e
bash -c 'echo $$ >"$1"; exec ./srvlarvek --console' srvlarvek "$server_pidfile" 9>&-
status=$?
echo "== srvlarvek ended (exit status $status)"
exit "$status"
