#!/usr/bin/env bash
# How long the main window stays black after it appears, before it shows a
# colour of its own: the application on Xvfb (black root) with openbox,
# opening a library whose index holds 100,000 assets (made here, with no
# files behind them: what counts is the index the window loads at start).
# Prints every run and the median. Target: 0 ms (the canvas colour at once).
#
#   bench/first_paint.sh [BUILD_DIR]      (default: build; needs -DVINTRELLE_BENCH=ON)
#   RUNS=9 ASSETS=20000 bench/first_paint.sh
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
RUNS=${RUNS:-5}
ASSETS=${ASSETS:-100000}
for tool in "$build/vintrelle" "$build/vintrelle-probe" "$build/first_paint"; do
    [[ -x "$tool" ]] || { echo "no $tool: build with -DVINTRELLE_BENCH=ON first" >&2; exit 1; }
done
for tool in Xvfb openbox sqlite3; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done

# $work, pids and a session of its own; start_x.
# shellcheck source-path=SCRIPTDIR source=../tests/smoke/x-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tests/smoke/x-session.sh"

library="$work/Library"
mkdir -p "$library"
"$build/vintrelle-probe" index "$library" >/dev/null  # the index with its schema, empty
sqlite3 "$library/.vintrelle/library.sqlite" <<SQL
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $ASSETS)
INSERT INTO assets(path, kind, size, mtime, added, taken, width, height, camera, thumb, meta_done)
SELECT (2011 + i % 10) || '/Event ' || (i % 2000) || '/IMG_' || i || '.JPG', 0, 3000000 + i, 1.6e9 + i,
       1.7e9 + (i % 500) * 60, 1.3e9 + i * 3000.0, 4032, 3024, 'iPhone 12', 1, 1 FROM n;
SQL

start_x -br || { echo "Xvfb did not start" >&2; exit 1; }
sleep 1

results=()
for ((run = 1; run <= RUNS; run++)); do
    "$build/first_paint" vintrelle 60 >"$work/paint.json" &
    watcher=$!
    "$build/vintrelle" -library "$library" >"$work/app.log" 2>&1 &
    app=$!
    wait "$watcher" || { echo "run $run: no window painted" >&2; kill "$app" 2>/dev/null; exit 1; }
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
    echo "run $run: $(cat "$work/paint.json")"
    results+=("$(grep -o '"black_ms":[0-9.]*' "$work/paint.json" | cut -d: -f2)")
done
median=$(printf '%s\n' "${results[@]}" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
printf '{"assets":%d,"runs":%d,"black_ms_median":%s,"load":"%s"}\n' "$ASSETS" "$RUNS" "$median" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
