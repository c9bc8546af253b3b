#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, headless and quiet,
# with the Wine prefix kept in the build folder (WINEPREFIX wins when set).
# Usage: wine-run.sh PROGRAM.exe [ARGS...]; the exit status is the program's.
set -euo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  # The build folder is the nearest parent holding CMakeCache.txt; else cwd.
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || dir=$PWD
  export WINEPREFIX="$dir/wine"
fi
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs on first start; no window needed.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Wine's first start builds the prefix (once, also for parallel build
  # steps); its chatter is not the program's.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot --init >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
