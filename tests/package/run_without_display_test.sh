#!/usr/bin/env bash
# scripts/run.sh with no display: it says so and exits 1 before building or starting
# anything (no simulator left running).
set -uo pipefail
source="$1"
out="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM BUILD_DIR=/nonexistent \
  "$source/scripts/run.sh" 2>&1)"
rc=$?
echo "$out"
[ "$rc" -eq 1 ] || { echo "FAILED: exit code $rc" >&2; exit 1; }
echo "$out" | grep -q "No display" || { echo "FAILED: no message" >&2; exit 1; }
[ ! -e /nonexistent ] || { echo "FAILED: it built" >&2; exit 1; }
