#!/usr/bin/env bash
# Qt 6 for Windows (Core, Gui, Widgets, Network as DLLs), cross-built with mingw-w64 from
# Debian's own qt6-base source of the same version as the host's Qt tools. The result goes
# into a cache folder outside the work tree and is reused when present; only a finished
# install is moved into place, so a half-finished build is never taken for one.
#
# Prints the prefix (the folder holding bin/, lib/, plugins/) as its last line; with
# --where it prints where that prefix is and builds nothing.
# LINTARO_CACHE overrides the cache root (default ~/.cache/lintaro).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."

scripts/install-deps.sh g++-mingw-w64-x86-64-posix qt6-base-dev-tools qt6-base-dev ninja-build \
  dpkg-dev cmake xz-utils >&2

version="$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)"     # e.g. 6.4.2+dfsg-10
upstream="${version%%+*}"
upstream="${upstream%%-*}"

# What Qt is built with: changing any of these makes a new cache folder.
options=(
  -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE=Release
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_openssl=OFF -DFEATURE_icu=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_vulkan=OFF -DFEATURE_testlib=OFF
  -DFEATURE_dnslookup=OFF -DFEATURE_direct2d=OFF -DINPUT_optimize_size=ON
  # No wintab.h in the source: without tablets the platform plugin compiles.
  -DFEATURE_tabletevent=OFF
  # With DirectWrite 3 the platform plugin does not link.
  -DFEATURE_directwrite3=OFF
  # OpenGL stays at its default (loaded at run time, nothing linked): the platform plugin's
  # window code uses its types even when OpenGL is switched off.
)
toolchain="$(cat <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER   x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
)"
hash="$( { echo "$version"; printf '%s\n' "${options[@]}" "$toolchain"; } | sha256sum | cut -c1-12)"
cache="${LINTARO_CACHE:-$HOME/.cache/lintaro}"
prefix="$cache/qt-$upstream-mingw64-$hash"
if [ "${1:-}" = "--where" ]; then
  echo "$prefix"
  exit 0
fi

if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

started=$SECONDS
mkdir -p "$cache"
work="$cache/work-qt-$upstream-$hash"
rm -rf "$work" "$prefix.partial"
mkdir -p "$work"
trap 'rm -rf "$work" "$prefix.partial"' EXIT

# The source: a deb-src entry beside the deb one (same URIs and suites), then Debian's
# source package of exactly the host tools' version.
sources=/etc/apt/sources.list.d/debian.sources
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ -f "$sources" ] && ! grep -q 'deb-src' "$sources"; then
  $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' "$sources"
fi
if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list \
  && ! grep -q '^deb-src ' /etc/apt/sources.list; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee -a /etc/apt/sources.list >/dev/null
fi
$SUDO apt-get update -qq >&2
(cd "$work" && apt-get source --download-only "qt6-base=$version" >&2)
orig="$(ls "$work"/qt6-base_*.orig.tar.* | head -n1)"
tar -C "$work" -xf "$orig"
src="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qtbase*' | head -n1)"
[ -n "$src" ] || { echo "qt-windows: no source folder in $orig" >&2; exit 1; }

printf '%s\n' "$toolchain" >"$work/toolchain.cmake"

echo "qt-windows: configuring Qt $upstream for Windows" >&2
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix.partial" "${options[@]}" >"$work/configure.log" 2>&1 \
  || { tail -n 60 "$work/configure.log" >&2; exit 1; }
echo "qt-windows: building (about 1,100 steps)" >&2
cmake --build "$work/build" --parallel "$(nproc)" >"$work/build.log" 2>&1 \
  || { grep -B2 -A20 'FAILED' "$work/build.log" | head -n 80 >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 \
  || { tail -n 40 "$work/install.log" >&2; exit 1; }

# Qt installed into the partial folder; its cmake files name that folder only relative to
# themselves, so the rename keeps it usable.
touch "$prefix.partial/.complete"
mv "$prefix.partial" "$prefix"
echo "qt-windows: built in $((SECONDS - started)) s" >&2
echo "$prefix"
