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
  cmake --build "$build-asan" -j "$(nproc)" --target vintrelle_core_tests vintrelle_store_tests vintrelle_stress_tests \
    vintrelle_app_tests vintrelle_ui_tests
  ASAN_OPTIONS=detect_leaks=0 ctest --test-dir "$build-asan" -R '^Media' --output-on-failure -j "$(nproc)" --timeout 600
  # A damaged index is read page by page, byte by byte, trusting none of it:
  # its salvage and rebuild, a few hundred randomly damaged copies among them.
  ASAN_OPTIONS=detect_leaks=0 ctest --test-dir "$build-asan" -R '^(IndexSalvage|IndexRepair)' --output-on-failure -j "$(nproc)" --timeout 600
  # The store's threads, and reports that arrive after it closed; trips,
  # whose points once shared a type's name (and so its vector code) with
  # the map's outlines.
  ASAN_OPTIONS=detect_leaks=0 ctest --test-dir "$build-asan" -R '^(Store|ThumbnailCache|TripPass|TripDetector)' --output-on-failure -j "$(nproc)" --timeout 600
  # The application state and the screens: libraries opened, switched and
  # closed, drives that go and come back, widgets torn down with work in flight.
  # Instrumented, playback and map drawing run a few times slower than the
  # waits of their tests expect: half as many run at once, and a test that
  # fails runs once more. A sanitizer's report fails the run all the same.
  log="$build-asan/app-ui-tests.log"
  ASAN_OPTIONS=detect_leaks=0 ctest --test-dir "$build-asan" -L '^(app|ui)$' --output-on-failure \
    -j "$(( $(nproc) > 1 ? $(nproc) / 2 : 1 ))" --repeat until-pass:2 --timeout 600 | tee "$log"
  if grep -qE 'ERROR: AddressSanitizer|runtime error:' "$log"; then
    echo "test: the sanitizers reported faults in the application or UI tests (see above)" >&2
    exit 1
  fi
  # Indexing killed at random moments and resumed, again and again, under
  # AddressSanitizer and then ThreadSanitizer (only the core library and the
  # stress test are built with it); the cycle counts keep each run to a
  # couple of minutes.
  VINTRELLE_STRESS_CYCLES="${VINTRELLE_STRESS_CYCLES_ASAN:-24}" ASAN_OPTIONS=detect_leaks=0 \
    ctest --test-dir "$build-asan" -R '^(EngineStress|FaceStress)' --output-on-failure -j 2 --timeout 900
  cmake -S . -B "$build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINTRELLE_SANITIZE=thread
  cmake --build "$build-tsan" -j "$(nproc)" --target vintrelle_stress_tests
  # GCC 12's ThreadSanitizer cannot map its shadow memory beside the widest
  # address randomisation of recent kernels: run without it where allowed.
  norandom=()
  if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
  VINTRELLE_STRESS_CYCLES="${VINTRELLE_STRESS_CYCLES_TSAN:-12}" \
    TSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/tsan.supp" \
    "${norandom[@]}" ctest --test-dir "$build-tsan" -R '^(EngineStress|FaceStress)' --output-on-failure -j 2 --timeout 900
fi

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600

# The application on a real X server, driven through its keys.
bash tests/smoke/desktop.sh "$build"
