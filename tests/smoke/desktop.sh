#!/usr/bin/env bash
# Vintrelle on a real X server, used as a person would: Xvfb with a window
# manager, the built application on a generated library whose folder is named
# in Latin-1 bytes, keys typed with xdotool, a screenshot, a photo in the
# viewer whose top bar is dragged while the window is busy and then
# double-clicked, a second library handed over by a later launch, and a quit.
# Then the index must be intact and the photos exactly as they were.
#   tests/smoke/desktop.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "${1:-$here/../../build}" && pwd)"
app="$build/vintrelle"
[ -x "$app" ] || { echo "desktop smoke: no $app" >&2; exit 1; }

# $work, pids and a session of its own; start_x.
# shellcheck source-path=SCRIPTDIR source=x-session.sh
source "$here/x-session.sh"
fail() { echo "desktop smoke: $*" >&2; exit 1; }
# Runs a check every tenth of a second until it holds, for at most $1
# seconds: on a busy machine the application takes its time, and a check
# made once after a fixed pause would fail at random.
within() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# Named as old drives and archives name folders: not UTF-8.
library="$work/"$'Fotos_\xe9t\xe9'
count=36
bash "$here/make-library.sh" "$library" "$count"
checksums() { (cd "$library" && find . -path ./.vintrelle -prune -o -type f -print0 | sort -z | xargs -0 sha256sum); }
before="$(checksums)"

start_x || fail "Xvfb did not start"

app_log="$work/app.log"
"$app" -library "$library" >"$app_log" 2>&1 &
app_pid=$!
pids+=("$app_pid")

window=""
windowShown() {
  window="$(xdotool search --classname '^vintrelle$' 2>/dev/null | head -n 1 || true)"
  [ -n "$window" ] && return 0
  kill -0 "$app_pid" 2>/dev/null || { cat "$app_log" >&2; fail "the application ended before showing its window"; }
  return 1
}
within 60 windowShown || fail "no window of class vintrelle"

# Until every photo has its thumbnail.
db="$library/.vintrelle/library.sqlite"
indexed=0
allIndexed() {
  if [ -f "$db" ]; then
    indexed="$(sqlite3 -readonly -cmd '.timeout 2000' "$db" 'SELECT COUNT(*) FROM assets WHERE thumb=1' 2>/dev/null || echo 0)"
  fi
  [ "$indexed" -ge "$count" ]
}
within 300 allIndexed || fail "only $indexed of $count photos indexed"

xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
# The pointer as a person works it. Its stand-in sleeps between the clicks of
# a double click and, on a loaded machine, can wake late enough for the
# server to stamp the presses further apart than any person's; where it may,
# it runs ahead of the load.
pointer() { "${ahead[@]}" xdotool "$@"; }
ahead=()
if nice -n -10 true 2>/dev/null; then ahead=(nice -n -10); fi
keys() { xdotool key --clearmodifiers --delay 120 "$@"; sleep 0.4; }
keys ctrl+2
# The overviews, each made and let go again with the pointer over the main column.
xdotool mousemove --window "$window" 700 300
keys ctrl+3
keys ctrl+4
keys ctrl+6
keys ctrl+1
keys ctrl+f
xdotool type --delay 60 "2022"
sleep 0.5
keys Escape
sleep 1

shot="$work/screen.png"
colours=0
screenDrawn() {
  import -window root "$shot" && colours="$(convert "$shot" -format '%k' info:)" && [ "$colours" -gt 64 ]
}
within 30 screenDrawn || fail "the screen looks blank ($colours colours)"
if [ -n "${VINTRELLE_SMOKE_SHOT:-}" ]; then cp "$shot" "$VINTRELLE_SMOKE_SHOT"; fi

# The first photo opened in the viewer (its stage is black); a double click on
# the viewer's top bar maximises the window and another restores it, as on
# every window-drag strip: the window manager must not take the presses.
maximised() { xprop -id "$window" _NET_WM_STATE | grep -q _NET_WM_STATE_MAXIMIZED_VERT; }
restored() { ! maximised; }
pointer mousemove --window "$window" 330 160 click --repeat 2 --delay 80 1
stage=255
viewerOpen() {
  import -window "$window" "$work/viewer.png" &&
    stage="$(convert "$work/viewer.png" -crop 1x1+20+400 -format '%[fx:int(255*mean)]' info:)" && [ "$stage" -lt 40 ]
}
within 30 viewerOpen || fail "the viewer did not open (stage brightness $stage)"
eval "$(xdotool getwindowgeometry --shell "$window")"
maximised && fail "the window starts maximised"
# A short drag of the top bar while the window is busy (held still, as a
# loaded machine holds it): it reads the moves only after the button is up
# again. The window follows them, and the window manager, never handed a move
# without a button, takes none of the presses after it.
startX=$X
pointer mousemove --window "$window" $((WIDTH / 2)) 45
sleep 0.5
kill -STOP "$app_pid"
pointer mousedown 1 mousemove_relative 40 0 mouseup 1
sleep 0.3
kill -CONT "$app_pid"
movedRight() { eval "$(xdotool getwindowgeometry --shell "$window")"; [ "$X" -ge $((startX + 30)) ]; }
within 30 movedRight || fail "a drag of the busy window's top bar did not move it (x $startX, then $X)"
pointer mousemove --window "$window" $((WIDTH / 2)) 45 click --repeat 2 --delay 80 1
within 30 maximised || fail "a double click on the viewer's top bar did not maximise the window"
pointer mousemove --window "$window" $((WIDTH / 2)) 45 click --repeat 2 --delay 80 1
within 30 restored || fail "a second double click on the viewer's top bar did not restore the window"
keys Escape

# A later launch hands another library, named in Latin-1 too, to the running
# window and ends; the window opens it. A launch the busy window does not
# answer within its second says so and ends, and is launched again.
other="$work/"$'Alb\xfcm'
bash "$here/make-library.sh" "$other" 3
handedOver() { "$app" "$other" >"$work/later.log" 2>&1; }
within 30 handedOver || { cat "$work/later.log" >&2; fail "a later launch did not hand its folder over"; }
otherIndexed() { [ -f "$other/.vintrelle/library.sqlite" ]; }
within 60 otherIndexed || fail "the library handed over was not opened"

appEnded() { ! kill -0 "$app_pid" 2>/dev/null; }
# Ctrl+Q ends the app, with status 0; $1 says which run, for the message.
quitsCleanly() {
    keys ctrl+q
    within 30 appEnded || fail "still running 30 s after Ctrl+Q$1"
    set +e
    wait "$app_pid"
    status=$?
    set -e
    [ "$status" -eq 0 ] || { cat "$app_log" >&2; fail "exit status $status$1"; }
}
quitsCleanly ""

integrity="$(sqlite3 -readonly "$db" 'PRAGMA integrity_check')"
[ "$integrity" = ok ] || fail "index integrity: $integrity"
[ "$(checksums)" = "$before" ] || fail "the photos changed"

# A runtime folder that cannot take the single-instance lock (here, one that
# cannot even be made, below a file) is no other instance: the window opens
# all the same, and the log says why the guard is off.
app_log="$work/unguarded.log"
: >"$work/not-a-folder"
XDG_RUNTIME_DIR="$work/not-a-folder/run" "$app" -library "$library" >"$app_log" 2>&1 &
app_pid=$!
pids+=("$app_pid")
within 60 windowShown || fail "no window without a runtime folder"
grep -q "single-instance guard is off" "$app_log" || { cat "$app_log" >&2; fail "no word of the guard being off"; }
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
quitsCleanly " without a runtime folder"
echo "desktop smoke: ok ($indexed photos, $colours colours on screen, exit $status)"
