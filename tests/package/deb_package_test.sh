#!/usr/bin/env bash
# The Debian package, black box: made with cpack from the build folder, unpacked into a
# scratch root, its layout and dependencies checked, and the installed program started
# offscreen until it holds its single-instance sign.
# Usage: deb_package_test.sh <build folder>
set -euo pipefail
build="$1"
work="$(mktemp -d)"
pid=""
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) \
  || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb="$(ls "$work"/lintaro_*_amd64.deb 2>/dev/null | head -n1)"
[ -n "$deb" ] || fail "no lintaro_<version>_amd64.deb"
version="$(dpkg-deb -f "$deb" Version)"
[ "$(basename "$deb")" = "lintaro_${version}_amd64.deb" ] || fail "file name $(basename "$deb")"
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libqt6widgets6 libqt6network6 libstdc++6; do
  echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done

root="$work/root"
dpkg -x "$deb" "$root"
for f in opt/lintaro/Lintaro opt/lintaro/lintaro-setup-sample opt/lintaro/setup.ini \
  usr/share/applications/lintaro.desktop usr/share/icons/hicolor/256x256/apps/lintaro.png; do
  [ -f "$root/$f" ] || fail "missing /$f"
done
[ "$(readlink "$root/usr/bin/lintaro")" = /opt/lintaro/Lintaro ] || fail "lintaro is no link to the program"
grep -qx 'Exec=lintaro' "$root/usr/share/applications/lintaro.desktop" || fail "desktop entry"
grep -q '^DEMO1=lintaro-setup-sample' "$root/opt/lintaro/setup.ini" || fail "setup.ini"

# Started offscreen with private folders: it runs once it holds its sign.
mkdir -p "$work/runtime" "$work/config" "$work/ports"
chmod 700 "$work/runtime"
XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" LINTARO_PORT_DIR="$work/ports" \
  LINTARO_ONLY_PORT_DIR=1 QT_QPA_PLATFORM=offscreen "$root/opt/lintaro/Lintaro" \
  >"$work/program.log" 2>&1 &
pid=$!
held() { ! flock -n "$1" true 2>/dev/null; }
for _ in $(seq 300); do
  lock="$(find "$work/runtime" -name '*.lock' 2>/dev/null | head -n1)"
  if [ -n "$lock" ] && held "$lock"; then
    echo "installed program started from $deb"
    exit 0
  fi
  kill -0 "$pid" 2>/dev/null || { cat "$work/program.log" >&2; fail "the installed program ended"; }
  sleep 0.1
done
cat "$work/program.log" >&2
fail "the installed program never held its sign"
