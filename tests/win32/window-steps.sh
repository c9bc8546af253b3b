# The window orvo-loader.exe under Wine on a virtual X display, driven as a
# person would: find it by its caption, click where its template puts a
# button, answer its message boxes with the keyboard, take pictures. A box's
# text is read from Wine's message-box trace (as a screen reader would). Sourced by run-wine-tests.sh, which gives pass, fail, note,
# device, check_flash, start_line, stop_line, $WIN, $HOST, $OUT and $DISPLAY.
LOADER_EXE=$WIN/src/gui/win32/orvo-loader.exe
SHOTS=$WIN/shots
MAIN_CAPTION='^Orvo-Loader \(K52 only\)$'

# Prints the id of the first visible window whose name matches $1, waiting
# up to $2 seconds; 1 when none came.
wait_window() {
  local i w
  for i in $(seq 1 $(($2 * 10))); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
    if [ -n "$w" ]; then echo "$w"; return 0; fi
    sleep 0.1
  done
  return 1
}

# 0 when no window named $1 is left within $2 seconds.
wait_window_gone() {
  local i
  for i in $(seq 1 $(($2 * 10))); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}

shot() { import -window "$1" "$SHOTS/$2.png" 2>/dev/null; }
# The main window with what lies over it: the screen cut to the main window's place.
shot_main() {
  import -window root -crop "${MAIN_W}x${MAIN_H}+${MAIN_X}+${MAIN_Y}" +repage "$SHOTS/$1.png" 2>/dev/null
}

# The text of the latest message box of the program running in folder $1.
box_text() {
  grep -a 'trace:msgbox:MSGBOX_OnInit' "$1/loader.out" | tail -n 1 | sed 's/.*MSGBOX_OnInit L"//; s/"\r*$//'
}

# Presses key $2 in window $1: Wine gives the keys to its active window, which
# is $1 once it shows (a box is modal).
press() {
  sleep 0.2
  xdotool key "$2"
}

# Answers the box or dialog captioned $1 (a pattern) with key $2, again while
# it is still there (a key that came before the box had the keyboard is lost).
# 0 when it went.
answer() {
  local i
  for i in 1 2 3 4 5; do
    sleep 0.3
    xdotool key "$2"
    wait_window_gone "$1" 3 && return 0
  done
  return 1
}

# Dialog units of the main window to screen pixels, from the dialog font's
# base units (BASE_X, BASE_Y) the way the dialog manager rounds them.
du_x() { echo $((($1 * BASE_X + 2) / 4)); }
du_y() { echo $((($1 * BASE_Y + 4) / 8)); }

# Sets MAIN (window id) and CLIENT_X, CLIENT_Y (screen position of the client
# area): the frame is as wide left, right and below, the caption is the rest.
find_main() {
  MAIN=$(wait_window "$MAIN_CAPTION" 60) || return 1
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$MAIN")"
  local cw ch b
  cw=$(du_x 302)
  ch=$(du_y 173)
  b=$(((WIDTH - cw) / 2))
  CLIENT_X=$((X + b))
  CLIENT_Y=$((Y + HEIGHT - ch - b))
  MAIN_X=$X
  MAIN_Y=$Y
  MAIN_W=$WIDTH
  MAIN_H=$HEIGHT
}

# Clicks the middle of the control at x, y, cx, cy (dialog units).
click_du() {
  xdotool mousemove $((CLIENT_X + $(du_x "$1") + $(du_x "$3") / 2)) \
    $((CLIENT_Y + $(du_y "$2") + $(du_y "$4") / 2)) click 1
}

# The pixels of the client rectangle x, y, cx, cy (dialog units), hashed.
region_hash() {
  import -window root -crop "$(du_x "$3")x$(du_y "$4")+$((CLIENT_X + $(du_x "$1")))+$((CLIENT_Y + $(du_y "$2")))" \
    rgb:- 2>/dev/null | md5sum | cut -c1-32
}

start_loader() {
  (cd "$1" && WINEDEBUG=-all,trace+msgbox exec wine "$LOADER_EXE") >"$1/loader.out" 2>&1 &
  loader_pid=$!
  pids+=("$loader_pid")
}

# 0 when the program ended within $1 seconds.
loader_ended() {
  local i
  for i in $(seq 1 $(($1 * 10))); do
    kill -0 "$loader_pid" 2>/dev/null || { wait "$loader_pid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  return 1
}

# Opens the About box from the system menu (its last item) and closes it with
# Enter; 0 when it showed. Takes picture $1. A second try when the menu's keys
# were lost (Escape is not used: it would be the window's cancel command).
about_from_system_menu() {
  local about try
  for try in 1 2; do
    press "$MAIN" alt+space
    sleep 0.5
    shot root "$1-menu"
    press "$MAIN" Up
    press "$MAIN" Return
    if about=$(wait_window '^About main$' 10); then
      sleep 0.3
      shot "$about" "$1"
      answer '^About main$' Return
      return
    fi
  done
  return 1
}

# Escape in the idle main window; 0 when the program ended.
close_with_escape() {
  local try
  for try in 1 2 3; do
    press "$MAIN" Escape
    loader_ended 5 && return 0
  done
  return 1
}

# Starts a device (orvo-devsim with the arguments after $2) and the window in
# folder $1, clicks Download and waits until the device's log matches $2; sets
# sim. 1 (failure noted) when something did not come.
download_until() {
  local d=$1 pattern=$2 t
  shift 2
  mkdir -p "$d"
  rm -f "$WIN/com1.link"
  if ! start_line "$d/devsim" "$SIM" --link "$WIN/com1.link" --verbose --report "$d/report.json" "$@"; then
    fail "window ($d): orvo-devsim gave no PORT line"
    return 1
  fi
  sim=$line_pid
  start_loader "$d"
  if ! find_main; then
    fail "window ($d): no main window"
    stop_line "$sim"
    return 1
  fi
  click_du 90 75 50 14
  for t in $(seq 1 1800); do
    grep -q "$pattern" "$d/devsim.err" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "window ($d): the device never logged \"$pattern\""
  kill "$loader_pid" 2>/dev/null
  stop_line "$sim"
  return 1
}

window_tests() {
  local dir metrics base text
  mkdir -p "$SHOTS"
  rm -f "$SHOTS"/*.png
  if ! metrics=$(wine "$WIN/tests/test_gui_win32.exe" --metrics 2>/dev/null | tr -d '\r'); then
    fail "window: no dialog base units from test_gui_win32.exe --metrics"
    return
  fi
  base=$(echo "$metrics" | sed -n 's/^BASE //p')
  BASE_X=${base% *}
  BASE_Y=${base#* }

  # 0. A port that cannot be opened: the box, and a window that stays usable.
  dir=$OUT/window-no-port
  mkdir -p "$dir"
  rm -f "$WIN/com1.link"
  start_loader "$dir"
  if find_main; then
    click_du 90 75 50 14
    local box
    if box=$(wait_window '^Error\.\.\.$' 20); then
      text=$(box_text "$dir")
      if [ "$text" = 'Error opening COM-Port !' ] && answer '^Error\.\.\.$' Return; then
        pass "window: a port that cannot be opened gives \"Error opening COM-Port !\""
      else
        fail "window: the port box said \"$text\""
      fi
    else
      fail "window: no box for a port that cannot be opened"
    fi
    close_with_escape || { fail "window: Escape after the port box did not end the program"; kill "$loader_pid" 2>/dev/null; }
  else
    fail "window: no window captioned \"Orvo-Loader (K52 only)\" (see $dir/loader.out)"
  fi

  # 1. A full download: Download, the lines and the bar move, the "Ok" box,
  #    the device's flash; then About from the system menu, Escape closes.
  dir=$OUT/window-download
  if ! device "$dir"; then fail "window: orvo-devsim gave no PORT line"; return; fi
  local sim=$line_pid
  start_loader "$dir"
  if ! find_main; then
    fail "window: no window captioned \"Orvo-Loader (K52 only)\" (see $dir/loader.out)"
    stop_line "$sim"
    return
  fi
  sleep 0.5
  shot "$MAIN" 01-main-window
  local status0 bar0 ok hashes=() bars=() t
  status0=$(region_hash 15 120 205 23)
  bar0=$(region_hash 15 150 205 10)
  click_du 90 75 50 14
  for t in $(seq 1 600); do
    ok=$(xdotool search --onlyvisible --name '^Ok$' 2>/dev/null | head -n 1)
    [ -n "$ok" ] && break
    hashes+=("$(region_hash 15 120 205 23)")
    bars+=("$(region_hash 15 150 205 10)")
    # The first picture with the bar on its way, for the record.
    if [ ! -f "$SHOTS/02-downloading.png" ] && [ "${bars[-1]}" != "$bar0" ]; then
      shot_main 02-downloading
    fi
    sleep 0.2
  done
  local n_status n_bar
  n_status=$(printf '%s\n' "${hashes[@]}" | grep -vc "^$status0$")
  n_bar=$(printf '%s\n' "${bars[@]}" | grep -v "^$bar0$" | sort -u | wc -l)
  if [ -z "$ok" ]; then
    fail "window download: no \"Ok\" box within 2 minutes"
  else
    sleep 0.3
    shot "$ok" 03-ok-box
    text=$(box_text "$dir")
    answer '^Ok$' Return
    if ! grep -q 'Application successfully downloaded !' <<<"$text"; then
      fail "window download: the Ok box says \"$text\""
    elif [ "$n_status" -lt 1 ] || [ "$n_bar" -lt 1 ]; then
      fail "window download: status lines changed in $n_status pictures, the bar showed $n_bar fillings"
    else
      pass "window download: Download clicked, status lines and bar moved ($n_bar bar fillings seen), \"Ok\" box answered"
    fi
  fi
  if about_from_system_menu 04-about-box; then
    pass "window: \"&About main...\" of the system menu opens the About box, Enter closes it"
  else
    fail "window: no About box from the system menu"
  fi
  if close_with_escape; then
    pass "window: Escape closes the idle window and the program ends"
  else
    fail "window: Escape did not end the program"
    kill "$loader_pid" 2>/dev/null
  fi
  stop_line "$sim"
  if msg=$(check_flash "$dir" 2>&1); then
    pass "window download: the device's flash holds the application image, signature last"
  else
    fail "window download: $msg"
  fi

  # 2. Close while programming: the "Warning" question, Yes, the failure box.
  dir=$OUT/window-close
  download_until "$dir" 'request 37 ' --write-ms 20 || return
  click_du 245 7 50 14
  local warn err
  if warn=$(wait_window '^Warning$' 40); then
    sleep 0.3
    shot "$warn" 05-warning-box
    text=$(box_text "$dir")
    answer '^Warning$' y
    if err=$(wait_window '^Error\.\.\.$' 60); then
      sleep 0.3
      shot "$err" 06-programming-failed
      local err_text
      err_text=$(box_text "$dir")
      answer '^Error\.\.\.$' Return
      if grep -q 'Do you want to interrupt programming ?' <<<"$text" &&
        grep -q 'Programming application failed !' <<<"$err_text"; then
        pass "window: Close while programming asks \"Warning\", Yes gives \"Programming application failed !\""
      else
        fail "window close: boxes said \"$text\" and \"$err_text\""
      fi
    else
      fail "window close: no \"Error...\" box after Yes"
    fi
  else
    fail "window close: Close during the download showed no \"Warning\" box"
  fi
  close_with_escape || { fail "window close: the program did not end"; kill "$loader_pid" 2>/dev/null; }
  stop_line "$sim"
  if grep -Eq '"signature_last" *: *true' "$dir/report.json" 2>/dev/null; then
    fail "window close: the interrupted download still wrote the signature"
  fi

  # 3. A device that takes the erase request and then stays quiet for a
  #    minute while the window waits for its reply: the window handles its
  #    messages (the About box opens, the window repaints) and Close asks the
  #    question.
  dir=$OUT/window-silent
  download_until "$dir" 'request .*(erase_appl)' --erase-ms 60000 || return
  sleep 1
  # The part of the window the About box covers, left of the Close button
  # (whose look follows the activation).
  local before after
  before=$(region_hash 0 40 240 133)
  shot "$MAIN" 07-waiting-for-a-silent-device
  if about_from_system_menu 08-about-while-waiting; then
    sleep 0.5
    after=$(region_hash 0 40 240 133)
    if [ "$before" = "$after" ]; then
      pass "window, device quiet while the window waits for its reply: the About box opens and the window repaints"
    else
      fail "window silent device: the window looks different after the About box closed"
    fi
  else
    fail "window silent device: no About box while waiting for the reply"
  fi
  click_du 245 7 50 14
  if warn=$(wait_window '^Warning$' 40); then
    shot "$warn" 09-warning-while-waiting
    if answer '^Warning$' n && xdotool search --onlyvisible --name "$MAIN_CAPTION" >/dev/null; then
      pass "window, device quiet while the window waits for its reply: Close asks \"Warning\"; No leaves the window open"
    else
      fail "window silent device: the window went after No"
    fi
  else
    fail "window silent device: Close showed no \"Warning\" box while waiting"
  fi
  kill "$loader_pid" 2>/dev/null
  wait "$loader_pid" 2>/dev/null
  stop_line "$sim"
}
