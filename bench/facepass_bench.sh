#!/usr/bin/env bash
# Face pass throughput in photos per second on 200 labelled photos, copied
# at run time into a temporary library, with the number of workers.
# VINTRELLE_SHARED names the folder that holds data/faces (default: the
# "shared" folder beside the repository).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
export VINTRELLE_SHARED=${VINTRELLE_SHARED:-$repo/../shared}
build=${BUILD_DIR:-$repo/build-bench}
cmake -S "$repo" -B "$build" -G Ninja -DVINTRELLE_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j3 --target facepass_bench >/dev/null
"$build/facepass_bench" "$@"
