#!/usr/bin/env bash
# End-to-end test of the Windows packages under Wine, black box: the zip unpacked into a
# temporary folder and run in a fresh prefix on a private X server, COM5 played by the
# device simulator, with no Plug and Play record of the port (as Wine's users have none);
# the user's clicks are given with xdotool. Then the installer, silent, in another fresh
# prefix: installed, reinstalled over an edited setup.ini and uninstalled, the edit
# surviving each. Nothing is left running or on disk.
#
# Usage: scripts/wine-e2e.sh <native build folder> <zip> <setup.exe> <cross build's bin folder>
# (the last holds the test's Windows helper lintaro-echo-client.exe)
set -euo pipefail
cd "$(dirname "$0")/.."
native="$1"
zip="$(realpath "$2")"
setup="$(realpath "$3")"
tools="$(realpath "$4")"
client="$tools/lintaro-echo-client.exe"
started=$SECONDS

scripts/install-deps.sh wine wine64 fonts-wine xvfb xdotool unzip
source scripts/wine-lib.sh
work="$(mktemp -d)"
trap wl_cleanup EXIT
trap 'exit 130' INT TERM HUP

fail() {
  echo "E2E FAILED: $*" >&2
  [ -f "$work/lintaro.log" ] && tail -n 20 "$work/lintaro.log" >&2
  exit 1
}
step() { echo "-- $*"; }
window_of() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
has_window() { [ -n "$(window_of "$1")" ]; }
no_process() { ! pgrep -f "$1" >/dev/null; }
# A wine command can fail to start on a busy machine: reads of the registry are retried.
stored_port() {
  timeout 60 wine reg query 'HKCU\SOFTWARE\Vormex\Lintaro' /v COM 2>&1 | tr -d '\r' \
    | grep -q 'COM5$'
}

# The link sits at a fixed place of the window's client area (16, 35), 13 pixels high.
click_link() {
  local window
  window="$(window_of 'Мастер подключения')"
  [ -n "$window" ] || fail "the window is gone"
  xdotool mousemove --window "$window" 24 41 click 1
}

# Keys go to the window that has the input focus; without a window manager it is given.
press_keys() {
  local window="$1"
  shift
  xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
  xdotool key "$@"
}

wl_start_xvfb
wl_start_devsim "$native/bin"
app="$work/app"
mkdir -p "$app"
unzip -q "$zip" -d "$app"
program="$(find "$app" -name Lintaro.exe -printf '%h\n' | head -n1)"
[ -n "$program" ] || fail "no Lintaro.exe in the zip"
cp "$client" "$program/"
client_name="$(basename "$client")"
# The simulator identifies as DEMO1.
printf 'DEMO1=%s\r\n' "$client_name" >"$program/setup.ini"

step "fresh prefix"
wl_new_prefix
temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
# Wine keeps no Plug and Play record of COM5 (as for every port it maps to a Unix device):
# the open port itself tells the presence test that it is still there.

step "start Lintaro.exe, pick COM5, click Подключить"
(cd "$program" && LINTARO_E2E_BYTES=$((1 << 20)) timeout 300 wine ./Lintaro.exe \
  >"$work/lintaro.log" 2>&1; echo $? >"$work/lintaro.rc") &
wait_until 180 has_window 'Мастер подключения' || fail "the window did not appear"
click_link
wait_until 120 test -f "$program/echo-client-result.txt" || fail "the client reported nothing"
result="$(cat "$program/echo-client-result.txt")"
echo "$result"
echo "$result" | head -n1 | grep -qx 'OK 1048576' || fail "the bytes did not come back intact"
# Started from its copy in the user's temporary folder, with the program folder as its
# working folder.
echo "$result" | grep -Eq "^module C:\\\\users\\\\.*\\\\Temp\\\\$client_name(\\.exe)?\$" \
  || fail "the client did not run from the temporary folder"
program_win="$(echo "$result" | sed -n 's/^folder //p')"
[ "$(basename "${program_win//\\//}")" = "$(basename "$program")" ] \
  || fail "the client's working folder was $program_win"
ls "$temp"/*.exe >/dev/null 2>&1 || fail "no copy in $temp"

step "click Отключить: the client ends, its copy is deleted"
click_link
wait_until 30 no_process "$client_name" || fail "the client still runs"
wait_until 30 bash -c "! ls '$temp'/*.exe >/dev/null 2>&1" || fail "the copy was not deleted"

step "a second Lintaro.exe warns and exits 0"
(cd "$program" && timeout 120 wine ./Lintaro.exe >/dev/null 2>&1; echo $? >"$work/second.rc") &
wait_until 60 has_window 'Предупреждение' || fail "no warning from the second copy"
press_keys "$(window_of 'Предупреждение')" Return
wait_until 30 test -f "$work/second.rc" || fail "the second copy did not exit"
[ "$(cat "$work/second.rc")" = 0 ] || fail "the second copy exited $(cat "$work/second.rc")"

step "close the window: the port is stored"
press_keys "$(window_of 'Мастер подключения')" alt+F4
wait_until 30 test -f "$work/lintaro.rc" || fail "the program did not end"
[ "$(cat "$work/lintaro.rc")" = 0 ] || fail "the program exited $(cat "$work/lintaro.rc")"
wait_until 60 stored_port || fail "COM5 was not stored"

step "installer: silent install in a fresh prefix, the installed program starts"
wl_new_prefix "$work/prefix2"
timeout 300 wine "$setup" /S >/dev/null 2>&1 || fail "the installer failed"
installed="$WINEPREFIX/drive_c/Program Files/Lintaro"
[ -f "$installed/Lintaro.exe" ] || fail "nothing in $installed"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
[ -f "$menu/Lintaro.lnk" ] || fail "no Start-menu entry Lintaro"
[ -z "$(find "$menu" -iname '*Удалить*')" ] || fail "the uninstaller is in the Start menu"
timeout 60 wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Lintaro' \
  /v UninstallString >/dev/null 2>&1 || fail "no entry in the list of programs"
step "reinstall over an edited setup.ini: the edit stays"
printf 'MODEL2=mine.exe\r\n' >>"$installed/setup.ini"
timeout 300 wine "$setup" /S >/dev/null 2>&1 || fail "the second install failed"
grep -q '^MODEL2=mine.exe' "$installed/setup.ini" || fail "the reinstall replaced setup.ini"
rm -f "$work/lintaro.rc"
(timeout 120 wine 'C:\Program Files\Lintaro\Lintaro.exe' >"$work/lintaro.log" 2>&1
  echo $? >"$work/lintaro.rc") &
wait_until 60 has_window 'Мастер подключения' || fail "the installed program did not start"
press_keys "$(window_of 'Мастер подключения')" alt+F4
wait_until 30 test -f "$work/lintaro.rc" || fail "the installed program did not end"
step "uninstaller: the program goes, the user's settings and setup.ini stay"
timeout 120 wine reg add 'HKCU\SOFTWARE\Vormex\Lintaro' /v COM /t REG_SZ /d COM5 /f >/dev/null 2>&1
wait_until 60 stored_port || fail "the setting to keep could not be written"
timeout 120 wine 'C:\Program Files\Lintaro\Uninstall.exe' /S >/dev/null 2>&1 || true
# The uninstaller runs on from a copy of itself in the temporary folder.
wait_until 60 test ! -e "$installed/Uninstall.exe" || fail "the uninstaller did not finish"
wait_until 30 no_process 'Un_A.exe' || fail "the uninstaller did not end"
[ ! -e "$installed/Lintaro.exe" ] || fail "the uninstaller left Lintaro.exe"
grep -q '^MODEL2=mine.exe' "$installed/setup.ini" 2>/dev/null \
  || fail "the uninstaller deleted the edited setup.ini"
[ ! -e "$menu/Lintaro.lnk" ] || fail "the uninstaller left the Start-menu entry"
wait_until 60 stored_port || {
  timeout 60 wine reg query 'HKCU\SOFTWARE\Vormex' /s 2>&1 | tail -n 20 >&2
  fail "the uninstaller removed the user's settings"
}

echo "Windows end-to-end: passed in $((SECONDS - started)) s"
