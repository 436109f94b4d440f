#!/usr/bin/env bash
# Makes the Windows packages: dist/Lintaro-<version>-win64.zip (unzipped anywhere, it runs
# with nothing else installed) and the installer dist/Lintaro-<version>-setup.exe (NSIS).
# Both hold Lintaro.exe, Qt's DLLs and plugins, the compiler's runtime, the Russian
# translations of Qt's dialogs, the sample configuration program and a setup.ini naming it.
# Usage: scripts/package-windows.sh [cross build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
cross="${1:-build-win}"

scripts/install-deps.sh nsis >&2
scripts/windows-build.sh "$cross" Lintaro lintaro-setup-sample lintaro_qt_runtime >&2
version="$(sed -n 's/^project(Lintaro VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
name="Lintaro-$version"
bin="$cross/bin"

dist="$(pwd)/dist"
work="$dist/.work"
rm -rf "$work"
stage="$work/$name"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/translations"
strip=x86_64-w64-mingw32-strip
for f in Lintaro.exe lintaro-setup-sample.exe; do
  $strip -o "$stage/$f" "$bin/$f"
done
cp "$bin"/Qt6Core.dll "$bin"/Qt6Gui.dll "$bin"/Qt6Widgets.dll "$bin"/Qt6Network.dll \
  "$bin"/libstdc++-6.dll "$bin"/libgcc_s_seh-1.dll "$bin"/libwinpthread-1.dll "$stage/"
cp "$bin/platforms/qwindows.dll" "$stage/platforms/"
cp "$bin/styles/qwindowsvistastyle.dll" "$stage/styles/"
cp "$bin/translations/qtbase_ru.qm" "$stage/translations/"
# The demo device identifies as DEMO1; a real device's line is added beside it.
printf 'DEMO1=lintaro-setup-sample.exe\r\n' >"$stage/setup.ini"

mkdir -p "$dist"
rm -f "$dist/$name-win64.zip" "$dist/$name-setup.exe"
(cd "$work" && cmake -E tar cf "$dist/$name-win64.zip" --format=zip "$name")

# The uninstaller removes exactly what was installed; setup.ini only when unchanged (the
# installer script's own rule).
{
  (cd "$stage" && find . -type f ! -name setup.ini | sed 's|^\./||' | sort) | while read -r f; do
    printf 'Delete "$INSTDIR\\%s"\n' "${f//\//\\}"
  done
  (cd "$stage" && find . -mindepth 1 -type d | sed 's|^\./||' | sort -r) | while read -r d; do
    printf 'RMDir "$INSTDIR\\%s"\n' "${d//\//\\}"
  done
} >"$work/uninstall-files.nsh"
cp src/resources/lintaro.ico "$work/"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" \
  -DOUTFILE="$dist/$name-setup.exe" packaging/windows/lintaro.nsi >&2
rm -rf "$work"
echo "$dist/$name-win64.zip"
echo "$dist/$name-setup.exe"
