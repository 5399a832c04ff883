#!/usr/bin/env bash
# Runs Vintrelle: installs what is missing (Debian packages, pinned assets),
# builds the application in Release and starts it, on FOLDER when one is given.
#   bash scripts/run.sh [FOLDER]
set -euo pipefail
# A folder given relative to where the command was typed, before leaving it.
folder=()
if [ $# -gt 0 ]; then folder=("$(realpath -m -- "$1")"); fi
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

build="${VINTRELLE_RELEASE_BUILD:-build-release}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target vintrelle

if [ ${#folder[@]} -gt 0 ]; then
  exec "$build/vintrelle" -library "${folder[0]}"
fi
exec "$build/vintrelle"
