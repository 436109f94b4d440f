#!/usr/bin/env bash
# The Windows stage of the tests: cross-builds the whole program and its tests with
# mingw-w64 and Qt for Windows (scripts/qt-windows.sh, cached after the first run), runs the
# tests under Wine in a fresh prefix that is deleted afterwards, then packages the program
# and runs the end-to-end test of the package (scripts/wine-e2e.sh). The serial tests talk
# to the device simulator of the native build, which plays a device on a pseudo-terminal
# mapped to COM5.
#
# Usage: scripts/wine-tests.sh [native build folder] [cross build folder]
# The native build folder must hold a configured build (scripts/test.sh makes one).
# LINTARO_WINDOWS_GUI=0: only the Qt-free layers (no Qt build, no package, no end-to-end).
set -euo pipefail
cd "$(dirname "$0")/.."
native="${1:-build}"
cross="${2:-${native}-win}"
started=$SECONDS

scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine socat xvfb xdotool
source scripts/wine-lib.sh

echo "== Windows build (mingw-w64) in $cross"
cmake --build "$native" --target lintaro-devsim
qt_started=$SECONDS
scripts/windows-build.sh "$cross"
build_seconds=$((SECONDS - qt_started))

work="$(mktemp -d)"
trap wl_cleanup EXIT
trap 'exit 130' INT TERM HUP

wl_start_xvfb
# The device, remote-controlled by the serial tests.
wl_start_devsim "$native/bin" --control 0
echo "== Wine prefix in $work/prefix"
wl_new_prefix

echo "== Tests under Wine"
tests_started=$SECONDS
status=0
LINTARO_TEST_DEVSIM="$wl_control_port" LINTARO_TEST_COMPORT=COM5 \
  timeout 1200 ctest --test-dir "$cross" --output-on-failure --timeout 120 \
  >"$work/ctest.log" 2>&1 || status=$?
cat "$work/ctest.log"
tests_seconds=$((SECONDS - tests_started))

total="$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$work/ctest.log" | tail -n1)"
failed="$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$work/ctest.log" | tail -n1)"
skipped="$(grep -c '(Skipped)' "$work/ctest.log" || true)"
echo "Wine stage: ${total:-0} tests run under Wine (${skipped} skipped, ${failed:-?} failed)" \
  "in ${tests_seconds} s; build ${build_seconds} s"
if [ "$status" -ne 0 ] || [ -z "$total" ] || [ "$total" -eq 0 ]; then
  echo "Wine stage FAILED" >&2
  exit 1
fi

wl_cleanup
trap - EXIT

if [ "${LINTARO_WINDOWS_GUI:-1}" != "0" ]; then
  # The Linux program with a Windows configuration program: the test client runs under Wine
  # in a fresh prefix of its own. Passed only when it ran (it skips itself without Wine).
  echo "== Linux program, Windows configuration program under Wine"
  env -u DISPLAY LINTARO_WINDOWS_ECHO_CLIENT="$(cd "$cross/bin" && pwd)/lintaro-echo-client.exe" \
    QT_QPA_PLATFORM=offscreen timeout 600 "$native/bin/bridge_tests" --gtest_filter='WineStart.*' \
    >"$native/wine-start.log" 2>&1 || true
  cat "$native/wine-start.log"
  grep -q '^\[       OK \] WineStart.a_windows_client_under_wine' "$native/wine-start.log" \
    && ! grep -q '^\[  FAILED  \]' "$native/wine-start.log" \
    || { echo "Windows configuration program under Wine FAILED" >&2; exit 1; }

  echo "== Windows packages"
  package_started=$SECONDS
  scripts/package-windows.sh "$cross" >"$native/windows-packages.txt"
  cat "$native/windows-packages.txt"
  ls -l dist/
  echo "Packages made in $((SECONDS - package_started)) s"
  scripts/wine-e2e.sh "$native" "$(sed -n 1p "$native/windows-packages.txt")" \
    "$(sed -n 2p "$native/windows-packages.txt")" "$cross/bin" 2>&1 | tee "$native/windows-e2e.log"
  # Passed only when it says so: a failure must never pass for success.
  grep -q '^Windows end-to-end: passed' "$native/windows-e2e.log" \
    || { echo "Windows end-to-end test FAILED" >&2; exit 1; }
fi
echo "Windows stage: $((SECONDS - started)) s in all (Qt for Windows and cross build ${build_seconds} s)"
