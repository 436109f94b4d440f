#!/usr/bin/env bash
# The Debian package, black box: made with cpack from the build folder and judged by
# lintian; installed with dpkg into a scratch root, where an edit of setup.ini survives a
# reinstall, an upgrade and a removal; its layout and dependencies checked, and the
# installed program started offscreen until it holds its single-instance sign.
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
[ "$(dpkg-deb -f "$deb" Suggests)" = wine ] || fail "Suggests: $(dpkg-deb -f "$deb" Suggests)"
[ -z "$(dpkg-deb -f "$deb" Recommends)" ] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
dpkg-deb -f "$deb" Maintainer | grep -Eq '<[^@ ]+@[^@ ]+>$' || fail "no maintainer address"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh lintian)"
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 \
  || { cat "$work/lintian.log" >&2; fail "lintian"; }

# A scratch root with a dpkg database of its own.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
in_root() {
  dpkg --root="$root" --force-depends --force-not-root --log=/dev/null "$@" </dev/null \
    >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg $*"; }
}
# The same package one version later, with the same setup.ini.
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: ${version}.1/" "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$work/next.deb" >/dev/null

in_root -i "$deb"
ini="$root/etc/lintaro/setup.ini"
grep -q '^DEMO1=lintaro-setup-sample' "$ini" || fail "setup.ini"
echo 'MODEL2=mine' >>"$ini"
edit_kept() { grep -qx 'MODEL2=mine' "$ini" || fail "setup.ini lost its edit on $1"; }
in_root -i "$deb"
edit_kept reinstall
in_root -i "$work/next.deb"
edit_kept upgrade

for f in usr/lib/lintaro/Lintaro usr/lib/lintaro/lintaro-setup-sample \
  usr/lib/lintaro/translations/qtbase_ru.qm usr/share/doc/lintaro/copyright \
  usr/share/applications/lintaro.desktop usr/share/icons/hicolor/256x256/apps/lintaro.png; do
  [ -f "$root/$f" ] || fail "missing /$f"
done
[ "$(readlink "$root/usr/bin/lintaro")" = ../lib/lintaro/Lintaro ] || fail "lintaro is no link to the program"
[ "$(readlink "$root/usr/lib/lintaro/setup.ini")" = /etc/lintaro/setup.ini ] || fail "setup.ini link"
grep -qx 'Exec=lintaro' "$root/usr/share/applications/lintaro.desktop" || fail "desktop entry"
! readelf -S "$root/usr/lib/lintaro/Lintaro" | grep -q '\.debug_info' || fail "the program is not stripped"

# Started offscreen with private folders: it runs once it holds its sign.
mkdir -p "$work/runtime" "$work/config" "$work/ports"
chmod 700 "$work/runtime"
XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" LINTARO_PORT_DIR="$work/ports" \
  LINTARO_ONLY_PORT_DIR=1 QT_QPA_PLATFORM=offscreen "$root/usr/lib/lintaro/Lintaro" \
  >"$work/program.log" 2>&1 &
pid=$!
held() { ! flock -n "$1" true 2>/dev/null; }
for _ in $(seq 300); do
  lock="$(find "$work/runtime" -name '*.lock' 2>/dev/null | head -n1)"
  if [ -n "$lock" ] && held "$lock"; then
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    pid=""
    in_root -r lintaro
    edit_kept removal
    [ ! -e "$root/usr/lib/lintaro/Lintaro" ] || fail "the program stayed after removal"
    echo "installed program started from $deb; setup.ini kept its edit"
    exit 0
  fi
  kill -0 "$pid" 2>/dev/null || { cat "$work/program.log" >&2; fail "the installed program ended"; }
  sleep 0.1
done
cat "$work/program.log" >&2
fail "the installed program never held its sign"
