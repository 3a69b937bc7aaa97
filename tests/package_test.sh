#!/usr/bin/env bash
# The Debian package of the headless server, built and used the way an administrator would:
# a headless build with Debian's hardening flags in a temporary directory, `cpack -G DEB`, the
# file list and control data checked, the binaries checked by hardening-check, the package by
# lintian (only overridden tags allowed), the manual pages rendered without a warning, the unit
# verified and its exposure scored, the package extracted into a temporary root and the
# extracted server run in service mode against a throwaway database until it answers one
# request and ends with status 0 on SIGTERM; then, as root, the maintainer scripts on this
# machine (tests/package_install_test.sh).
#
#   tests/package_test.sh [--term PATH_TO_larvek_term] [--keep]
#
# Exit status 77 (skipped) when dpkg-deb, cpack, lintian, hardening-check, man, systemd-analyze
# or the database server are missing.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
term=""
keep=0
while (($#)); do
  case $1 in
    --term) term=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

PATH="$PATH:/usr/sbin:/usr/local/sbin"
for tool in dpkg-deb dpkg-buildflags cpack cmake lintian hardening-check man systemd-analyze \
            mariadbd mariadb-install-db mariadb python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

# shellcheck source=../bench/throwaway_mariadb.sh
source "$source_dir/bench/throwaway_mariadb.sh"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/larvek-package-XXXXXX")
srv_pid=""
cleanup() {
  if [ -n "$srv_pid" ]; then
    kill -KILL "$srv_pid" 2>/dev/null || true
    wait "$srv_pid" 2>/dev/null || true
  fi
  mariadb_stop
  if ((keep)); then echo "kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "== headless build in $tmp/build"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The package build command of the README.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$source_dir" -B "$tmp/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DLARVEK_DESKTOP=OFF -DLARVEK_TESTS=OFF -DLARVEK_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  "${launcher[@]}" >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log" >&2; fail "configure"; }
cmake --build "$tmp/build" -j"$(nproc)" >"$tmp/build.log" 2>&1 ||
  { tail -50 "$tmp/build.log" >&2; fail "build"; }
(cd "$tmp/build" && cpack -G DEB) >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$tmp"/build/srvlarvek_*.deb)
echo "== $(basename "$deb")"

contents=$(dpkg-deb -c "$deb")
for path in /usr/bin/srvlarvek /usr/bin/larvek_term /etc/larvek/larvek05.ini \
            /etc/larvek/srvlarvek/srvlarvek.INI /lib/systemd/system/srvlarvek.service \
            /usr/lib/tmpfiles.d/srvlarvek.conf /usr/share/doc/srvlarvek/copyright \
            /usr/share/doc/srvlarvek/changelog.gz /usr/share/man/man8/srvlarvek.8.gz \
            /usr/share/man/man1/larvek_term.1.gz /usr/share/lintian/overrides/srvlarvek; do
  grep -q " \.$path\$" <<<"$contents" || { echo "$contents" >&2; fail "$path is not in the package"; }
done

conffiles=$(dpkg-deb -I "$deb" conffiles)
for path in /etc/larvek/larvek05.ini /etc/larvek/srvlarvek/srvlarvek.INI; do
  grep -qx "$path" <<<"$conffiles" || fail "$path is not a conffile: $conffiles"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -qi 'qt' <<<"$depends" && fail "the headless package depends on Qt: $depends"

root="$tmp/root"
dpkg-deb -x "$deb" "$root"

# -D_FORTIFY_SOURCE=2, -fstack-protector-strong, -z relro, -z now and PIE; Debian 12's flags
# have no control-flow protection, so that one is not asked for.
hardening-check --nocfprotection "$root/usr/bin/srvlarvek" "$root/usr/bin/larvek_term" \
  >"$tmp/hardening.log" 2>&1 || { cat "$tmp/hardening.log" >&2; fail "hardening-check"; }
cat "$tmp/hardening.log"

echo "== lintian"
lintian --info --display-info --pedantic "$deb" >"$tmp/lintian.log" 2>&1 ||
  { cat "$tmp/lintian.log" >&2; fail "lintian"; }
# A tag line of any severity; overridden ones are not printed.
if grep -E '^[EWIPX]: ' "$tmp/lintian.log" >&2; then
  cat "$tmp/lintian.log" >&2
  fail "lintian tags that are not overridden"
fi

for page in "$root"/usr/share/man/man*/*.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page") renders with warnings: $warnings"
done
echo "== manual pages rendered"

# The unit as installed, and a copy whose ExecStart names the extracted binary (verify wants the
# executable to exist).
mkdir -p "$tmp/unit"
sed "s|^ExecStart=/usr/bin/srvlarvek|ExecStart=$root/usr/bin/srvlarvek|" \
  "$root/lib/systemd/system/srvlarvek.service" >"$tmp/unit/srvlarvek.service"
grep -q "^ExecStart=$root/usr/bin/srvlarvek --service --dir /etc/larvek/srvlarvek " \
  "$tmp/unit/srvlarvek.service" || fail "unexpected ExecStart in the unit"
systemd-analyze verify --man=no "$tmp/unit/srvlarvek.service" >"$tmp/verify.log" 2>&1 ||
  { cat "$tmp/verify.log" >&2; fail "systemd-analyze verify"; }
[ -s "$tmp/verify.log" ] && { cat "$tmp/verify.log" >&2; fail "systemd-analyze verify warns"; }
echo "== unit verified"
systemd-analyze security --offline=yes "$tmp/unit/srvlarvek.service" >"$tmp/security.log" 2>&1 ||
  { cat "$tmp/security.log" >&2; fail "systemd-analyze security"; }
exposure=$(sed -n 's/.*Overall exposure level for srvlarvek.service: \([0-9.]*\).*/\1/p' "$tmp/security.log")
[ -n "$exposure" ] || { cat "$tmp/security.log" >&2; fail "no exposure level"; }
echo "== exposure level of the unit: $exposure (at most 2.5)"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' ||
  { grep '✗' "$tmp/security.log" >&2; fail "the unit's exposure level $exposure is above 2.5"; }

echo "== extracted server against a throwaway database"
mkdir -p "$tmp/db" "$tmp/logs" "$tmp/work"
mariadb_start "$tmp/db"
create_command_database
sql larvek -e "
  INSERT INTO server_term VALUES ('STAV', 1, 'kod|nazev|mnozstvi',
    'select kod, nazev, mnozstvi from sklad where kod = %a%', '', 'NENI');
  CREATE TABLE sklad (kod VARCHAR(10) PRIMARY KEY, nazev VARCHAR(40), mnozstvi INT NULL)
    CHARACTER SET cp1250;
  INSERT INTO sklad VALUES ('A1', 'Matice', 10);"

# The two INI files as an administrator edits them (CR LF lines kept).
etc="$root/etc/larvek"
srv_port=$(free_port)
sed -i -e "s/^IP=.*/IP=127.0.0.1\r/" -e "s/^User=.*/User=larvek\r/" \
  -e "s/^Password=.*/Password=heslo\r/" "$etc/larvek05.ini"
sed -i -e "s/^SQLport=.*/SQLport=$db_port\r/" -e "s/^Server_port=.*/Server_port=$srv_port\r/" \
  -e "s/^Server_IP=.*/Server_IP=127.0.0.1\r/" "$etc/srvlarvek/srvlarvek.INI"

(cd "$tmp/work" && exec "$root/usr/bin/srvlarvek" --service --dir "$etc/srvlarvek" \
  --log-dir "$tmp/logs" >"$tmp/srvlarvek.out" 2>"$tmp/srvlarvek.err") &
srv_pid=$!
for _ in $(seq 300); do
  grep -q "Naslouchá na 127.0.0.1:$srv_port" "$tmp/srvlarvek.out" 2>/dev/null && break
  kill -0 "$srv_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "Naslouchá na 127.0.0.1:$srv_port" "$tmp/srvlarvek.out" ||
  { cat "$tmp/srvlarvek.out" "$tmp/srvlarvek.err" >&2; fail "the server does not listen"; }

if [ -n "$term" ] && [ -x "$term" ]; then
  reply=$("$term" --timeout 5000 "127.0.0.1:$srv_port" "STAV;A1")
else
  exec 3<>"/dev/tcp/127.0.0.1/$srv_port"
  printf 'STAV;A1\r' >&3
  IFS= read -r -t 5 -d $'\r' reply <&3 || true  # the greeting line comes first
  IFS= read -r -t 5 -d $'\r' reply <&3 || true
  exec 3>&-
fi
echo "reply: $reply"
grep -q "Matice" <<<"$reply" || { cat "$tmp/srvlarvek.out" >&2; fail "no reply from the database"; }

kill -TERM "$srv_pid"
status=0
wait "$srv_pid" || status=$?
srv_pid=""
((status == 0)) || { cat "$tmp/srvlarvek.err" >&2; fail "exit status $status after SIGTERM"; }
ls "$tmp"/logs/*/log.txt >/dev/null 2>&1 || fail "no day log in the --log-dir directory"
[ -e "$tmp/work/u.txt" ] || fail "no dump file in the working directory"
mariadb_stop

status=0
bash "$source_dir/tests/package_install_test.sh" "$deb" || status=$?
((status == 0 || status == 77)) || fail "maintainer scripts"
echo "== package test passed"
