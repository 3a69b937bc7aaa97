#!/usr/bin/env bash
# Soak test of srvlarvek: many terminals in a closed loop over loopback while the database
# server is restarted and, later, frozen for a few seconds. Requests during the outages may get
# the error record; none may go unanswered or get another request's record. Afterwards the
# server must answer normally again, hold no more descriptors than before the load, not have
# grown by more than 50 MB, and every log line it printed before being killed (SIGKILL) must
# be in its day file.
#
# Usage: tools/soak.sh [--long] [--parallel N] [--build DIR] [--server PATH] [--keep]
#   (default)      300 terminals x 100 requests and 20 idle connections, about a minute
#   --long         1,000 terminals x 100 requests and 100 idle connections
#   --parallel N   the server in parallel mode ([Server] Parallel_requests=N, 2 to 256); its
#                  database links are counted apart: at most N of them under load (sampled)
#                  and afterwards, and no more other descriptors than before the load
#   --build DIR    the build directory with larvek_load and srvlarvek ($LARVEK_BUILD or build/)
#   --server PATH  the server executable to test ($SRVLARVEK or DIR/srvlarvek)
#   --keep         keep the temporary directory (logs, configuration, database) for inspection
#
# It starts a private MariaDB server (bench/throwaway_mariadb.sh) and the server from a
# temporary program directory; the cleanup on exit stops everything it started. All traffic
# goes to loopback addresses only: when the host name does not resolve to one (the server
# listens on the host name's first IPv4 address), the test is skipped (exit status 77).
# Exit status: 0 every check passed, 1 a check failed, 2 usage or set-up error, 77 skipped.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
long=0
keep=0
parallel=1
build=${LARVEK_BUILD:-$root/build}
server=${SRVLARVEK:-}
while [ $# -gt 0 ]; do
  case $1 in
    --long) long=1 ;;
    --keep) keep=1 ;;
    --parallel) parallel=${2:?--parallel needs a number}; shift
                [[ $parallel =~ ^[0-9]+$ ]] && [ "$parallel" -ge 2 ] && [ "$parallel" -le 256 ] ||
                  { echo "soak: --parallel takes 2 to 256" >&2; exit 2; } ;;
    --build) build=${2:?--build needs a directory}; shift ;;
    --server) server=${2:?--server needs a path}; shift ;;
    *) sed -n '9,18p' "$0" >&2; exit 2 ;;
  esac
  shift
done
server=${server:-$build/srvlarvek}
load=$build/larvek_load

if [ "$long" = 1 ]; then
  terminals=1000 requests=100 idle=100 cap=1200
else
  terminals=300 requests=100 idle=20 cap=300
fi
reply_timeout_ms=15000     # the database is frozen for 5 s; the requests wait in turn behind it
freeze_s=5
rss_growth_limit_kb=51200  # 50 MB

for program in "$server" "$load"; do
  if [ ! -x "$program" ]; then
    echo "soak: missing $program; build it: cmake --build build" >&2
    exit 2
  fi
done

host=$(getent ahostsv4 "$(hostname)" | awk 'NR == 1 {print $1}')
case $host in
  127.*) ;;
  *) echo "soak: skipped: the host name resolves to '${host:-nothing}', not to a loopback" \
       "address, and the server listens there" >&2
     exit 77 ;;
esac

source "$root/bench/throwaway_mariadb.sh"

dir=$(mktemp -d /tmp/larvek-soak-XXXXXX)
srv_pid=""
load_pid=""
cleanup() {
  [ -n "$load_pid" ] && kill -TERM "$load_pid" 2>/dev/null  # timeout passes it on to the load
  [ -n "$srv_pid" ] && kill -KILL "$srv_pid" 2>/dev/null
  [ -n "$srv_pid" ] && wait "$srv_pid" 2>/dev/null
  mariadb_stop
  if [ "$keep" = 1 ]; then
    echo "soak: files kept in $dir"
  else
    rm -rf "$dir"
  fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM

failures=()
fail() { failures+=("$1"); echo "soak: FAIL: $1"; }
note() { echo "soak: $(date +%T) $*"; }
die() { echo "soak: $*" >&2; exit 2; }

# --- the database -------------------------------------------------------------------------
mkdir -p "$dir/db"
note "starting the database server"
mariadb_start "$dir/db" || die "the database server did not start"
{ create_command_database &&
  sql larvek -e "INSERT INTO server_term VALUES ('ECHO', 1, 'v', 'select %a% as v', '', 'NENI')"; } ||
  die "cannot create the database"

# --- the server ---------------------------------------------------------------------------
srv_port=$(free_port)
mkdir -p "$dir/prog" "$dir/work"
cp "$server" "$dir/prog/srvlarvek"
printf '[LogOn]\r\nIP=127.0.0.1\r\nSQLport=%s\r\nDatabase=larvek\r\nSQLtimeout=2\r\n[Server]\r\nServer_port=%s\r\nUkoncovac=#\r\n' \
  "$db_port" "$srv_port" >"$dir/prog/srvlarvek.INI"
[ "$parallel" -gt 1 ] && printf 'Parallel_requests=%s\r\n' "$parallel" >>"$dir/prog/srvlarvek.INI"
printf '[LogOn]\r\nUser=larvek\r\nPassword=heslo\r\n' >"$dir/larvek05.ini"
if [ "$parallel" -gt 1 ]; then
  note "starting the server on $host:$srv_port, Parallel_requests=$parallel"
else
  note "starting the server on $host:$srv_port"
fi
(cd "$dir/work" && exec "$dir/prog/srvlarvek" --console >"$dir/server.out" 2>"$dir/server.err") &
srv_pid=$!

target="$host:$srv_port"
# The first answered request tells that the server listens and reaches the database.
ready=0
for _ in $(seq 60); do
  if "$load" --connections 1 --requests 1 --request 'ECHO;warm' --terminator '#' \
       --timeout 2000 "$target" >"$dir/warmup.out" 2>&1; then
    ready=1
    break
  fi
  kill -0 "$srv_pid" 2>/dev/null || break
  sleep 0.5
done
if [ "$ready" != 1 ]; then
  cat "$dir/warmup.out" "$dir/server.err" >&2
  die "the server does not answer ECHO on $target"
fi

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$srv_pid/status" 2>/dev/null; }
fd_count() { ls "/proc/$srv_pid/fd" 2>/dev/null | wc -l; }
# The server's sockets whose peer is the database port: its database links; with "live", only
# those the database has not closed (not in CLOSE_WAIT, state 08 of /proc/net/tcp).
link_count() {
  ls -l "/proc/$srv_pid/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\]$/\1/p' |
    awk -v port="$(printf ':%04X' "$db_port")" -v live="${1:-}" '
      FNR == NR { mine[$1] = 1; next }
      FNR > 1 && substr($3, length($3) - 4) == port && ($10 in mine) &&
        !(live != "" && $4 == "08") { n++ }
      END { print n + 0 }' - "/proc/$srv_pid/net/tcp"
}
# In parallel mode the database links are counted apart: the server keeps up to N of them.
other_fd_count() { echo $(($(fd_count) - $(link_count))); }
sleep 1  # the warm-up connection's close is handled
rss_before=$(rss_kb)
fds_before=$(fd_count)
if [ "$parallel" -gt 1 ]; then
  links_before=$(link_count)
  others_before=$((fds_before - links_before))
  note "server pid $srv_pid: VmRSS ${rss_before} kB, $fds_before descriptors ($links_before database links)"
else
  note "server pid $srv_pid: VmRSS ${rss_before} kB, $fds_before descriptors"
fi

# --- the load and the faults --------------------------------------------------------------
total=$((terminals * requests))
note "load: $terminals terminals x $requests requests, $idle idle connections"
started=$(date +%s)
timeout -k 5 $((cap + reply_timeout_ms / 1000 + 30)) \
  "$load" --connections "$terminals" --requests "$requests" --request 'ECHO;r%d' \
  --terminator '#' --expect echo --allow-errors --idle "$idle" --timeout "$reply_timeout_ms" \
  --duration "$cap" --progress --report "$total" "$target" >"$dir/load.out" 2>"$dir/load.err" &
load_pid=$!

done_count() { grep -o 'done=[0-9]*' "$dir/load.err" | tail -1 | cut -d= -f2; }
# In parallel mode the database links are sampled under load: never more than N at once.
links_most=0
sample_links() {
  [ "$parallel" -gt 1 ] || return 0
  local n
  n=$(link_count live)
  [ "$n" -gt "$links_most" ] && links_most=$n
  return 0
}
# Waits (at most $2 seconds) until the load has finished $1 requests; false when it ended first.
wait_for_done() {
  local goal=$1 deadline=$(($(date +%s) + $2)) n
  while [ "$(date +%s)" -lt "$deadline" ]; do
    kill -0 "$load_pid" 2>/dev/null || return 1
    n=$(done_count)
    [ "${n:-0}" -ge "$goal" ] && return 0
    sample_links
    sleep 0.2
  done
  note "the load did not reach $goal requests in $2 s (at ${n:-0}); going on"
  return 0
}

if wait_for_done $((total / 4)) 120; then
  note "restarting the database server (at $(done_count) requests)"
  mariadb_stop
  mariadb_start "$dir/db" "$db_port" || die "the database server did not start again"
  note "the database server is up again (pid $db_pid)"
else
  fail "the load ended before the database restart"
fi

if wait_for_done $((total * 11 / 20)) 120; then
  note "freezing the database server for $freeze_s s (at $(done_count) requests)"
  kill -STOP "$db_pid"
  sleep "$freeze_s"
  kill -CONT "$db_pid"
  note "the database server runs again"
else
  fail "the load ended before the database freeze"
fi

while kill -0 "$load_pid" 2>/dev/null; do
  sample_links
  sleep 0.2
done
wait "$load_pid"
load_status=$?
load_pid=""
elapsed=$(($(date +%s) - started))
cat "$dir/load.out"
grep -v ' progress ' "$dir/load.err" | head -5
summary=$(grep 'requests=' "$dir/load.out")
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<" $summary"; }
lost=$(field lost) mismatched=$(field mismatched) unsent=$(field unsent)
worst=$(sed -n 's/.*max=\([0-9.]*\).*/\1/p' "$dir/load.out")
case $load_status in
  0 | 1) ;;
  *) fail "the load generator ended with status $load_status" ;;
esac
[ -z "$summary" ] && fail "the load generator printed no summary"
[ "${lost:-1}" = 0 ] || fail "$lost requests lost (no reply within $reply_timeout_ms ms or connection closed)"
[ "${mismatched:-1}" = 0 ] || fail "$mismatched replies mismatched"
[ "${unsent:-1}" = 0 ] || fail "$unsent requests not sent within $cap s"

# --- the server afterwards ----------------------------------------------------------------
if ! kill -0 "$srv_pid" 2>/dev/null; then
  fail "the server is gone"
else
  # Back to normal service without a restart: plain records again, no error records.
  if ! "$load" --connections 1 --requests 5 --request 'ECHO;after%d' --terminator '#' \
       --timeout 5000 "$target" >"$dir/after.out" 2>&1; then
    fail "the server does not answer normally after the outages: $(tr '\n' ' ' <"$dir/after.out")"
  fi
  # The terminals' connections are closed by now; give the server time to see every close.
  if [ "$parallel" -gt 1 ]; then
    others_after=$(other_fd_count)
    for _ in $(seq 100); do
      [ "$others_after" -le "$others_before" ] && break
      sleep 0.2
      others_after=$(other_fd_count)
    done
    links_after=$(link_count)
    fds_after=$(fd_count)
    rss_after=$(rss_kb)
    note "server: VmRSS ${rss_after} kB, $fds_after descriptors ($links_after database links;" \
      "at most $links_most seen under load)"
    [ "$links_most" -le "$parallel" ] ||
      fail "the server held $links_most database links at once under load, more than Parallel_requests=$parallel"
    [ "$others_after" -le "$others_before" ] ||
      fail "the server holds $others_after descriptors besides its database links after the load, $others_before before it"
    [ "$links_after" -le "$parallel" ] ||
      fail "the server holds $links_after database links, more than Parallel_requests=$parallel"
  else
    fds_after=$(fd_count)
    for _ in $(seq 100); do
      [ "$fds_after" -le "$fds_before" ] && break
      sleep 0.2
      fds_after=$(fd_count)
    done
    rss_after=$(rss_kb)
    note "server: VmRSS ${rss_after} kB, $fds_after descriptors"
    [ "$fds_after" -le "$fds_before" ] ||
      fail "the server holds $fds_after descriptors after the load, $fds_before before it"
  fi
  [ $((rss_after - rss_before)) -le "$rss_growth_limit_kb" ] ||
    fail "the server grew from $rss_before kB to $rss_after kB"
  note "killing the server (SIGKILL)"
  kill -KILL "$srv_pid"
  wait "$srv_pid" 2>/dev/null
fi
srv_pid=""

# --- the day file holds every line printed ------------------------------------------------
# Complete lines only: a line the kill cut short was not printed.
printed=$dir/printed.txt
if [ -s "$dir/server.out" ] && [ "$(tail -c 1 "$dir/server.out" | od -An -c | tr -d ' ')" != '\n' ]; then
  sed '$d' "$dir/server.out" >"$printed"
else
  cp "$dir/server.out" "$printed"
fi
day_files=("$dir"/prog/[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]/log.txt)
if [ ! -f "${day_files[0]}" ]; then
  fail "no day file in $dir/prog"
else
  cat "${day_files[@]}" | iconv -f WINDOWS-1250 -t UTF-8 | tr -d '\r' >"$dir/dayfile.txt" ||
    fail "the day file is not Windows-1250 text"
  missing=$(LC_ALL=C comm -23 <(LC_ALL=C sort "$printed") <(LC_ALL=C sort "$dir/dayfile.txt") |
            tee "$dir/missing.txt" | wc -l)
  note "log lines: $(wc -l <"$printed") printed, $(wc -l <"$dir/dayfile.txt") in the day file"
  if [ "$missing" -ne 0 ]; then
    fail "$missing printed log lines are not in the day file, e.g.: $(head -3 "$dir/missing.txt" | tr '\n' '|')"
  fi
fi

# --- what the server's log tells ----------------------------------------------------------
# One at a time, a reception is answered when the server's next log line is its reply; in
# parallel mode replies come in any order, and a reception counts as answered when its echo
# record was logged after it (an error record names no request: such a reply is not seen). An
# empty reception is a terminal closing its connection.
receptions=$(grep -c "  Načteno z .*: '..*'$" "$printed")
replies=$(grep -c '  Odeslal na ' "$printed")
error_replies=$(grep -c '  Odeslal na .*;error#$' "$printed")
note "server log: $receptions receptions, $replies replies ($error_replies error records)"
sed -n "s/.*lost: terminal [0-9]* request '\([^']*\)': .*/\1/p" "$dir/load.err" >"$dir/lost.txt"
if [ -s "$dir/lost.txt" ]; then
  awk -v q="'" -v parallel=$((parallel > 1)) '
    FNR == NR { lost[$0] = 1; next }
    parallel && index($0, "  Odeslal na ") {
      text = substr($0, index($0, ": ") + 2)
      if (substr(text, length(text)) == "#" && (substr(text, 1, length(text) - 1) in read))
        answered[substr(text, 1, length(text) - 1)] = 1
      next
    }
    !parallel && pending != "" { answered[pending] = index($0, "  Odeslal na ") > 0; pending = "" }
    index($0, "  Načteno z ") {
      text = substr($0, index($0, ": " q) + 3); text = substr(text, 1, length(text) - 1)
      if (text in lost) { read[text] = 1; pending = text }
    }
    END {
      for (r in lost) {
        if (!(r in read)) never++; else if (answered[r]) late++; else unanswered++
        if (r in read && !answered[r] && example == "") example = r
      }
      printf "soak: lost requests: %d read by the server and never answered, %d answered " \
             "after the time-out, %d not read by the server in time\n", unanswered, late, never
      if (example != "") print example > "/dev/stderr"
    }' "$dir/lost.txt" "$printed" 2>"$dir/lost_example.txt"
  example=$(cat "$dir/lost_example.txt")
  if [ -n "$example" ]; then
    note "the server's log from the reception of the lost request '$example' on:"
    grep -F -A3 "'$example'" "$printed" | head -4 | sed 's/^/    /'
  fi
fi
awk '/  Připojeno\. Klient/ {n[$1]++} END {for (t in n) print t, n[t]}' "$printed" | sort |
  awk '{printf "%s%s:%d", sep, $1, $2; sep = " "} END {print ""}' >"$dir/accepts.txt"
note "connections accepted per second: $(cut -c1-400 "$dir/accepts.txt")"

# --- summary ------------------------------------------------------------------------------
echo "soak: requests=$(field requests) ok=$(field ok) errors=$(field errors) lost=${lost:-?}" \
  "mismatched=${mismatched:-?} worst latency ${worst:-?} ms; server VmRSS ${rss_before:-?} ->" \
  "${rss_after:-?} kB, descriptors ${fds_before:-?} -> ${fds_after:-?}; ${elapsed} s under load"
if [ ${#failures[@]} -eq 0 ]; then
  echo "soak: PASS"
  exit 0
fi
echo "soak: FAIL (${#failures[@]} checks):"
printf '  - %s\n' "${failures[@]}"
exit 1
