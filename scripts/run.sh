#!/usr/bin/env bash
# Runs Vintrelle: installs what is missing (Debian packages, pinned assets),
# builds the application in Release and starts it, on FOLDER when one is given.
#   bash scripts/run.sh [FOLDER]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

build="${VINTRELLE_RELEASE_BUILD:-build-release}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target vintrelle

if [ $# -gt 0 ]; then
  exec "$build/vintrelle" -library "$1"
fi
exec "$build/vintrelle"
