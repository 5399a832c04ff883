#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

build="${VINTRELLE_BUILD:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"

# The media readers meet every damaged file on a user's drive: their tests,
# the mutated-file test among them, run again under the sanitizers.
if [ "${VINTRELLE_SANITIZE_MEDIA:-1}" != 0 ]; then
  cmake -S . -B "$build-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINTRELLE_SANITIZE=ON
  cmake --build "$build-asan" -j "$(nproc)" --target vintrelle_core_tests vintrelle_store_tests
  ASAN_OPTIONS=detect_leaks=0 ctest --test-dir "$build-asan" -R '^Media' --output-on-failure -j "$(nproc)" --timeout 600
  # The store's threads, and reports that arrive after it closed.
  ASAN_OPTIONS=detect_leaks=0 ctest --test-dir "$build-asan" -R '^(Store|ThumbnailCache)' --output-on-failure -j "$(nproc)" --timeout 600
fi

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600

# The application on a real X server, driven through its keys.
bash tests/smoke/desktop.sh "$build"
