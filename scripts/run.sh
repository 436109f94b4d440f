#!/usr/bin/env bash
# Builds the program and runs it. With no real serial device attached it first starts the
# bundled device simulator (a virtual port identifying as the demo model DEMO1) and runs
# the program from a demo folder of the user's own, whose setup.ini names the sample
# configuration program (a setup.ini of the user's beside the built program is not used
# for the demo and not touched).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: the wizard is a window program. Run it in a desktop session, or under" >&2
  echo "a virtual display: xvfb-run -a scripts/run.sh" >&2
  exit 1
fi

scripts/install-deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target Lintaro lintaro-devsim lintaro-setup-sample
bin="$(pwd)/$build/bin"

if ls /dev/ttyUSB* /dev/ttyACM* >/dev/null 2>&1; then
  exec "$bin/Lintaro"
fi

# The demo's folder: the same short path on every run, so the last port is reselected.
# As the program does: the runtime folder only when it is the user's alone (no link, owned,
# closed to others), else the cache folder in the home, which nobody else may change.
mode_of() { stat -c %a "$1"; }
base="${XDG_RUNTIME_DIR:-}"
if [ -z "$base" ] || [ -L "$base" ] || [ ! -d "$base" ] || [ ! -O "$base" ] ||
   [ $((8#$(mode_of "$base") & 8#077)) -ne 0 ]; then
  base="$HOME/.cache"
  mkdir -p -m 700 "$base"
  if [ ! -O "$base" ] || [ $((8#$(mode_of "$base") & 8#022)) -ne 0 ]; then
    echo "$base may be changed by other users: close it to them (chmod go-w), then start again." >&2
    exit 1
  fi
fi
demo="$base/lintaro-demo"
mkdir -p -m 700 "$demo"
if [ ! -O "$demo" ] || [ -L "$demo" ]; then
  echo "$demo is not a folder of yours: remove it, then start again." >&2
  exit 1
fi
chmod 700 "$demo"
mkdir -p "$demo/app"
rm -f "$demo/sim0"
cp -f "$bin/Lintaro" "$bin/lintaro-setup-sample" "$demo/app/"
printf 'DEMO1=lintaro-setup-sample\r\n' >"$demo/app/setup.ini"

sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -f "$demo/sim0"
  return 0
}
trap cleanup EXIT
# The port sits in the demo folder itself: a short name that the list shows whole.
export LINTARO_PORT_DIR="$demo"
# Only the simulator's port: an onboard UART listed first would be picked instead.
export LINTARO_ONLY_PORT_DIR=1
"$bin/lintaro-devsim" --dir "$LINTARO_PORT_DIR" --name sim0 >"$demo/sim.out" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$demo/sim.out" ] && break; sleep 0.05; done
echo "No serial device attached: the device simulator plays one at $LINTARO_PORT_DIR/sim0"
echo "(kill -USR1 $sim_pid unplugs it, kill -USR2 $sim_pid plugs it back)"
"$demo/app/Lintaro"
