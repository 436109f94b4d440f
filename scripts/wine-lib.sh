# Shared steps of the Wine stages (sourced by wine-tests.sh and wine-e2e.sh): a private X
# server, the device simulator behind a stable link, a fresh Wine prefix with that device
# as COM5, and a cleanup that leaves nothing running or on disk. Every Wine call is bounded
# by `timeout`. The caller sets `work` (a temporary folder) before calling these.

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# A Russian Windows, as the program's users have: Wine takes the ANSI code page (1251)
# from the locale, which is made once when missing.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  "$(dirname "${BASH_SOURCE[0]}")/install-deps.sh" locales
  sed -i 's/^# *ru_RU.UTF-8 UTF-8/ru_RU.UTF-8 UTF-8/' /etc/locale.gen
  locale-gen >/dev/null
fi
export LC_ALL=ru_RU.UTF-8
wl_tmpdir_kept="${TMPDIR-}"
unset WINESERVER
wl_sim_pid=""
wl_xvfb_pid=""
wl_server_pid=""

wl_cleanup() {
  set +e
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then timeout 30 wineserver -k >/dev/null 2>&1; fi
  [ -n "$wl_server_pid" ] && { kill "$wl_server_pid" 2>/dev/null; wait "$wl_server_pid" 2>/dev/null; }
  [ -n "$wl_sim_pid" ] && { kill "$wl_sim_pid" 2>/dev/null; wait "$wl_sim_pid" 2>/dev/null; }
  [ -n "$wl_xvfb_pid" ] && { kill "$wl_xvfb_pid" 2>/dev/null; wait "$wl_xvfb_pid" 2>/dev/null; }
  [ -n "${work:-}" ] && rm -rf "$work"
  if [ -n "$wl_tmpdir_kept" ]; then export TMPDIR="$wl_tmpdir_kept"; else unset TMPDIR; fi
  return 0
}

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

# Wait up to $1 seconds for the command that follows to succeed.
wait_until() {
  local seconds="$1"
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

# A private X server for windows (the single-instance sign, the program itself).
wl_start_xvfb() {
  Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >/dev/null 2>&1 &
  wl_xvfb_pid=$!
  wait_for_lines "$work/display" 1
  export DISPLAY=":$(head -n1 "$work/display")"
}

# The device simulator ($1: native build's bin folder; further arguments go to it), its
# terminal behind the stable link $work/ports/sim0. Sets wl_control_port when started with
# --control.
wl_start_devsim() {
  local bin="$1"
  shift
  mkdir -p "$work/ports"
  "$bin/lintaro-devsim" --dir "$work/ports" --name sim0 "$@" \
    >"$work/devsim.out" 2>"$work/devsim.err" &
  wl_sim_pid=$!
  local lines=1
  case " $* " in *" --control "*) lines=2 ;; esac
  wait_for_lines "$work/devsim.out" "$lines"
  wl_control_port="$(sed -n 's/^control //p' "$work/devsim.out")"
}

# A fresh prefix ($1, default $work/prefix) with COM5 mapped to the simulator's port and listed by
# QueryDosDeviceW, its server started by hand with its output in a log, warmed up.
wl_new_prefix() {
  if [ -n "$wl_server_pid" ]; then
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    wait "$wl_server_pid" 2>/dev/null || true
    wl_server_pid=""
  fi
  export WINEPREFIX="${1:-$work/prefix}"
  # Wine keeps its server's socket folder under TMPDIR: inside the work folder it goes with it.
  mkdir -p "$work/tmp"
  export TMPDIR="$work/tmp"
  timeout 180 wineboot -i >"$work/wineboot.log" 2>&1
  # The Ports key is read when the server starts, so the server is restarted after it.
  timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/ports/sim0" /f \
    >/dev/null 2>&1
  ln -sfn "$work/ports/sim0" "$WINEPREFIX/dosdevices/com5"
  timeout 30 wineserver -k
  timeout 30 wineserver -w
  # When a terminal the server opened hangs up it writes a lot to its output: a log. One
  # warm-up run, so the first run whose output is captured does not hand its pipe to
  # Wine's services.
  wineserver -f -p >"$work/wineserver.log" 2>&1 &
  wl_server_pid=$!
  timeout 120 wine wineboot </dev/null >/dev/null 2>&1
}
