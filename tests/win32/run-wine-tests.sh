#!/usr/bin/env bash
# Runs the Windows build's tests under Wine on a virtual X display (Xvfb):
# every test program of the cross build, with a loopback line on COM2 and the
# simulated device on COM1, then a download with orvo-loader-cli.exe into a
# fresh simulated device, then the window orvo-loader.exe driven with the
# mouse and keys (window-steps.sh, pictures in WIN_BUILD/shots/); each
# device's flash must then hold the application image. Ends with the line
# "windows: N passed, N failed".
#   run-wine-tests.sh WIN_BUILD HOST_BUILD
# WIN_BUILD is the cross build; HOST_BUILD a native build with orvo-devsim.
# ORVO_WINE_TESTS=window runs only the window part (3).
set -uo pipefail
WIN=$(cd "$1" && pwd)
HOST=$(cd "$2" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
SIM=$HOST/tools/devsim/orvo-devsim
CLI_EXE=$WIN/tools/cli/orvo-loader-cli.exe
OUT=$WIN/wine-test

export WINEPREFIX=$WIN/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
unset DISPLAY WAYLAND_DISPLAY

passed=0
failed=0
skipped=0
pids=()

note() { echo "windows: $*"; }
pass() { passed=$((passed + 1)); note "ok: $*"; }
fail() { failed=$((failed + 1)); note "FAILED: $*"; }

cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  wineserver -k 2>/dev/null
  [ -n "${xvfb_pid:-}" ] && kill -TERM "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

rm -rf "$OUT"
mkdir -p "$OUT"

# The prefix, with COM1 and COM2 on fixed links in the build folder. Wine
# itself sets dosdevices/comN at every start (to /dev/ttyS* when no entry
# under Ports says otherwise), so the entries are what keeps them ours.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  note "making the Wine prefix $WINEPREFIX (once)"
  wineboot --init >/dev/null 2>&1
fi
if [ "$(cat "$WINEPREFIX/.orvo-ports" 2>/dev/null)" != "$WIN undecorated" ]; then
  for n in 1 2; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$WIN/com$n.link" /f >/dev/null 2>&1
  done
  # With no window manager on the display, Wine draws the caption and frame
  # itself and gives the keyboard to its active window, as Windows does.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wineserver -w
  echo "$WIN undecorated" >"$WINEPREFIX/.orvo-ports"
fi
# One server for the whole run: later starts are quicker.
wineserver -p 2>/dev/null

# The virtual display for the windows (the first free display number).
Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp 8>"$OUT/xvfb.display" 2>"$OUT/xvfb.err" &
xvfb_pid=$!
for i in $(seq 1 100); do
  [ -s "$OUT/xvfb.display" ] && break
  sleep 0.05
done
if [ -s "$OUT/xvfb.display" ]; then
  export DISPLAY=:$(head -n 1 "$OUT/xvfb.display")
else
  note "no virtual display (Xvfb): the window tests fail"
fi

# Starts a line program (its first stdout line "PORT <pty>") in the
# background; sets line_pid. 1 when it gave no PORT line within 5 s.
start_line() {
  local log=$1
  shift
  "$@" >"$log.out" 2>"$log.err" &
  line_pid=$!
  # The simulated device is not held off by the machine's other work (where allowed).
  renice -n -10 -p "$line_pid" >/dev/null 2>&1 || true
  pids+=("$line_pid")
  local i
  for i in $(seq 1 100); do
    grep -q '^PORT ' "$log.out" 2>/dev/null && return 0
    kill -0 "$line_pid" 2>/dev/null || break
    sleep 0.05
  done
  return 1
}

# Stops a line program; its exit status.
stop_line() {
  kill -TERM "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

# 0 when the flash dump holds the application image and the device saw the
# signature byte written last.
check_flash() {
  local dir=$1
  [ -s "$dir/flash.bin" ] || { echo "no flash dump in $dir"; return 1; }
  if [ -x "$HOST/tools/cli/orvo-loader-cli" ]; then
    "$HOST/tools/cli/orvo-loader-cli" verify-dump "$dir/flash.bin" || return 1
  else
    srec_cat "$SRC/firmware/orvo.s37" -fill 0xFF 0x80000 0xF4000 -offset -0x80000 \
      -o "$dir/expected.bin" -binary || return 1
    cmp "$dir/expected.bin" "$dir/flash.bin" || return 1
  fi
  grep -Eq '"signature_last" *: *true' "$dir/report.json" ||
    { echo "the signature byte was not written last ($dir/report.json)"; return 1; }
}

device() {
  local dir=$1
  mkdir -p "$dir"
  rm -f "$WIN/com1.link"
  start_line "$dir/devsim" "$SIM" --link "$WIN/com1.link" --dump-flash "$dir/flash.bin" \
    --report "$dir/report.json"
}

# Test names left out: the first word of each line that is not a comment.
filter=$(grep -v '^#' "$SRC/tests/win32/posix-only-tests.txt" | awk 'NF { print $1 }' | paste -sd:)

if [ "${ORVO_WINE_TESTS:-all}" != window ]; then
# 1. The test programs, with the loopback line and a device.
rm -f "$WIN/com2.link"
start_line "$OUT/loopback" python3 "$SRC/tests/win32/loopback_pty.py" --link "$WIN/com2.link" ||
  note "no loopback line (python3?): the loopback tests skip"
loop_pid=$line_pid
device "$OUT/library" || fail "orvo-devsim gave no PORT line: $(cat "$OUT/library/devsim.err")"
sim_pid=$line_pid

while read -r program; do
  [ -n "$program" ] || continue
  name=$(basename "$program" .exe)
  log=$OUT/$name.log
  ORVO_TEST_LOOPBACK_COM=COM2 ORVO_TEST_DEVICE_COM=COM1 \
    timeout 300 wine "$WIN/$program" --gtest_filter="-$filter" >"$log" 2>&1
  status=$?
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -n 1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below.*/\1/p' "$log" | tail -n 1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below.*/\1/p' "$log" | tail -n 1)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  skipped=$((skipped + ${s:-0}))
  if [ -z "$p" ] || { [ "$status" != 0 ] && [ -z "$f" ]; }; then
    fail "$name ended with status $status without a summary (see $log)"
  else
    note "$name: passed ${p:-0}, failed ${f:-0}, skipped ${s:-0}"
  fi
  [ -n "$f" ] && grep '^\[  FAILED  \] [A-Za-z]' "$log" | grep -v 'listed below' | sed 's/^/  /'
done <"$WIN/windows-tests.txt"

stop_line "$loop_pid"
stop_line "$sim_pid"
if msg=$(check_flash "$OUT/library" 2>&1); then
  pass "download through the library: the device's flash holds the application image"
else
  fail "download through the library: $msg"
fi

# 2. The command-line loader under Wine against a fresh device.
if [ -f "$CLI_EXE" ]; then
  if device "$OUT/cli"; then
    sim_pid=$line_pid
    wine "$CLI_EXE" download --port COM1 --log "$OUT/cli/download.log" >"$OUT/cli/cli.out" 2>&1
    status=$?
    stop_line "$sim_pid"
    if [ "$status" != 0 ]; then
      fail "wine orvo-loader-cli.exe download --port COM1 ended with $status (see $OUT/cli/)"
    elif msg=$(check_flash "$OUT/cli" 2>&1); then
      pass "wine orvo-loader-cli.exe download --port COM1: exit 0, flash holds the application image"
    else
      fail "orvo-loader-cli.exe download: $msg"
    fi
  else
    fail "orvo-devsim gave no PORT line: $(cat "$OUT/cli/devsim.err")"
  fi
else
  skipped=$((skipped + 1))
  note "SKIPPED: no orvo-loader-cli.exe (it does not build for Windows: $WIN/cli-build.log)"
fi
fi

# 3. The window, as a person uses it.
if [ -f "$WIN/src/gui/win32/orvo-loader.exe" ] && [ -n "${DISPLAY:-}" ]; then
  # shellcheck source=window-steps.sh
  . "$SRC/tests/win32/window-steps.sh"
  window_tests
else
  fail "no orvo-loader.exe or no virtual display: the window was not tried"
fi

if [ "$skipped" -gt 0 ]; then
  echo "windows: $passed passed, $failed failed, $skipped skipped"
else
  echo "windows: $passed passed, $failed failed"
fi
[ "$failed" = 0 ]
