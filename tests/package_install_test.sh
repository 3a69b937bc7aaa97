#!/usr/bin/env bash
# The maintainer scripts of the Debian package, run by dpkg on this machine the way an
# administrator meets them, without systemd as PID 1 (their systemd path is checked only by
# `systemd-analyze verify` of the unit in package_test.sh):
#
#   1. install: the user, group and home come without a warning, the day-log directory exists,
#      the configuration belongs to root and the service group;
#   2. the unit enabled as `systemctl enable` does, the server run as the unit runs it (the
#      unit's user, working directory and ExecStart line; no database is needed, --service
#      keeps serving without one);
#   3. reinstall over configuration files the administrator made 0600 root:root: the running
#      server is stopped by the prerm, the modes stay;
#   4. remove with a server running: it has ended (on SIGTERM) when dpkg returns;
#   5. purge: user, group, /var/lib/srvlarvek, /var/log/srvlarvek, the registered modes and the
#      enable link are gone.
#
#   tests/package_install_test.sh PATH_TO_srvlarvek.deb
#
# Needs root. Exit status 77 (skipped) without root or its tools, or when the package or the
# user srvlarvek already exist here (an installation this test must not touch). Whatever the
# outcome, the package, the user and their files are removed again.
set -euo pipefail
deb=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
PATH="$PATH:/usr/sbin:/sbin"

[ "$(id -u)" -eq 0 ] || { echo "skipped: installing the package needs root"; exit 77; }
for tool in dpkg dpkg-statoverride systemctl setpriv flock python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
# One installation at a time on this machine, also from other checkouts.
exec 9>/run/lock/srvlarvek-package-install-test
flock -w 600 9 || { echo "FAIL: another package install test holds the lock" >&2; exit 1; }
if dpkg-query -W -f='${Status}\n' srvlarvek 2>/dev/null | grep -qv '^unknown ok not-installed$'; then
  echo "skipped: the package srvlarvek is installed here"
  exit 77
fi
if getent passwd srvlarvek >/dev/null || getent group srvlarvek >/dev/null; then
  echo "skipped: the user or group srvlarvek exists here"
  exit 77
fi
for path in /etc/larvek /var/lib/srvlarvek /var/log/srvlarvek; do
  [ -e "$path" ] && { echo "skipped: $path exists here"; exit 77; }
done

# shellcheck source=../bench/throwaway_mariadb.sh
source "$source_dir/bench/throwaway_mariadb.sh"  # free_port

unit=/lib/systemd/system/srvlarvek.service
enable_link=/etc/systemd/system/multi-user.target.wants/srvlarvek.service
config=(/etc/larvek/larvek05.ini /etc/larvek/srvlarvek/srvlarvek.INI)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/larvek-install-XXXXXX")
srv_pid=""
cleanup() {
  if [ -n "$srv_pid" ]; then
    kill -KILL "$srv_pid" 2>/dev/null || true
    wait "$srv_pid" 2>/dev/null || true
  fi
  if dpkg-query -W -f='${Status}\n' srvlarvek 2>/dev/null | grep -qv '^unknown ok not-installed$'; then
    dpkg --purge --force-all srvlarvek >/dev/null 2>&1 || true
  fi
  # What a failed purge may have left; none of it existed before the test.
  getent passwd srvlarvek >/dev/null && { deluser --quiet --system srvlarvek 2>/dev/null || true; }
  getent group srvlarvek >/dev/null && { delgroup --quiet --system srvlarvek 2>/dev/null || true; }
  for path in "${config[@]}" /etc/larvek/srvlarvek /etc/larvek; do
    if dpkg-statoverride --list "$path" >/dev/null 2>&1; then
      dpkg-statoverride --remove "$path" || true
    fi
  done
  rm -rf /var/lib/srvlarvek /var/log/srvlarvek /etc/larvek "$enable_link" \
         /etc/systemd/system/srvlarvek.service
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

modes() { stat -c '%a %U:%G' "$@" | sort -u; }

# Runs the installed server as the unit does; sets srv_pid once it listens on $srv_port.
start_as_unit() {
  local user dir exec_start
  user=$(sed -n 's/^User=//p' "$unit")
  dir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  # shellcheck disable=SC2086  # ExecStart is split into words as systemd splits it
  (cd "$dir" && umask 0027 && exec setpriv --reuid="$user" --regid="$user" --init-groups \
     $exec_start) >"$tmp/srvlarvek.out" 2>"$tmp/srvlarvek.err" &
  srv_pid=$!
  for _ in $(seq 300); do
    grep -q "Naslouchá na 127.0.0.1:$srv_port" "$tmp/srvlarvek.out" 2>/dev/null && return 0
    kill -0 "$srv_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$tmp/srvlarvek.out" "$tmp/srvlarvek.err" >&2
  fail "the installed server does not listen"
}

# After a dpkg run that had to stop the server: it has ended, on SIGTERM (status 0), not on
# the SIGKILL that follows 10 s later, and no process of the service user is left.
expect_stopped() {
  local status=0
  kill -0 "$srv_pid" 2>/dev/null && fail "$1: the server still runs"
  wait "$srv_pid" || status=$?
  srv_pid=""
  ((status == 0)) || { cat "$tmp/srvlarvek.err" >&2; fail "$1: the server ended with status $status"; }
  pgrep -u srvlarvek >/dev/null && fail "$1: a process of srvlarvek is left: $(pgrep -a -u srvlarvek)"
  return 0
}

echo "== dpkg -i (first installation)"
dpkg -i "$deb" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log" >&2; fail "dpkg -i"; }
grep -i 'warn\|can.t be accessed' "$tmp/install.log" && fail "the installation warns"
getent passwd srvlarvek >/dev/null || fail "no user srvlarvek"
getent group srvlarvek >/dev/null || fail "no group srvlarvek"
[ "$(getent passwd srvlarvek | cut -d: -f6)" = /var/lib/srvlarvek ] || fail "the home is not /var/lib/srvlarvek"
[ "$(modes /var/lib/srvlarvek /var/log/srvlarvek)" = "750 srvlarvek:srvlarvek" ] ||
  fail "working and day-log directories: $(modes /var/lib/srvlarvek /var/log/srvlarvek)"
[ "$(modes "${config[@]}")" = "640 root:srvlarvek" ] || fail "configuration files: $(modes "${config[@]}")"
[ "$(modes /etc/larvek /etc/larvek/srvlarvek)" = "750 root:srvlarvek" ] ||
  fail "configuration directories: $(modes /etc/larvek /etc/larvek/srvlarvek)"

systemctl enable srvlarvek.service >/dev/null 2>&1 || fail "systemctl enable"
[ -L "$enable_link" ] || fail "no enable link $enable_link"

# The administrator's edit: a free port on the loopback address.
srv_port=$(free_port)
sed -i -e "s/^Server_port=.*/Server_port=$srv_port\r/" -e "s/^Server_IP=.*/Server_IP=127.0.0.1\r/" \
  /etc/larvek/srvlarvek/srvlarvek.INI
start_as_unit
ls /var/log/srvlarvek/*/log.txt >/dev/null 2>&1 || fail "no day log in /var/log/srvlarvek"

echo "== dpkg -i again over configuration files made 0600 root:root"
chown root:root "${config[@]}"
chmod 0600 "${config[@]}"
dpkg -i "$deb" >"$tmp/reinstall.log" 2>&1 || { cat "$tmp/reinstall.log" >&2; fail "reinstall"; }
expect_stopped "reinstall"
[ "$(modes "${config[@]}")" = "600 root:root" ] || fail "the reinstall changed the modes: $(modes "${config[@]}")"
[ -L "$enable_link" ] || fail "the reinstall removed the enable link"

echo "== dpkg -r with the server running"
chown root:srvlarvek "${config[@]}"
chmod 0640 "${config[@]}"
start_as_unit
dpkg -r srvlarvek >"$tmp/remove.log" 2>&1 || { cat "$tmp/remove.log" >&2; fail "dpkg -r"; }
expect_stopped "remove"
[ -e /usr/bin/srvlarvek ] && fail "/usr/bin/srvlarvek is left after remove"

echo "== dpkg -P"
dpkg -P srvlarvek >"$tmp/purge.log" 2>&1 || { cat "$tmp/purge.log" >&2; fail "dpkg -P"; }
getent passwd srvlarvek >/dev/null && fail "the user srvlarvek is left"
getent group srvlarvek >/dev/null && fail "the group srvlarvek is left"
for path in /var/lib/srvlarvek /var/log/srvlarvek /etc/larvek; do
  [ -e "$path" ] && fail "$path is left after purge"
done
[ -L "$enable_link" ] && fail "the enable link $enable_link is left (dangling) after purge"
[ -L /etc/systemd/system/srvlarvek.service ] && fail "the mask of the removed unit is left after purge"
dpkg-statoverride --list | grep -q larvek && fail "registered modes are left: $(dpkg-statoverride --list | grep larvek)"
echo "== maintainer scripts passed"
