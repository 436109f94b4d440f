#!/usr/bin/env bash
# Configures and builds the whole program for Windows with mingw-w64 and Qt for Windows
# (scripts/qt-windows.sh builds it the first time and caches it), with its tests.
# Usage: scripts/windows-build.sh [cross build folder] [target ...]
# LINTARO_WINDOWS_GUI=0 builds only the Qt-free layers (no Qt needed).
set -euo pipefail
cd "$(dirname "$0")/.."
cross="${1:-build-win}"
shift || true

scripts/install-deps.sh g++-mingw-w64-x86-64-posix qt6-base-dev-tools qt6-translations-l10n \
  googletest cmake ninja-build >&2
args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${LINTARO_WINDOWS_GUI:-1}" != "0" ]; then
  qt="$(scripts/qt-windows.sh | tail -n1)"
  # Qt's target side from the cache, its tools (moc, rcc, uic) from the host.
  args+=(-DLINTARO_BUILD_GUI=ON "-DCMAKE_PREFIX_PATH=$qt" "-DCMAKE_FIND_ROOT_PATH=$qt;/usr/x86_64-w64-mingw32"
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
else
  args+=(-DLINTARO_BUILD_GUI=OFF)
fi
cmake -S . -B "$cross" "${args[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$cross" -j"$(nproc)" "${targets[@]}"
