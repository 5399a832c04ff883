# shellcheck shell=bash
# Sourced by the scripts that run Vintrelle on a virtual X server (the
# desktop smoke test, the first-paint bench). Makes $work, a folder that goes
# on exit together with every process whose id is added to `pids`, and a
# session of its own in it: nothing of the user's settings, libraries or
# runtime folder is used.

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY QT_QPA_PLATFORM

# Starts Xvfb (1440 × 900; the arguments are added to its own) on a display
# it picks and says, exports DISPLAY, and starts openbox on it. Fails when the
# server does not start within 10 s.
# shellcheck disable=SC2120 # the arguments are optional
start_x() {
  local display
  exec 3< <(Xvfb -displayfd 1 "$@" -screen 0 1440x900x24 -nolisten tcp 2>"$work/xvfb.log")
  pids+=($!)
  read -r -t 10 display <&3 || return 1
  export DISPLAY=":$display"
  openbox >"$work/openbox.log" 2>&1 &
  pids+=($!)
}
