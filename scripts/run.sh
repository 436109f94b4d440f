#!/usr/bin/env bash
# Builds the program and runs it. With no real serial device attached it first starts the
# bundled device simulator (a virtual port identifying as the demo model DEMO1) and writes
# a demo setup.ini that names the sample configuration program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target Lintaro lintaro-devsim lintaro-setup-sample
bin="$(pwd)/$build/bin"

sim_pid=""
work=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "$work" ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT

if ! ls /dev/ttyUSB* /dev/ttyACM* >/dev/null 2>&1; then
  work="$(mktemp -d)"
  export LINTARO_PORT_DIR="$work/ports"
  # Only the simulator's port: an onboard UART listed first would be picked instead.
  export LINTARO_ONLY_PORT_DIR=1
  mkdir -p "$LINTARO_PORT_DIR"
  "$bin/lintaro-devsim" --dir "$LINTARO_PORT_DIR" --name sim0 > "$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
  echo "No serial device attached: the device simulator plays one at $(head -n1 "$work/sim.out")"
  echo "(kill -USR1 $sim_pid unplugs it, kill -USR2 $sim_pid plugs it back)"
  [ -f "$bin/setup.ini" ] || printf 'DEMO1=lintaro-setup-sample\r\n' > "$bin/setup.ini"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: set DISPLAY (for example run under xvfb-run) to see the window." >&2
fi
"$bin/Lintaro"
