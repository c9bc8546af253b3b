#!/usr/bin/env bash
# The demo: flashes the simulated device with orvo-loader-cli and checks, from the device's
# flash dump, that it now holds the application image.
#   bash tools/demo.sh [BUILD_DIR]      (./run demo builds first, then calls this)
# ORVO_CLI and ORVO_DEVSIM name other programs to use (the install test's installed ones).
set -euo pipefail

BUILD=${1:-build}
CLI=${ORVO_CLI:-$BUILD/tools/cli/orvo-loader-cli}
SIM=${ORVO_DEVSIM:-$BUILD/tools/devsim/orvo-devsim}
OUT=$BUILD/demo

fail() {
    echo "demo: FAILED: $*" >&2
    exit 1
}

[ -x "$CLI" ] || fail "$CLI is not built"
[ -x "$SIM" ] || fail "$SIM is not built"

rm -rf "$OUT"
mkdir -p "$OUT"

sim_pid=
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

# The simulator prints "PORT <pty>" first; the dumps and its report come at its exit.
"$SIM" --dump-flash "$OUT/flash.bin" --dump-ram "$OUT/ram.bin" --report "$OUT/report.json" \
    >"$OUT/devsim.out" 2>"$OUT/devsim.err" &
sim_pid=$!
port=
for _ in $(seq 1 100); do
    port=$(sed -n 's/^PORT //p' "$OUT/devsim.out" | head -n 1)
    [ -n "$port" ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "orvo-devsim ended at start: $(cat "$OUT/devsim.err")"
    sleep 0.05
done
[ -n "$port" ] || fail "orvo-devsim gave no PORT line within 5 s"
echo "demo: simulated device on $port"

echo "demo: orvo-loader-cli download --port $port --log $OUT/download.log"
status=0
"$CLI" download --port "$port" --log "$OUT/download.log" || status=$?
[ "$status" = 0 ] || fail "orvo-loader-cli download ended with exit status $status (log: $OUT/download.log)"

# Stop the device so that it writes its flash dump and report.
kill -TERM "$sim_pid"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
[ "$sim_status" = 0 ] || fail "orvo-devsim ended with exit status $sim_status"
[ -s "$OUT/flash.bin" ] || fail "orvo-devsim wrote no flash dump"

"$CLI" verify-dump "$OUT/flash.bin" || fail "the device's flash does not hold the application image"
grep -Eq '"signature_last" *: *true' "$OUT/report.json" ||
    fail "the signature byte was not the last flash write (see $OUT/report.json)"

echo "demo: OK - the simulated device holds the application image, signature byte written last"
echo "demo: flash dump, report and download log are in $OUT/"
