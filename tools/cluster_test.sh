#!/usr/bin/env bash
# Cluster test of srvlarvek: two server instances behind HAProxy on a three-node MariaDB Galera
# cluster, all on 127.0.0.1, under counting load while one thing after the other is killed:
#
#   terminals (larvek_load --count) -> HAProxy :terminals -> srv1, srv2 -> HAProxy :database
#     -> n1 (n2, n3 as backups)
#
# Each load connection owns one counter row and sends CITAC;<id> in a closed loop (the
# definition adds one to the row and reads it back). Meanwhile, with a few seconds of normal
# service between them:
#   1. the database node HAProxy sends the writes to is killed (SIGKILL); once the survivors
#      form a cluster of two it is recovered (--wsrep-recover) and rejoins by IST, kept in
#      maintenance on HAProxy until it is synced;
#   2. server instance 1 is killed (SIGKILL) and started again from its program directory;
#   3. once it serves again, instance 2 is stopped (SIGSTOP) for 3 s: HAProxy must mark it down
#      through /health and up again after SIGCONT.
# Checks: every request ended ok, as an error record or lost, and a lost one was under way during
# fault 2 or 3 (it ended after the fault began and was sent at most 5 s after the fault ended);
# on every node each counter is at least its ok replies and at most ok + error records + lost;
# the ok values of a counter increase in send order; the three nodes' tables have the same
# checksums; afterwards each instance directly and both through HAProxy answer every request.
# It prints the figures: requests and outcomes, for each fault the longest time without any ok
# reply and the longest one terminal waited, and the throughput of one instance against both.
#
# Usage: tools/cluster_test.sh [--build DIR] [--server PATH] [--keep]
#   --build DIR    the build directory with larvek_load and srvlarvek ($LARVEK_BUILD or build/)
#   --server PATH  the server executable to test ($SRVLARVEK or DIR/srvlarvek)
#   --keep         keep the temporary directory also when every check passed
#
# The configurations come from packaging/galera-node.cnf and packaging/haproxy.cfg, their
# placeholders filled in. Every process runs from a temporary directory with its log there, and
# the cleanup on exit stops each by its PID. On a failure the directory is kept and the ends of
# the logs that tell why are printed. The nodes run as the user mysql when the test runs as root.
# Needs the Debian packages mariadb-server, galera-4, haproxy, rsync and socat; as root it
# installs the missing ones (tools/install_packages.sh).
# Exit status: 0 every check passed, 1 a check failed, 2 set-up error, 77 skipped (a missing
# package); with the environment variable CI set a skip is a failure (1).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
keep=0
build=${LARVEK_BUILD:-$root/build}
server=${SRVLARVEK:-}
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --build) build=${2:?--build needs a directory}; shift ;;
    --server) server=${2:?--server needs a path}; shift ;;
    *) sed -n '25,28p' "$0" >&2; exit 2 ;;
  esac
  shift
done
server=${server:-$build/srvlarvek}
load=$build/larvek_load
PATH="$PATH:/usr/sbin:/sbin"

load_connections=8
load_s=65               # the counting load through the faults
request_timeout_ms=20000  # above the commit stall of a node's death (about 6 s) and a freeze
throughput_s=5          # each of the short runs afterwards
stop_s=3                # fault 3: instance 2 stopped for this long
pause_s=5               # normal service between two faults
lost_slack_us=5000000   # a lost request may have been sent up to 5 s after its fault ended

note() { echo "cluster: $(date +%T) $*"; }
die() { echo "cluster: $*" >&2; exit 2; }
now_us() { date +%s%6N; }

for program in "$server" "$load"; do
  [ -x "$program" ] || die "missing $program; build it: cmake --build build"
done

# --- packages -----------------------------------------------------------------------------
missing_programs() {
  local p
  for p in mariadbd mariadb-install-db mariadb haproxy socat rsync wsrep_sst_rsync; do
    command -v "$p" >/dev/null || echo "$p"
  done
  [ -e /usr/lib/galera/libgalera_smm.so ] || echo libgalera_smm.so
}
missing=$(missing_programs)
if [ -n "$missing" ] && [ "$(id -u)" -eq 0 ]; then
  "$root/tools/install_packages.sh" mariadb-server mariadb-client galera-4 haproxy rsync socat \
    >&2 || true
  missing=$(missing_programs)
fi
if [ -n "$missing" ]; then
  if [ -n "${CI:-}" ]; then
    echo "cluster: FAIL: missing $(echo $missing), and under CI the test may not be skipped" >&2
    exit 1
  fi
  echo "cluster: skipped: missing $(echo $missing) (Debian: mariadb-server galera-4 haproxy rsync socat)" >&2
  exit 77
fi
if [ "$(id -u)" -eq 0 ]; then
  node_user=mysql  # the rsync SST drops root's rights and fails on root's folders
  id mysql >/dev/null 2>&1 || die "no user mysql to run the database nodes as"
else
  node_user=$(id -un)
fi

# --- ports: a base below 32768 whose ports are all free --------------------------------------
# node i: client base+i, group communication base+10+i, SST base+20+i, IST base+30+i;
# HAProxy: database base+40, terminals base+41; instance k: terminals base+50+k, status base+60+k
port_offsets=(1 2 3 11 12 13 21 22 23 31 32 33 40 41 51 52 61 62)
used_ports=$(ss -Htan 2>/dev/null | awk '{n = split($4, a, ":"); print a[n]}' | sort -u)
base=""
for candidate in $(seq 20000 500 31500); do
  clash=0
  for offset in "${port_offsets[@]}"; do
    grep -qx "$((candidate + offset))" <<<"$used_ports" && { clash=1; break; }
  done
  [ "$clash" = 0 ] && { base=$candidate; break; }
done
[ -n "$base" ] || die "no free range of ports found below 32768"
node_port() { echo $((base + $1)); }
database_port=$((base + 40))
terminal_port=$((base + 41))
server_port() { echo $((base + 50 + $1)); }
status_port() { echo $((base + 60 + $1)); }

# --- the temporary directory and the cleanup ----------------------------------------------
dir=$(mktemp -d /tmp/larvek-cluster-XXXXXX)
chmod 755 "$dir"  # the nodes' user reaches its folders inside
declare -A node_pid=() server_pid=()
haproxy_pid=""
load_pid=""
failures=()
cleanup() {
  trap '' INT TERM
  local pid
  [ -n "$load_pid" ] && kill -KILL "$load_pid" 2>/dev/null
  for pid in "${server_pid[@]}"; do
    kill -CONT "$pid" 2>/dev/null; kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  done
  [ -n "$haproxy_pid" ] && { kill -TERM "$haproxy_pid" 2>/dev/null; wait "$haproxy_pid" 2>/dev/null; }
  # The data goes with the directory: the nodes need no clean shutdown.
  for pid in "${node_pid[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for pid in "${node_pid[@]}"; do wait "$pid" 2>/dev/null; done
  if [ "$keep" = 1 ] || [ "${#failures[@]}" -gt 0 ] || [ "${passed:-0}" != 1 ]; then
    echo "cluster: files kept in $dir"
  else
    rm -rf "$dir"
  fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM

# The ends of the logs that tell what went wrong.
show_logs() {
  local f
  for f in "$dir"/load.err "$dir"/srv/s*/server.err "$dir"/srv/s*/server.out "$dir"/haproxy.log \
           "$dir"/n*/error.log; do
    [ -s "$f" ] || continue
    echo "----- ${f#$dir/} (last lines)"
    grep -v ' progress ' "$f" | tail -n 12
  done
}
fail() { failures+=("$1"); echo "cluster: FAIL: $1"; }
abort() { fail "$1"; show_logs; exit 1; }

# --- the Galera nodes -----------------------------------------------------------------------
node_dir() { echo "$dir/n$1"; }
sql_node() { local i=$1; shift; mariadb --no-defaults -uroot "--socket=$(node_dir "$i")/mysql.sock" "$@"; }
node_status() { sql_node "$1" -Nse "show status like '$2'" 2>/dev/null | cut -f2; }

write_node_config() {
  local i=$1 d
  d=$(node_dir "$i")
  mkdir -p "$d/data"
  sed -e "s|@USER@|$node_user|g" -e "s|@NODE_NAME@|n$i|g" -e "s|@NODE_HOST@|127.0.0.1|g" \
      -e "s|@CLIENT_PORT@|$(node_port "$i")|g" -e "s|@GALERA_PORT@|$((base + 10 + i))|g" \
      -e "s|@SST_PORT@|$((base + 20 + i))|g" -e "s|@IST_PORT@|$((base + 30 + i))|g" \
      -e "s|@CLUSTER_NAME@|larvek_cluster_test|g" \
      -e "s|@CLUSTER_ADDRESS@|127.0.0.1:$((base + 11)),127.0.0.1:$((base + 12)),127.0.0.1:$((base + 13))|g" \
      -e "s|@DATA_DIR@|$d/data|g" -e "s|@SOCKET@|$d/mysql.sock|g" -e "s|@PID_FILE@|$d/mariadbd.pid|g" \
      -e "s|@ERROR_LOG@|$d/error.log|g" -e "s|@BUFFER_POOL_SIZE@|32M|g" -e "s|@LOG_FILE_SIZE@|16M|g" \
      -e "s|@GCACHE_SIZE@|32M|g" "$root/packaging/galera-node.cnf" >"$d/my.cnf"
  ! grep -q '@[A-Z0-9_]*@' "$d/my.cnf" || die "packaging/galera-node.cnf has a placeholder the test does not fill: $(grep -o '@[A-Z0-9_]*@' "$d/my.cnf" | head -1)"
  [ "$(id -u)" -eq 0 ] && chown -R "$node_user:" "$d"
  return 0
}

start_node() {
  local i=$1; shift
  mariadbd "--defaults-file=$(node_dir "$i")/my.cnf" "$@" >>"$(node_dir "$i")/mariadbd.out" 2>&1 &
  node_pid[$i]=$!
}

# Waits (at most $2 seconds) until node $1 is synced; false when it died or the time ran out.
wait_synced() {
  local i=$1 deadline=$(($(date +%s) + $2))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    kill -0 "${node_pid[$i]}" 2>/dev/null || { note "node n$i ended"; return 1; }
    [ "$(node_status "$i" wsrep_local_state_comment)" = Synced ] && return 0
    sleep 0.2
  done
  note "node n$i not synced within $2 s"
  return 1
}

note "ports from $base; nodes run as $node_user; files in $dir"
for i in 1 2 3; do write_node_config "$i"; done
started=$(date +%s)
mariadb-install-db "--defaults-file=$(node_dir 1)/my.cnf" "--user=$node_user" --skip-test-db \
  --auth-root-authentication-method=normal >"$(node_dir 1)/install.log" 2>&1 ||
  { cat "$(node_dir 1)/install.log" >&2; die "mariadb-install-db failed"; }
start_node 1 --wsrep-new-cluster
wait_synced 1 60 || abort "node n1 did not bootstrap the cluster"

# The command table as data/sample_schema.sql lays it out, the counting command and its rows:
# 1-8 for the load, 101-108, 201-208 and 301-308 for the runs afterwards.
{
  echo "CREATE DATABASE larvek CHARACTER SET cp1250 COLLATE cp1250_general_ci; USE larvek;"
  sed -n '/^CREATE TABLE server_term/,/;$/p' "$root/data/sample_schema.sql"
  cat <<'EOF'
INSERT INTO server_term (operace, ze_ctecky, do_ctecky, prikaz_SQL1, prikaz_SQL2, chyba)
  VALUES ('CITAC', 1, 'id|n', 'update citac set n = n + 1 where id = %a%',
          'select id, n from citac where id = %a%', 'NENI');
CREATE TABLE citac (id INT PRIMARY KEY, n INT NOT NULL) ENGINE=InnoDB;
INSERT INTO citac (id, n) SELECT seq, 0 FROM seq_1_to_8;
INSERT INTO citac (id, n) SELECT seq, 0 FROM seq_101_to_108;
INSERT INTO citac (id, n) SELECT seq, 0 FROM seq_201_to_208;
INSERT INTO citac (id, n) SELECT seq, 0 FROM seq_301_to_308;
CREATE USER 'larvek'@'127.0.0.1' IDENTIFIED BY 'heslo';
GRANT ALL PRIVILEGES ON larvek.* TO 'larvek'@'127.0.0.1';
CREATE USER 'hacheck'@'127.0.0.1';
EOF
} | sql_node 1 || abort "cannot create the database on node n1"

start_node 2
start_node 3
wait_synced 2 90 || abort "node n2 did not join by SST"
wait_synced 3 90 || abort "node n3 did not join by SST"
note "three nodes synced in $(($(date +%s) - started)) s (cluster size $(node_status 1 wsrep_cluster_size))"

# --- HAProxy --------------------------------------------------------------------------------
sed -e "s|@ADMIN_SOCKET@|$dir/admin.sock|g" -e "s|@TERMINAL_ADDRESS@|127.0.0.1:$terminal_port|g" \
    -e "s|@SERVER1_ADDRESS@|127.0.0.1:$(server_port 1)|g" -e "s|@SERVER2_ADDRESS@|127.0.0.1:$(server_port 2)|g" \
    -e "s|@SERVER1_STATUS_PORT@|$(status_port 1)|g" -e "s|@SERVER2_STATUS_PORT@|$(status_port 2)|g" \
    -e "s|@DATABASE_ADDRESS@|127.0.0.1:$database_port|g" \
    -e "s|@NODE1_ADDRESS@|127.0.0.1:$(node_port 1)|g" -e "s|@NODE2_ADDRESS@|127.0.0.1:$(node_port 2)|g" \
    -e "s|@NODE3_ADDRESS@|127.0.0.1:$(node_port 3)|g" "$root/packaging/haproxy.cfg" >"$dir/haproxy.cfg"
! grep -q '@[A-Z0-9_]*@' "$dir/haproxy.cfg" || die "packaging/haproxy.cfg has a placeholder the test does not fill: $(grep -o '@[A-Z0-9_]*@' "$dir/haproxy.cfg" | head -1)"
haproxy -c -f "$dir/haproxy.cfg" >"$dir/haproxy-check.log" 2>&1 ||
  { cat "$dir/haproxy-check.log" >&2; die "HAProxy refuses the configuration"; }
haproxy -db -f "$dir/haproxy.cfg" >"$dir/haproxy.log" 2>&1 &
haproxy_pid=$!

admin() { echo "$1" | socat -t 2 - "UNIX-CONNECT:$dir/admin.sock" 2>/dev/null; }
# The operational state HAProxy gives server $2 of backend $1: 2 up, 0 down.
backend_state() { admin "show servers state $1" | awk -v s="$2" '$4 == s {print $6}'; }
# Waits (at most $4 seconds) until server $2 of backend $1 is in state $3.
wait_backend_state() {
  local deadline=$(($(date +%s) + $4))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    [ "$(backend_state "$1" "$2")" = "$3" ] && return 0
    sleep 0.2
  done
  return 1
}
# The node that takes the writes: n1 while HAProxy has it up, else the first backup that is up.
active_node() {
  admin "show servers state galera" | awk '$6 == 2 {print substr($4, 2); exit}'
}
wait_backend_state galera n1 2 20 || abort "HAProxy does not see node n1 up"

# --- the server instances -------------------------------------------------------------------
# One program directory each (own INI, day logs, u.txt as its working directory), the shared
# login file beside them.
mkdir -p "$dir/srv"
printf '[LogOn]\r\nUser=larvek\r\nPassword=heslo\r\n' >"$dir/srv/larvek05.ini"
for k in 1 2; do
  mkdir -p "$dir/srv/s$k"
  cp "$server" "$dir/srv/s$k/srvlarvek"
  printf '[LogOn]\r\nIP=127.0.0.1\r\nSQLport=%s\r\nDatabase=larvek\r\nSQLtimeout=30\r\n[Server]\r\nServer_IP=127.0.0.1\r\nServer_port=%s\r\nStatus_port=%s\r\nUkoncovac=#\r\nParallel_requests=16\r\nInterval_on=False\r\n' \
    "$database_port" "$(server_port "$k")" "$(status_port "$k")" >"$dir/srv/s$k/srvlarvek.INI"
done
start_server() {
  local d=$dir/srv/s$1
  (cd "$d" && exec ./srvlarvek --console >>"$d/server.out" 2>>"$d/server.err") &
  server_pid[$1]=$!
}
healthy() {
  timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && printf "GET /health HTTP/1.0\r\n\r\n" >&3 &&
                     head -n 1 <&3' _ "$(status_port "$1")" 2>/dev/null | grep -q ' 200 '
}
# Waits (at most $2 seconds) until instance $1 answers /health and HAProxy has it up.
wait_serving() {
  local deadline=$(($(date +%s) + $2))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    kill -0 "${server_pid[$1]}" 2>/dev/null || return 1
    healthy "$1" && [ "$(backend_state servers "srv$1")" = 2 ] && return 0
    sleep 0.2
  done
  return 1
}
start_server 1
start_server 2
wait_serving 1 30 || abort "server instance 1 does not serve"
wait_serving 2 30 || abort "server instance 2 does not serve"

# counting runs: counters from $1, target $2, further larvek_load options after them
count_run() {
  local first=$1 target=$2; shift 2
  "$load" --connections "$load_connections" --count "$first" --terminator '#' \
    --timeout "$request_timeout_ms" "$@" "$target"
}
count_run 101 "127.0.0.1:$terminal_port" --requests 2 >"$dir/warmup.out" 2>&1 ||
  abort "the warm-up through HAProxy failed: $(tr '\n' ' ' <"$dir/warmup.out")"
note "cluster, HAProxy and both instances serve ($(($(date +%s) - started)) s since the install)"

# --- the load and the faults --------------------------------------------------------------
note "load: $load_connections terminals counting for $load_s s"
count_run 1 "127.0.0.1:$terminal_port" --requests 0 --duration "$load_s" --allow-errors \
  --record "$dir/load.csv" --report 50 --progress >"$dir/load.out" 2>"$dir/load.err" &
load_pid=$!
load_running() { kill -0 "$load_pid" 2>/dev/null; }
sleep "$pause_s"

# Fault 1: the active database node dies and comes back by IST.
fault1_start=$(now_us)
victim=$(active_node)
[ -n "$victim" ] || abort "HAProxy has no database node up"
note "fault 1: killing database node n$victim (SIGKILL)"
kill -KILL "${node_pid[$victim]}"
wait "${node_pid[$victim]}" 2>/dev/null
survivors=()
for i in 1 2 3; do [ "$i" != "$victim" ] && survivors+=("$i"); done
deadline=$(($(date +%s) + 40))
shrunk=0
while [ "$(date +%s)" -lt "$deadline" ]; do
  shrunk=1
  for i in "${survivors[@]}"; do
    [ "$(node_status "$i" wsrep_cluster_size)" = 2 ] &&
      [ "$(node_status "$i" wsrep_cluster_status)" = Primary ] || shrunk=0
  done
  [ "$shrunk" = 1 ] && break
  sleep 0.2
done
[ "$shrunk" = 1 ] || abort "the survivors do not form a primary cluster of two"
note "fault 1: the survivors are a cluster of two after $((($(now_us) - fault1_start) / 1000)) ms"
# A joining node passes HAProxy's login check before it is synced: it stays in maintenance.
admin "set server galera/n$victim state maint" >/dev/null
recover_log=$(node_dir "$victim")/recover.log
rm -f "$recover_log"
mariadbd "--defaults-file=$(node_dir "$victim")/my.cnf" --wsrep-recover "--log-error=$recover_log" \
  >>"$(node_dir "$victim")/mariadbd.out" 2>&1
position=$(sed -n 's/.*Recovered position: *\([0-9a-f-]*:-\{0,1\}[0-9]*\).*/\1/p' "$recover_log" | tail -n 1)
[ -n "$position" ] || { tail -n 20 "$recover_log"; abort "--wsrep-recover gave no position for n$victim"; }
start_node "$victim" "--wsrep-start-position=$position"
wait_synced "$victim" 60 || abort "node n$victim did not rejoin from $position"
grep -q 'IST received' "$(node_dir "$victim")/error.log" ||
  note "fault 1: n$victim's log shows no IST: it may have taken a full SST"
admin "set server galera/n$victim state ready" >/dev/null
wait_backend_state galera "n$victim" 2 20 || abort "HAProxy does not take node n$victim back"
fault1_end=$(now_us)
note "fault 1: n$victim is back from $position after $((($(now_us) - fault1_start) / 1000)) ms"
load_running || abort "the load ended during fault 1"
sleep "$pause_s"

# Fault 2: server instance 1 dies and is started again.
fault2_start=$(now_us)
note "fault 2: killing server instance 1 (SIGKILL)"
kill -KILL "${server_pid[1]}"
wait "${server_pid[1]}" 2>/dev/null
sleep 1
start_server 1
wait_serving 1 30 || abort "server instance 1 does not serve again after its restart"
fault2_end=$(now_us)
note "fault 2: instance 1 serves again after $((($(now_us) - fault2_start) / 1000)) ms"
load_running || abort "the load ended during fault 2"
sleep "$pause_s"

# Fault 3: server instance 2 stops for a while: HAProxy takes it out and back.
fault3_start=$(now_us)
note "fault 3: stopping server instance 2 for $stop_s s (SIGSTOP)"
kill -STOP "${server_pid[2]}"
went_down=0
while [ $(($(now_us) - fault3_start)) -lt $((stop_s * 1000000)) ]; do
  [ "$(backend_state servers srv2)" = 0 ] && went_down=1
  sleep 0.2
done
kill -CONT "${server_pid[2]}"
[ "$went_down" = 1 ] || fail "HAProxy did not mark the stopped instance 2 down within $stop_s s"
wait_backend_state servers srv2 2 20 || abort "HAProxy does not take instance 2 back after SIGCONT"
fault3_end=$(now_us)
note "fault 3: instance 2 is up on HAProxy again after $((($(now_us) - fault3_start) / 1000)) ms"
load_running || fail "the load ended during fault 3: the run is too short for the faults"

wait "$load_pid"
load_status=$?
load_pid=""
grep -v ' progress ' "$dir/load.err" | head -n 5
cat "$dir/load.out"
case $load_status in
  0 | 1) ;;
  *) abort "the load generator ended with status $load_status" ;;
esac
[ -s "$dir/load.csv" ] || abort "the load left no record file"

# --- what the requests saw ----------------------------------------------------------------
# Per counter: ok, error records, lost, mismatched; the ok values in send order; lost requests
# outside the faults of the terminal side.
LC_ALL=C sort -t, -k4,4n <(tail -n +2 "$dir/load.csv") >"$dir/by_send.csv"
awk -F, -v f2s="$fault2_start" -v f2e="$fault2_end" -v f3s="$fault3_start" -v f3e="$fault3_end" \
    -v slack="$lost_slack_us" -v counts="$dir/counts.txt" '
  function in_fault(start, end) { return $5 >= start && $4 <= end + slack }
  NR == 1 { first = $4 }
  $2 == "ok" {
    ok[$1]++
    if (($1 in last) && $3 + 0 <= last[$1] + 0)
      printf "counter %s: ok value %s after %s, sent %.3f s later\n", $1, $3, last[$1],
             ($4 - last_sent[$1]) / 1e6
    last[$1] = $3; last_sent[$1] = $4; next
  }
  $2 == "error" { error[$1]++; next }
  $2 == "lost" {
    lost[$1]++
    if (!in_fault(f2s, f2e) && !in_fault(f3s, f3e))
      printf "counter %s: a request lost outside faults 2 and 3 (sent %.3f s after the load began)\n",
             $1, ($4 - first) / 1e6
    next
  }
  { printf "counter %s: request ended as %s\n", $1, $2 }
  END {
    for (c in ok) seen[c] = 1
    for (c in error) seen[c] = 1
    for (c in lost) seen[c] = 1
    for (c in seen) print c, ok[c] + 0, error[c] + 0, lost[c] + 0 > counts
  }' "$dir/by_send.csv" >"$dir/violations.txt"
if [ -s "$dir/violations.txt" ]; then
  fail "$(wc -l <"$dir/violations.txt") requests break the rules, e.g. $(head -n 3 "$dir/violations.txt" | tr '\n' ';')"
fi
read -r requests ok errors lost < <(awk '{o += $2; e += $3; l += $4} END {print o + e + l, o, e, l}' "$dir/counts.txt")
summary=$(grep 'requests=' "$dir/load.out")
[ "requests=$requests" = "$(grep -o 'requests=[0-9]*' <<<"$summary")" ] ||
  fail "the record file holds $requests requests, the summary says: $summary"

# What each fault cost, from 1 s before it to 5 s after it: the error records and lost requests
# that ended then, and the longest gap between two ok replies overlapping it, of any terminal
# and of one terminal.
LC_ALL=C sort -t, -k5,5n <(tail -n +2 "$dir/load.csv") >"$dir/by_end.csv"
fault_cost() {
  awk -F, -v from=$(($1 - 1000000)) -v to=$(($2 + 5000000)) '
    $5 >= from && $5 <= to && $2 == "error" { errors++ }
    $5 >= from && $5 <= to && $2 == "lost" { lost++ }
    $2 != "ok" { next }
    { t = $5 }
    seen && t >= from && prev <= to && t - prev > any { any = t - prev }
    ($1 in mine) && t >= from && mine[$1] <= to && t - mine[$1] > one { one = t - mine[$1] }
    { prev = t; seen = 1; mine[$1] = t }
    END {
      printf "%d error records, %d lost; no ok reply for %.2f s, one terminal waited at most %.2f s",
             errors, lost, any / 1e6, one / 1e6
    }' "$dir/by_end.csv"
}
tenths() { awk -v us="$1" 'BEGIN {printf "%.1f", us / 1e6}'; }
fault_figures=(
  "fault 1 (node n$victim killed, back by IST after $(tenths $((fault1_end - fault1_start))) s): $(fault_cost "$fault1_start" "$fault1_end")"
  "fault 2 (instance 1 killed, serving again after $(tenths $((fault2_end - fault2_start))) s): $(fault_cost "$fault2_start" "$fault2_end")"
  "fault 3 (instance 2 stopped for $stop_s s, up again after $(tenths $((fault3_end - fault3_start))) s): $(fault_cost "$fault3_start" "$fault3_end")"
)

# --- every node's counters and checksums ----------------------------------------------------
for i in 1 2 3; do
  wait_synced "$i" 30 || fail "node n$i is not synced after the load"
done
node_sql() { # node, statement: as the server's user on the node's own port
  MYSQL_PWD=heslo mariadb --no-defaults -h127.0.0.1 -P"$(node_port "$1")" -ularvek larvek -Nse "$2"
}
for i in 1 2 3; do
  node_sql "$i" "SET SESSION wsrep_sync_wait = 1; SELECT id, n FROM citac WHERE id <= 100" \
    >"$dir/n$i-counters.txt" || { fail "cannot read the counters on node n$i"; continue; }
  bad=$(awk -v node="n$i" '
    FNR == NR { ok[$1] = $2; bound[$1] = $2 + $3 + $4; next }
    ($1 in ok) && ($2 < ok[$1] || $2 > bound[$1]) {
      printf "%s: counter %s is %s, ok %s, at most %s; ", node, $1, $2, ok[$1], bound[$1] }
    ' "$dir/counts.txt" "$dir/n$i-counters.txt")
  [ -z "$bad" ] || fail "$bad"
done
checksums=()
for attempt in 1 2 3 4 5; do
  checksums=()
  for i in 1 2 3; do
    checksums+=("$(node_sql "$i" "SET SESSION wsrep_sync_wait = 1; SELECT COUNT(*) FROM citac;
                                  CHECKSUM TABLE citac, server_term" | awk '{printf "%s ", $NF}')")
  done
  [ "${checksums[0]}" = "${checksums[1]}" ] && [ "${checksums[1]}" = "${checksums[2]}" ] && break
  sleep 1
done
[ "${checksums[0]}" = "${checksums[1]}" ] && [ "${checksums[1]}" = "${checksums[2]}" ] ||
  fail "the nodes differ: n1 ${checksums[0]}| n2 ${checksums[1]}| n3 ${checksums[2]}"

# --- normal service afterwards, and one instance against two ----------------------------------
rate() { sed -n 's/.* \([0-9]*\) requests\/s.*/\1/p' "$1"; }
for k in 1 2; do
  count_run $((k * 100 + 101)) "127.0.0.1:$(server_port "$k")" --requests 0 \
    --duration "$throughput_s" >"$dir/after-s$k.out" 2>&1 ||
    fail "instance $k does not answer normally after the faults: $(tr '\n' ' ' <"$dir/after-s$k.out")"
done
count_run 101 "127.0.0.1:$terminal_port" --requests 0 --duration "$throughput_s" \
  >"$dir/after-both.out" 2>&1 ||
  fail "HAProxy over both instances does not answer normally after the faults: $(tr '\n' ' ' <"$dir/after-both.out")"
one=$(rate "$dir/after-s1.out") both=$(rate "$dir/after-both.out")

echo "cluster: figures: requests=$requests ok=$ok errors=$errors lost=$lost"
printf 'cluster:   %s\n' "${fault_figures[@]}"
echo "cluster:   throughput with $load_connections terminals: one instance ${one:-?} requests/s," \
  "both through HAProxy ${both:-?} requests/s, ratio $(awk -v a="${both:-0}" -v b="${one:-0}" \
  'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')"
note "the whole test took $(($(date +%s) - started)) s"

if [ "${#failures[@]}" -eq 0 ]; then
  passed=1
  echo "cluster: PASS"
  exit 0
fi
show_logs
echo "cluster: FAIL (${#failures[@]} checks):"
printf '  - %s\n' "${failures[@]}"
exit 1
