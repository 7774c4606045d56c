# shellcheck shell=bash disable=SC2154  # work, shots, velmora: set by the driver
# Helpers for the end-to-end driver: a private X server with a notification
# area, the program under test, its state report, and a user's mouse and
# keyboard. Sourced by run-e2e.sh; every wait is a poll with a time limit.
# The driver runs with pipefail: no pipe here may stop reading early (grep -q,
# head, awk's exit), or its writer dies of SIGPIPE and the pipe "fails".

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_LAYOUT=$E2E_HERE/../../src/app/layout.cpp
E2E_LAYOUT_H=$E2E_HERE/../../src/app/layout.h

SKIP=77
xvfb_pid=""
trayer_pid=""
wm_pid=""
app_pid=""
shot_number=0
E2E_MOCKS=$E2E_HERE/../support/dbus/desktop_mocks.py
system_bus_pid=""
mocks_pid=""
mocks_in=""
at_spi_pid=""
# Set only once buses_are_ours has said so: the program may then end the
# (mock) session.
logoff_allowed=

log() { printf '[e2e %s] %s\n' "$(date +%T)" "$*"; }

fail() {
  log "FAIL: $*"
  [ -n "${DISPLAY:-}" ] && shot "failure" || true
  if [ -n "${app_log:-}" ] && [ -s "$app_log" ]; then
    log "program output:"
    sed 's/^/    /' "$app_log" | tail -20
  fi
  if [ -n "${state_file:-}" ] && [ -f "$state_file" ]; then
    log "last state report:"
    grep -E '^(Labelface|Labelmul|Labeltime|Textopen|Textsave|Cmdstart|Cmdstop|real)\b' "$state_file" | sed 's/^/    /'
  fi
  exit 1
}

# Every limit below is stretched by this factor: a wait ends as soon as what
# it waits for happens, so only a failure takes longer, and a busy machine may
# take several times the usual time.
patience=${E2E_PATIENCE:-3}

# poll SECONDS COMMAND...: runs COMMAND every 0.2 s until it succeeds; false
# when SECONDS times the patience are up.
poll() {
  local limit=$(($1 * patience))
  shift
  local deadline=$((SECONDS + limit))
  while true; do
    "$@" && return 0
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

shot() {
  shot_number=$((shot_number + 1))
  local file
  file=$(printf '%s/%02d-%s.png' "$shots" "$shot_number" "$1")
  import -window root "$file" 2>/dev/null || log "warning: no screenshot $file"
}

# --- the X server and the notification area --------------------------------

# start_x [WIDTHxHEIGHT] [bare]: the screen's size (1280x1024 unless given);
# "bare" starts neither the window manager nor the notification area.
start_x() {
  local size=${1:-1280x1024} mode=${2:-}
  if ! command -v Xvfb >/dev/null; then
    echo "SKIP: e2e needs Xvfb (scripts/install-deps installs it); no X server can be started"
    exit $SKIP
  fi
  local tool
  for tool in openbox trayer xdotool xwininfo xprop import ffmpeg ffprobe; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps"
  done
  # The server picks a free display number itself and writes it to fd 3;
  # an earlier server's number must not be read as this one's.
  rm -f "$work/display"
  Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "${size}x24" \
    3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  xvfb_settled() { [ -s "$work/display" ] || ended "$xvfb_pid"; }
  poll 15 xvfb_settled || true
  if [ ! -s "$work/display" ] || ended "$xvfb_pid"; then
    echo "SKIP: no X server could be started (Xvfb said: $(tail -1 "$work/xvfb.log"))"
    exit $SKIP
  fi
  export DISPLAY=":$(head -1 "$work/display")"
  poll 10 xwininfo -root >/dev/null 2>&1 || {
    echo "SKIP: Xvfb on $DISPLAY does not answer"
    exit $SKIP
  }
  log "X server on $DISPLAY, $size${mode:+, $mode}"
  [ "$mode" = bare ] && return 0
  # A window manager: title bars, minimising, placement, as a user has them.
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  wm_pid=$!
  wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
  poll 10 wm_ready || fail "openbox did not start"
  trayer --edge top --align right --widthtype request --height 24 \
    --transparent false >"$work/trayer.log" 2>&1 &
  trayer_pid=$!
  poll 10 tray_panel >/dev/null || fail "trayer did not show its panel"
}

# The notification area's window.
tray_panel() {
  xwininfo -root -tree 2>/dev/null | awk '!found && /\("panel" "trayer"\)/ { print $1; found = 1 } END { exit !found }'
}

# "id width height x y" of the program's icon embedded in the notification area.
tray_icon() {
  local panel
  panel=$(tray_panel) || return 1
  xwininfo -id "$panel" -tree 2>/dev/null | awk '
    !found && /\("velmora" "velmora"\)/ {
      split($(NF-1), g, /[x+]/); split($NF, a, /\+/)
      if (g[1] >= 8 && g[2] >= 8) { print $1, g[1], g[2], a[2], a[3]; found = 1 }
    }
    END { exit !found }'
}

click_tray_icon() { # button
  local id w h x y
  read -r id w h x y < <(tray_icon) || fail "no tray icon to click"
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) click "$1"
}

stop_all() {
  local pid
  for pid in "$app_pid" "$trayer_pid" "$wm_pid" "$xvfb_pid" "${at_spi_pid:-}"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || continue
    poll 5 ended "$pid" || kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true
  done
  app_pid="" trayer_pid="" wm_pid="" xvfb_pid="" at_spi_pid=""
  return 0
}

# Ended, though perhaps not yet collected by wait: gone or a zombie.
ended() { [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null || echo Z)" = Z ]; }

# --- private buses and a mock desktop ----------------------------------------

# The system bus of the run, beside the session bus dbus-run-session gave it:
# the machine's own buses are never reached.
start_system_bus() {
  "$E2E_MOCKS" config system "$E2E_BUS_DIR" >"$E2E_BUS_DIR/system.conf" || fail "no bus configuration"
  dbus-daemon --config-file="$E2E_BUS_DIR/system.conf" --nofork --print-address=1 \
    >"$E2E_BUS_DIR/system.address" 2>"$work/system-bus.log" &
  system_bus_pid=$!
  poll 10 test -s "$E2E_BUS_DIR/system.address" || fail "the private system bus did not start"
  DBUS_SYSTEM_BUS_ADDRESS=$(head -1 "$E2E_BUS_DIR/system.address")
  export DBUS_SYSTEM_BUS_ADDRESS
}

# Whether both buses are the ones this run started: their sockets in the
# run's own folder, their daemons alive. Nothing that may end a session runs
# otherwise.
buses_are_ours() {
  [[ "${DBUS_SESSION_BUS_ADDRESS:-}" == "unix:path=$E2E_BUS_DIR/session,"* ]] &&
    [[ "${DBUS_SYSTEM_BUS_ADDRESS:-}" == "unix:path=$E2E_BUS_DIR/system,"* ]] &&
    [ -S "$E2E_BUS_DIR/session" ] && [ -S "$E2E_BUS_DIR/system" ] &&
    [ -n "$system_bus_pid" ] && ! ended "$system_bus_pid"
}

# start_desktop DESKTOP: logind and DESKTOP's services (desktop_mocks.py), in
# place of the earlier ones; each mock logs its calls to $E2E_BUS_DIR.
start_desktop() {
  stop_desktop
  rm -f "$E2E_BUS_DIR"/*.log # the calls an earlier desktop took
  buses_are_ours || fail "the buses are not this run's own: no mocks on them"
  exec {mocks_in}> >(exec "$E2E_MOCKS" serve "$1" "$E2E_BUS_DIR" >"$work/mocks.out" 2>&1)
  mocks_pid=$!
  mocks_ready() { grep -q '^ready' "$work/mocks.out" 2>/dev/null; }
  poll 20 mocks_ready || fail "the mock desktop $1 did not start: $(cat "$work/mocks.out")"
  log "mock desktop: $1"
}

stop_desktop() {
  [ -n "$mocks_pid" ] || return 0
  exec {mocks_in}>&- # the mocks end when their input closes
  poll 10 ended "$mocks_pid" || kill "$mocks_pid" 2>/dev/null || true
  mocks_pid=""
}

# The calls a mock took ("Method args"), and what is held now.
mock_calls() { sed 's/^[0-9.]* //' "$E2E_BUS_DIR/$1.log" 2>/dev/null || true; }
held_now() { "$E2E_MOCKS" held; }

# --- the program ------------------------------------------------------------

main_window() { xdotool search --name '^Velmorav1\.0$' 2>/dev/null | awk 'NR == 1'; }

window_mapped() { # window-id
  [[ "$(xwininfo -id "$1" 2>/dev/null)" == *"Map State: IsViewable"* ]]
}

main_window_shown() { local w; w=$(main_window) && [ -n "$w" ] && window_mapped "$w"; }
main_window_hidden() { local w; w=$(main_window) && [ -n "$w" ] && ! window_mapped "$w"; }

start_app() { # name [VARIABLE=value...]
  state_file=$work/$1.state
  app_log=$shots/$1.log
  shift
  local guard=(VELMORA_NO_LOGOFF=1)
  [ "$logoff_allowed" != yes ] || guard=(-u VELMORA_NO_LOGOFF)
  env "${guard[@]}" VELMORA_STATE_FILE="$state_file" QT_QPA_PLATFORM=xcb "$@" \
    "$velmora" >"$app_log" 2>&1 &
  app_pid=$!
  # The state report is installed before the window is shown, so a shown
  # window may be asked for its state.
  poll 20 main_window_shown || fail "the window did not appear"
  [ -z "$trayer_pid" ] || poll 10 tray_icon >/dev/null || fail "the tray icon did not appear"
  # The window's own area, without the window manager's frame.
  read -r win_x win_y WIDTH HEIGHT < <(window_rect "$(main_window)")
  # The client area sits under the menu bar: the window's height minus the
  # client's designed height is the menu bar.
  local client_height
  client_height=$(to_pixels "$(sed -n 's/.*kClientHeight = \([0-9]*\);.*/\1/p' "$E2E_LAYOUT_H")")
  menu_height=$((HEIGHT - client_height))
  log "window at $win_x,$win_y ${WIDTH}x$HEIGHT, menu bar $menu_height px"
}

# "x y width height" of a window's own area on the screen.
window_rect() {
  xwininfo -id "$1" | awk '/Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
    /Width:/ { w = $NF } /Height:/ { h = $NF } END { print x, y, w, h }'
}

# "left right top bottom" of the frame the window manager put around it.
frame_extents() {
  xprop -id "$1" _NET_FRAME_EXTENTS | awk -F' = ' '{ gsub(/,/, "", $2); print $2 }'
}

# "x y width height" of the screen's area for windows: the window manager's
# work area, else the whole screen.
work_area() {
  local area
  area=$(xprop -root _NET_WORKAREA 2>/dev/null | awk -F' = ' 'NF == 2 { split($2, a, /, */); print a[1], a[2], a[3], a[4] }')
  [ -n "$area" ] && echo "$area" && return
  xwininfo -root | awk '/Width:/ { w = $NF } /Height:/ { h = $NF } END { print 0, 0, w, h }'
}

# The window's frame (its own area and the window manager's frame around it)
# lies within the work area.
frame_on_screen() { # window-id
  local x y w h left=0 right=0 top=0 bottom=0 ax ay aw ah
  read -r x y w h < <(window_rect "$1")
  [ -z "$(frame_extents "$1")" ] || read -r left right top bottom < <(frame_extents "$1")
  read -r ax ay aw ah < <(work_area)
  log "frame at $((x - left)),$((y - top)) $((w + left + right))x$((h + top + bottom)), work area $ax,$ay ${aw}x$ah"
  [ $((x - left)) -ge "$ax" ] && [ $((y - top)) -ge "$ay" ] &&
    [ $((x + w + right)) -le $((ax + aw)) ] && [ $((y + h + bottom)) -le $((ay + ah)) ]
}

# Whether the window manager has the window minimised.
window_iconic() { [[ "$(xprop -id "$1" WM_STATE 2>/dev/null)" == *"window state: Iconic"* ]]; }

app_running() { ! ended "$app_pid"; }

# Asks the running program for its state; the report is renamed into place,
# so once the file exists it is complete.
report() {
  app_running || fail "the program is gone"
  rm -f "$state_file"
  kill -USR1 "$app_pid"
  poll 5 test -f "$state_file" || fail "no state report"
}

# value NAME: the control's text (or 1/0) from the last report.
value() { awk -F'\t' -v n="$1" '$1 == n { print $2; exit }' "$state_file"; }
# flags NAME: "EV", enabled and visible, from the last report.
flags() { awk -F'\t' -v n="$1" '$1 == n { print $3; exit }' "$state_file"; }

value_matches() { # name regex
  report
  [[ "$(value "$1")" =~ $2 ]]
}

wait_value() { # seconds name regex
  poll "$1" value_matches "$2" "$3" ||
    fail "$2 is \"$(value "$2")\", expected /$3/ within $(($1 * patience)) s"
}

expect_value() { # name regex
  report
  [[ "$(value "$1")" =~ $2 ]] || fail "$1 is \"$(value "$1")\", expected /$2/"
}

expect_flags() { # name EV
  [ "$(flags "$1")" = "$2" ] || fail "$1 has flags $(flags "$1"), expected $2 (enabled, visible)"
}

# --- where the controls are -------------------------------------------------

to_pixels() { echo $((($1 + 7) / 15)); }

# control_rect NAME: "x y width height" on the screen, from the layout table
# the window is built from (frames add their own place).
control_rect() {
  local line container left top width height
  line=$(grep -E "^\s*\{\"$1\", [A-Za-z]+, " "$E2E_LAYOUT") || fail "no control $1 in the layout"
  read -r container left top width height < <(sed -E \
    's/.*\{"[^"]+", [A-Za-z]+, (nullptr|"([^"]+)"), u"[^"]*", ([0-9]+), ([0-9]+), ([0-9]+), ([0-9]+).*/\2 \3 \4 \5 \6/' <<<"$line")
  if [[ "$container" =~ ^[0-9]+$ ]]; then # no container: the fields moved left
    height=$width width=$top top=$left left=$container container=""
  fi
  local x y
  x=$(to_pixels "$left") y=$(to_pixels "$top")
  if [ -n "$container" ]; then
    local fx fy rest
    read -r fx fy rest < <(control_rect "$container")
    x=$((fx + x)) y=$((fy + y))
  else
    x=$((win_x + x)) y=$((win_y + menu_height + y))
  fi
  echo "$x $y $(to_pixels "$width") $(to_pixels "$height")"
}

click_control() { # name [dx-from-right]
  local x y w h
  read -r x y w h < <(control_rect "$1")
  if [ -n "${2:-}" ]; then x=$((x + w - $2)); else x=$((x + w / 2)); fi
  xdotool mousemove "$x" $((y + h / 2)) click 1
}

# Chooses the list entry at INDEX of a combo box by opening its list with the
# arrow and walking it with the keyboard.
choose_in_combo() { # name index
  click_control "$1" 8
  poll 5 popup_window >/dev/null || fail "the list of $1 did not open"
  local keys=(Home) i
  for ((i = 0; i < $2; i++)); do keys+=(Down); done
  xdotool key "${keys[@]}" Return
}

dialog_window() { # title
  local w
  w=$(xdotool search --name "^$1\$" 2>/dev/null | awk 'NR == 1') && [ -n "$w" ] && window_mapped "$w" && echo "$w"
}
dialog_closed() { ! dialog_window "$1" >/dev/null; }
has_focus() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }

# Picks a file through the program's own file dialog by typing its full path
# into the dialog's name field.
pick_file() { # button dialog-title path step
  click_control "$1"
  poll 10 dialog_window "$2" >/dev/null || fail "dialog \"$2\" did not open"
  # Keys go to the focused window: wait until that is the dialog.
  poll 5 has_focus "$(dialog_window "$2")" || fail "dialog \"$2\" did not take the focus"
  shot "$4"
  xdotool type --delay 8 "$3"
  xdotool key Return
  poll 10 dialog_closed "$2" || fail "dialog \"$2\" did not close"
}

# Presses Tab until the control named NAME has the focus, at most MAX times.
tab_to() { # name max
  local tabs=0
  until report && [ "$(value focus)" = "$1" ]; do
    [ $((tabs += 1)) -le "$2" ] || fail "Tab never reached $1 (focus on $(value focus))"
    xdotool key Tab
  done
}

set_box() { # name 0|1
  report
  if [ "$(value "$1")" != "$2" ]; then
    click_control "$1"
    poll 5 value_matches "$1" "^$2\$" || fail "$1 did not become $2"
  fi
}

# The topmost mapped popup of ours (a menu or a list), as "id w h x y".
popup_window() {
  xwininfo -root -children 2>/dev/null | awk '/\("velmora" "velmora"\)/ && !/Velmorav1\.0/ { print $1 }' |
    while read -r id; do
      window_mapped "$id" || continue
      xwininfo -id "$id" | awk -v id="$id" '
        /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
        /Width:/ { w = $NF } /Height:/ { h = $NF }
        END { if (w > 20 && h > 40) print id, w, h, x, y }'
    done | awk 'NR == 1 { print; found = 1 } END { exit !found }'
}

# --- media ------------------------------------------------------------------

# make_clip FILE SECONDS: test pattern with moving noise and a tone. A short
# piece is made once and repeated without re-encoding, so a long clip costs
# no more to make than a short one.
make_clip() {
  local piece=$work/piece.mp4
  if [ ! -f "$piece" ]; then
    ffmpeg -hide_banner -loglevel error -y \
      -f lavfi -i "testsrc2=size=320x240:rate=25:duration=10" \
      -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=10" \
      -vf "noise=alls=12:allf=t" -c:v mpeg4 -b:v 300k -g 50 -c:a aac -b:a 64k \
      -shortest "$piece" || fail "ffmpeg could not make a clip"
  fi
  ffmpeg -hide_banner -loglevel error -y -stream_loop $(($2 / 10 - 1)) -i "$piece" \
    -c copy "$1" || fail "ffmpeg could not make $1"
}

probe() { # file entries
  ffprobe -v error -of default=nw=1 -show_entries "$2" "$1"
}

duration_of() { probe "$1" format=duration | sed -n 's/^duration=//p'; }

# Decodes every frame of the file: the decoders must not complain, each
# stream in STREAMS (e.g. "audio video") must give frames, and the decoded
# frames' times must only go forward (ffmpeg's null output checks that).
decodes_cleanly() { # file streams
  local errors frames kind
  frames=$(ffprobe -v error -show_entries frame=media_type -of csv=p=0 "$1" 2>"$work/decode.err" |
    grep -oE '^(audio|video)' | sort | uniq -c)
  ffmpeg -nostdin -hide_banner -v error -i "$1" -f null - 2>>"$work/decode.err" ||
    echo "ffmpeg ended with $?" >>"$work/decode.err"
  errors=$(cat "$work/decode.err")
  [ -z "$errors" ] || fail "decoding $1 complained: $(head -3 <<<"$errors")"
  for kind in $2; do
    grep -q " $kind\$" <<<"$frames" || fail "no $kind frames decode from $1"
  done
  log "decoded: $(paste -sd, <<<"$frames" | tr -s ' ')"
}

# compare A OP B on decimals, e.g. compare 1.2 '<' 3
compare() { awk -v a="$1" -v b="$3" -v op="$2" 'BEGIN {
  r = op == "<" ? a < b : op == ">" ? a > b : op == "<=" ? a <= b : a >= b; exit !r }'; }
