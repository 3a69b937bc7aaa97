#!/usr/bin/env bash
# The desktop front end on a real X server: Xvfb with the openbox window manager and a trayer
# notification area, driven with xdotool. The database is pointed at a closed port, so start-up
# shows its error box (dismissed here) and the listener starts when the window is first shown.
#
#   desktop_test.sh SRVLARVEK ARTIFACT_DIR
#
# Run 1: only the icon at start; a double-click shows the window at its initial place with the
#        final caption; a terminal gets its answer and the view changes; typed text, moving,
#        minimising (off the task bar) and a right-button double-click; closing saves the log
#        (with the typed text, in the directory named by --log-dir) and the window position
#        (Visible=0).
# Run 2: the position is restored; minimised and ended by SIGTERM: saved at teardown
#        (Visible=1, ShowCmd=2).
# Run 3: never shown, ended by SIGTERM while the error box is open: the own file is untouched.
# Screenshots go to ARTIFACT_DIR (window.png is the log window with its frame).
set -euo pipefail

exe=$1
art=$2
mkdir -p "$art"
for tool in Xvfb openbox trayer xdotool xwininfo xprop xdpyinfo import compare; do
  command -v "$tool" >/dev/null || { echo "desktop_test: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
pid=  # the server under test
cleanup() {
  local p
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -n "${DISPLAY:-}" ] && import -window root "$art/failure.png" 2>/dev/null || true
  [ -f "$work/err.log" ] && sed 's/^/  stderr: /' "$work/err.log" >&2
  exit 1
}
ok() { echo "ok - $*"; }

# Polls `$@` every 0.1 s for up to 15 s.
wait_for() {
  local i
  for i in $(seq 150); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# A TCP port nobody listens on at the moment, below the range the system hands out to outgoing
# connections (so a connection made meanwhile cannot take it).
free_port() {
  local p low
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range
  while :; do
    p=$((10000 + RANDOM % (low - 10000)))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}

# --- X server, window manager, notification area ----------------------------------------------
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
unset WAYLAND_DISPLAY
openbox >"$work/openbox.log" 2>&1 &
pids+=($!)
wait_for sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
  fail "openbox did not start"
trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 \
  --SetDockType true >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for sh -c 'xdotool search --classname trayer >/dev/null' || fail "trayer did not start"
sleep 0.5

# --- Program directory --------------------------------------------------------------------------
prog=$work/prog
mkdir -p "$prog" "$work/run"
cp "$exe" "$prog/srvlarvek"
port=$(free_port)
db_port=$(free_port)
while [ "$db_port" = "$port" ]; do db_port=$(free_port); done
printf '[LogOn]\r\nIP=127.0.0.1\r\nSQLport=%s\r\nUser=nobody\r\n[Server]\r\nServer_port=%s\r\n' \
  "$db_port" "$port" >"$prog/srvlarvek.INI"
address=$(getent ahostsv4 "$(hostname)" | awk 'NR == 1 { print $1 }')
[ -n "$address" ] || fail "the host name does not resolve"
caption="Serv_Larvek: database: larvek, port: $port"
ini=$prog/srvlarvek.INI

# --- Helpers on the program's windows -----------------------------------------------------------
start_server() {
  (cd "$work/run" && exec "$prog/srvlarvek" "$@" >"$work/out.log" 2>"$work/err.log") &
  pid=$!
}
# Prints "x y width height state" of a window (state: IsViewable, IsUnMapped, ...).
geometry() {
  xwininfo -id "$1" 2>/dev/null | awk '
    /Absolute upper-left X/ { x = $4 } /Absolute upper-left Y/ { y = $4 }
    /^ *Width:/ { w = $2 } /^ *Height:/ { h = $2 } /Map State:/ { s = $3 }
    END { print x, y, w, h, s }'
}
# The program's windows by kind: tray (the icon), box (an error box), main (the log window).
find_window() {
  local w name g
  for w in $(xdotool search --pid "$pid" 2>/dev/null); do
    name=$(xdotool getwindowname "$w" 2>/dev/null) || continue
    read -r _ _ gw gh gs <<<"$(geometry "$w")"
    case $1 in
      tray) [ "$gs" = IsViewable ] && [ "$gw" -le 64 ] && [ "$gh" -le 64 ] && { echo "$w"; return 0; } ;;
      box) [ "$gs" = IsViewable ] && [ "$name" = srvlarvek ] && [ "$gw" -gt 64 ] && { echo "$w"; return 0; } ;;
      main) case $name in "Server Larvek05 terminal" | Serv_Larvek*) echo "$w"; return 0 ;; esac ;;
    esac
  done
  return 1
}
viewable() { [ "$(geometry "$1" | awk '{ print $5 }')" = IsViewable ]; }
on_task_bar() { xprop -root _NET_CLIENT_LIST | grep -qi "$(printf '0x%x' "$1")\b"; }
has_box() { find_window box >/dev/null; }
double_click() { # window button
  xdotool mousemove --window "$1" 11 11 click --repeat 2 --delay 80 "$2"
}
dismiss_box() {
  local box
  box=$(find_window box) || fail "no error box"
  xdotool windowactivate --sync "$box" key --clearmodifiers Return
  wait_for sh -c "! xwininfo -id $box 2>/dev/null | grep -q IsViewable" || fail "the box stays"
}
wait_exit() {
  local i status=0
  for i in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "the program does not end"
  wait "$pid" || status=$?
  pid=
  [ "$status" -eq 0 ] || fail "exit status $status"
}
# Screenshot of a window with the frame the window manager draws around it.
shot_window() { # window file
  local x y w h l r t b
  read -r x y w h _ <<<"$(geometry "$1")"
  read -r l r t b <<<"$(xprop -id "$1" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')"
  import -window root -crop "$((w + l + r))x$((h + t + b))+$((x - l))+$((y - t))" +repage "$2"
}
ini_value() { tr -d '\r' <"$ini" | sed -n "/^\[Tsrvlarvek\]/,/^\[/ s/^$1=//p"; }
terminal() { # request; prints what arrives up to and including the reply (after the greeting)
  local reply= chunk
  exec 3<>"/dev/tcp/$address/$port"
  printf '%s\r' "$1" >&3
  while IFS= read -r -t 5 -d $'\r' chunk <&3; do
    chunk=${chunk#$'\n'}
    reply+="$chunk|"
    [[ $chunk == "NEZNAMY PRIKAZ!" || $chunk == *";error" ]] && break
  done
  exec 3>&-
  echo "$reply"
}

# === Run 0: a display that cannot be reached gives console mode ================================
dead=$(( $(head -n1 "$work/display") + 1000 ))
(cd "$work/run" && DISPLAY=":$dead" exec "$prog/srvlarvek" >"$work/out.log" 2>"$work/err.log") &
pid=$!
wait_for grep -q "running in console mode" "$work/err.log" || fail "no console fallback"
reply=$(wait_for bash -c "(exec 3<>/dev/tcp/$address/$port) 2>/dev/null" && terminal X) || true
[[ $reply == *"X;error|" ]] || fail "console fallback: terminal reply '$reply'"
kill -TERM "$pid"
wait_exit
rm -rf "$prog"/[0-9]*
ok "an unreachable display falls back to console mode"

# === Run 1 =======================================================================================
start_server --log-dir "$work/logs"
wait_for has_box || fail "no error box for the closed database port"
ok "start-up error box (database down)"
tray=$(find_window tray) || fail "no tray icon"
main=$(find_window main) || true
[ -z "$main" ] || ! viewable "$main" || fail "the window is shown at start"
ok "only the icon at start"
import -window root "$art/start.png"
dismiss_box
(exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && fail "listening before the window was shown"

double_click "$tray" 1
wait_for sh -c "xdotool search --pid $pid --name '^$caption\$' >/dev/null" ||
  fail "no window captioned '$caption' after the double-click"
main=$(find_window main)
wait_for viewable "$main" || fail "the window is not shown"
read -r x y w h _ <<<"$(geometry "$main")"
[ "$x $y $w $h" = "327 392 345 279" ] || fail "initial client area $w x $h at ($x, $y)"
on_task_bar "$main" || fail "the shown window has no task-bar entry"
ok "double-click shows the window: caption, client area 345 x 279 at (327, 392), task bar"

xdotool windowactivate --sync "$main"
sleep 0.3
shot_window "$main" "$work/before.png"
reply=$(terminal X)
[[ $reply == *"X;error|" ]] || fail "terminal reply '$reply'"
sleep 0.5
shot_window "$main" "$art/window.png"
diff_pixels=$(compare -metric AE "$work/before.png" "$art/window.png" null: 2>&1 || true)
[ "${diff_pixels%% *}" -gt 100 ] 2>/dev/null || fail "the view did not change ($diff_pixels)"
ok "terminal answered 'X;error' (the database is down) and the view shows the traffic"

memo_x=$((w / 2)) memo_y=$((h / 2))
xdotool windowactivate --sync "$main" mousemove --window "$main" "$memo_x" "$memo_y" click 1 \
  key --clearmodifiers ctrl+End type --delay 20 "typed by the operator"
xdotool windowmove --sync "$main" 200 150
sleep 0.3
xdotool windowminimize --sync "$main"
wait_for sh -c "! xwininfo -id $main | grep -q IsViewable" || fail "minimised window still shown"
wait_for sh -c "! xprop -root _NET_CLIENT_LIST | grep -qi $(printf '0x%x' "$main")" ||
  fail "the minimised window keeps its task-bar entry"
find_window tray >/dev/null || fail "the icon went away"
ok "minimising hides the window and its task-bar entry; the icon stays"

double_click "$tray" 3
wait_for viewable "$main" || fail "right-button double-click does not show the window"
wait_for on_task_bar "$main" || fail "restored window has no task-bar entry"
[ "$(xprop -root _NET_ACTIVE_WINDOW | awk '{ print $NF }')" = "$(printf '0x%x' "$main")" ] ||
  fail "restored window is not active"
read -r x y w h _ <<<"$(geometry "$main")"
ok "right-button double-click restores it at ($x, $y), active, on the task bar"

xdotool windowactivate --sync "$main" key --clearmodifiers alt+F4
wait_exit
ok "closing the window ends the program"
log=$(ls "$work"/logs/[0-9]*/log.txt) || fail "no log file under --log-dir"
! ls -d "$prog"/[0-9]* 2>/dev/null || fail "a day log in the program directory despite --log-dir"
grep -aq "Odeslal na $address: X;error" "$log" || fail "reply not in the saved log"
grep -aq "^typed by the operator"$'\r'"\$" "$log" || fail "typed text not in the saved log"
ok "the log with the terminal traffic and the typed line is saved"
screen=$(xdpyinfo | awk '/dimensions:/ { print $2 }')
expect="FormVersion=0 Flags=0 ShowCmd=1 NormPos($screen)=$x,$y,$((x + w)),$((y + h)) Visible=0"
got="FormVersion=$(ini_value FormVersion) Flags=$(ini_value Flags) ShowCmd=$(ini_value ShowCmd)"
got+=" NormPos($screen)=$(ini_value "NormPos($screen)") Visible=$(ini_value Visible)"
[ "$got" = "$expect" ] || fail "window keys: '$got', expected '$expect'"
[ "$(ini_value PixelsPerInch)" -gt 0 ] && [ -n "$(ini_value NormPos)" ] &&
  [ -n "$(ini_value "MinMaxPos($screen)")" ] || fail "PixelsPerInch, NormPos or MinMaxPos missing"
ok "window position keys written at close: $got"

# === Run 2 =======================================================================================
start_server
wait_for has_box || fail "run 2: no error box"
dismiss_box
tray=$(find_window tray) || fail "run 2: no tray icon"
double_click "$tray" 1
wait_for sh -c "xdotool search --pid $pid --name '^$caption\$' >/dev/null" || fail "run 2: no window"
main=$(find_window main)
wait_for viewable "$main" || fail "run 2: window not shown"
read -r x2 y2 w2 h2 _ <<<"$(geometry "$main")"
[ "$x2 $y2 $w2 $h2" = "$x $y $w $h" ] || fail "restored at $x2 $y2 $w2 $h2, saved $x $y $w $h"
ok "the next start restores the position ($x, $y) $w x $h"
xdotool windowminimize --sync "$main"
wait_for sh -c "! xwininfo -id $main | grep -q IsViewable" || fail "run 2: not minimised"
kill -TERM "$pid"
wait_exit
[ "$(ini_value Visible) $(ini_value ShowCmd)" = "1 2" ] ||
  fail "SIGTERM: Visible=$(ini_value Visible) ShowCmd=$(ini_value ShowCmd), expected 1 2"
ok "SIGTERM saves the position at teardown (Visible=1, ShowCmd=2 while minimised)"

# === Run 3 =======================================================================================
before=$(md5sum <"$ini")
start_server
wait_for has_box || fail "run 3: no error box"
kill -TERM "$pid"
wait_exit
[ "$(md5sum <"$ini")" = "$before" ] || fail "the own file changed although the window was never shown"
ok "SIGTERM with the error box open ends the program; a window never shown saves nothing"

echo "desktop test: all checks passed; screenshots in $art"
