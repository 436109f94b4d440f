#!/usr/bin/env bash
# The Windows stage of the tests: cross-builds the Windows platform layer (serial ports,
# version block, registry, single-instance sign, configuration program process) and its
# tests with mingw-w64 and runs them under Wine, in a fresh Wine prefix that is deleted
# afterwards. The serial tests talk to the device simulator of the native build, which
# plays a device on a pseudo-terminal mapped to COM5.
#
# Usage: scripts/wine-tests.sh [native build folder] [cross build folder]
# The native build folder must hold a configured build (scripts/test.sh makes one).
set -euo pipefail
cd "$(dirname "$0")/.."
native="${1:-build}"
cross="${2:-${native}-win}"
started=$SECONDS

scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine socat xvfb

echo "== Windows build (mingw-w64) in $cross"
cmake --build "$native" --target lintaro-devsim
cmake -S . -B "$cross" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DLINTARO_BUILD_GUI=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$cross" -j"$(nproc)"

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINESERVER
sim_pid=""
xvfb_pid=""
server_pid=""
cleanup() {
  set +e
  if [ -d "$WINEPREFIX" ]; then timeout 30 wineserver -k >/dev/null 2>&1; fi
  [ -n "$server_pid" ] && { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
  [ -n "$xvfb_pid" ] && { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
  rm -rf "$work"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Wait, within a limit, for a file to get at least $2 lines.
wait_for_lines() {
  local file="$1" lines="$2"
  for _ in $(seq 200); do
    [ -f "$file" ] && [ "$(wc -l <"$file")" -ge "$lines" ] && return 0
    sleep 0.05
  done
  echo "timed out waiting for $file" >&2
  return 1
}

# Windows need a display, for the single-instance sign: a private X server.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
wait_for_lines "$work/display" 1
export DISPLAY=":$(head -n1 "$work/display")"

# The device: its terminal behind a stable link, remote-controlled by the tests.
mkdir -p "$work/ports"
"$native/bin/lintaro-devsim" --dir "$work/ports" --name sim0 --control 0 \
  >"$work/devsim.out" 2>"$work/devsim.err" &
sim_pid=$!
wait_for_lines "$work/devsim.out" 2
control_port="$(sed -n 's/^control //p' "$work/devsim.out")"

echo "== Wine prefix in $WINEPREFIX"
# Wine keeps its server's socket folder under TMPDIR: inside the work folder it goes with it.
mkdir -p "$work/tmp"
export TMPDIR="$work/tmp"
timeout 180 wineboot -i >"$work/wineboot.log" 2>&1
# COM5 is the simulator's terminal. The Ports key makes QueryDosDeviceW list it; it is read
# when the server starts, so the server is restarted after the change.
timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/ports/sim0" /f \
  >/dev/null 2>&1
ln -sfn "$work/ports/sim0" "$WINEPREFIX/dosdevices/com5"
timeout 30 wineserver -k
timeout 30 wineserver -w
# The server by hand, its output in a log: when a terminal it opened hangs up it writes a
# lot there. Then one warm-up run, so that the first run whose output is captured does not
# hand its pipe to Wine's services.
wineserver -f -p >"$work/wineserver.log" 2>&1 &
server_pid=$!
timeout 120 wine wineboot </dev/null >/dev/null 2>&1

echo "== Tests under Wine"
tests_started=$SECONDS
status=0
LINTARO_TEST_DEVSIM="$control_port" LINTARO_TEST_COMPORT=COM5 \
  timeout 900 ctest --test-dir "$cross" --output-on-failure --timeout 120 \
  >"$work/ctest.log" 2>&1 || status=$?
cat "$work/ctest.log"
tests_seconds=$((SECONDS - tests_started))

total="$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$work/ctest.log" | tail -n1)"
failed="$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$work/ctest.log" | tail -n1)"
skipped="$(grep -c '(Skipped)' "$work/ctest.log" || true)"
echo "Wine stage: ${total:-0} tests run under Wine (${skipped} skipped, ${failed:-?} failed)" \
  "in ${tests_seconds} s; whole stage with build and prefix $((SECONDS - started)) s"
if [ "$status" -ne 0 ] || [ -z "$total" ] || [ "$total" -eq 0 ]; then
  echo "Wine stage FAILED" >&2
  exit 1
fi
