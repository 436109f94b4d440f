#!/usr/bin/env bash
# Builds everything and runs every test: the Linux suite, the real-drivers stage (the program
# in a QEMU guest on Linux's own USB-serial and UART drivers), then the Windows stage (the
# whole program cross-built with mingw-w64 and Qt for Windows, tested under Wine, packaged,
# and the packages run end to end). Fails when any fails. Usage: scripts/test.sh [build folder]
# LINTARO_REAL_DRIVERS=0 and LINTARO_WINE_TESTS=0 leave those stages out (for a quick local run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build="${1:-build}"

# Each stage's time, printed as a table at the end, so that a slow or flaky stage shows in
# every log.
stages=()
started=$SECONDS
stage_done() {  # name
  stages+=("$(printf '%-14s %5d s' "$1" $((SECONDS - started)))")
  started=$SECONDS
}
print_stages() {
  echo "Stage          Time"
  printf '%s\n' "${stages[@]}"
}
trap print_stages EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
stage_done "Linux build"

linux=0
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 || linux=$?
stage_done "Linux tests"

# Where clang is installed, the parsers' fuzz targets run once more under libFuzzer.
if command -v clang++ >/dev/null 2>&1; then
  { cmake -S tests/fuzz -B "${build}-fuzz" -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
    cmake --build "${build}-fuzz" -j"$(nproc)" &&
    ctest --test-dir "${build}-fuzz" --output-on-failure -j2; } || linux=$?
  stage_done "fuzz"
fi

real=0
if [ "${LINTARO_REAL_DRIVERS:-1}" != "0" ]; then
  scripts/real-drivers.sh "$build" || real=$?
  stage_done "real drivers"
fi

wine=0
if [ "${LINTARO_WINE_TESTS:-1}" != "0" ]; then
  scripts/wine-tests.sh "$build" "${build}-win" || wine=$?
  stage_done "Windows"
fi

if [ "$linux" -ne 0 ] || [ "$real" -ne 0 ] || [ "$wine" -ne 0 ]; then
  [ "$linux" -ne 0 ] && echo "Linux tests FAILED" >&2
  [ "$real" -ne 0 ] && echo "Tests on real drivers FAILED" >&2
  [ "$wine" -ne 0 ] && echo "Windows tests under Wine FAILED" >&2
  exit 1
fi
