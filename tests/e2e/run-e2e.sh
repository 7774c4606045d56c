#!/usr/bin/env bash
# The real program end to end: a private X server with a notification area,
# the velmora binary, and a user played with xdotool.
#
#   run-e2e.sh VELMORA [SHOTS_DIR] [SCENARIO...]
#
# Scenarios: complete (a whole job through the dialogs, lists and boxes),
# stop (a job stopped mid-way leaves a valid shorter file), tray (hide, show
# from the tray icon, leave through the tray menu), countdown (ticking
# 压缩完关机 after a finished job counts down, 取消 keeps the logon),
# norestart (every start entry point leaves a running job alone), hidden (a
# job that ends while the window is hidden says so at the icon),
# minimised (the tray brings back a window minimised from its title bar),
# scale (at scales 1.5 to 3, with and without a window manager, the window
# opens fully on the screen), desktop (a job holds the machine awake, and
# 压缩完关机 logs off through GNOME's and KDE's session managers, else ends
# the session through logind), accessible (the window as a screen reader
# sees it, and Tab to 详情…), drop (a file dropped on 视频格式 is the
# source). All run by default.
# Screenshots and the program's output go to SHOTS_DIR. Exits 77 when no X
# server can be started, so CTest reports the test as skipped.
#
# The whole run is on D-Bus buses of its own: a session bus from
# dbus-run-session and a system bus beside it, both in a folder it made, with
# mock desktops (python3-dbusmock) on them. Only on those does the program
# get to end a session.
set -euo pipefail

if [ -z "${E2E_BUS_DIR:-}" ]; then
  command -v dbus-run-session >/dev/null || {
    echo "SKIP: e2e needs dbus-run-session (scripts/install-deps installs dbus)"
    exit 77
  }
  E2E_BUS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e-bus.XXXXXX")
  export E2E_BUS_DIR
  "$(dirname "$0")/../support/dbus/desktop_mocks.py" config session "$E2E_BUS_DIR" \
    >"$E2E_BUS_DIR/session.conf"
  status=0
  dbus-run-session --config-file="$E2E_BUS_DIR/session.conf" -- "$0" "$@" || status=$?
  rm -rf "$E2E_BUS_DIR"
  exit "$status"
fi

velmora=$(realpath "${1:?usage: run-e2e.sh VELMORA [SHOTS_DIR] [SCENARIO...]}")
shots=$(realpath -m "${2:-e2e-shots}")
shift $(($# >= 2 ? 2 : 1))
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] ||
  scenarios=(complete stop term tray countdown norestart hidden minimised scale desktop accessible drop)

# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

mkdir -p "$shots"
rm -f "$shots"/*.png "$shots"/*.log
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX")
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY
trap 'stop_all; stop_desktop; [ -z "$system_bus_pid" ] || kill "$system_bus_pid"; rm -rf "$work"' EXIT

# --- a whole job, as a new user does it ---------------------------------------
scenario_complete() {
  local source=$work/source.mp4 dest=$work/out/sample.rm
  mkdir -p "$work/out"
  make_clip "$source" 240
  start_app complete
  shot "complete-start"
  expect_value Labelface '^请选择文件$'
  expect_value Check8 '^1$' # the 256K audience is ticked at start-up

  pick_file Cmdopen "请选择制作的文件" "$source" "complete-open-dialog"
  expect_value Textopen "^$source\$"
  pick_file Cmdsave "保存路径" "$dest" "complete-save-dialog"
  expect_value Textsave "^$dest\$"

  # 56K and the LAN: a file each, the named one for the slower; the idle
  # pane names the slowest ticked audience.
  set_box Check8 0
  set_box Check2 1
  set_box Check5 1
  expect_value encoderBudget '56K'
  choose_in_combo Combo1 2
  wait_value 5 Combo1 '^音乐$'
  choose_in_combo Combo2 0
  wait_value 5 Combo2 '^标准动作视频$'
  shot "complete-settings"

  click_control Cmdstart
  wait_value 20 Labelmul '^以压缩[0-9]+%$'
  [[ "$(value Labelface)" =~ ^压缩开始 ]] || fail "Labelface is \"$(value Labelface)\" while encoding"
  expect_flags Cmdstart 01
  shot "complete-progress"
  # The clock ticks once a second while the job runs.
  clock_moved() { report && [ "$(value Labeltime)" != 00:00:00 ]; }
  poll 10 clock_moved || fail "the clock stayed at $(value Labeltime) for $((10 * patience)) s"
  log "clock at $(value Labeltime), $(value Labelmul), ${dest##*/} being written"
  [[ "$(value Labelface)" =~ ^(压缩开始\.*|压缩完成)$ ]] || fail "Labelface is \"$(value Labelface)\""

  wait_value 180 Labelface '^压缩完成$'
  expect_value Labelmul '^卡哇伊！$'
  expect_flags Cmdstart 11
  expect_flags Cmdstop 01
  [ "$(value Labeltime)" != 00:00:00 ] || fail "the clock was reset on completion"
  shot "complete-done"
  log "done after $(value Labeltime) on the clock"

  expect_value encoderSummaryFile '^共 2 个文件'
  # The jobs' scratch files have been renamed into place.
  local beside=$work/out/sample-lan.rm
  [ "$(ls -A "$work/out" | sort | paste -sd' ')" = "sample-lan.rm sample.rm" ] ||
    fail "in the folder: $(ls -A "$work/out")"
  local file codecs want got
  for file in "$dest" "$beside"; do
    [ -s "$file" ] || fail "no file at $file"
    [ "$(probe "$file" format=format_name)" = "format_name=rm" ] || fail "$file is not RealMedia"
    codecs=$(probe "$file" stream=codec_type,codec_name | paste -sd' ')
    log "${file##*/} streams: $codecs"
    [[ "$codecs" =~ codec_name=rv20\ codec_type=video ]] || fail "no RealVideo 2 stream: $codecs"
    [[ "$codecs" =~ codec_name=(ra_144|ac3)\ codec_type=audio ]] || fail "no 14.4 or AC-3 audio: $codecs"
    want=$(duration_of "$source") got=$(duration_of "$file")
    log "duration $got s for a $want s source"
    compare "$(awk -v a="$got" -v b="$want" 'BEGIN { d = a - b; print d < 0 ? -d : d }')" '<=' 0.5 ||
      fail "duration $got s, source $want s"
    decodes_cleanly "$file" "audio video"
  done
  stop_app
}

# --- stopped mid-way ----------------------------------------------------------
scenario_stop() {
  local source=$work/long.mp4 dest=$work/part.rm
  # Long enough that a stop after the first percent lands mid-way.
  make_clip "$source" 600
  start_app stop
  pick_file Cmdopen "请选择制作的文件" "$source" "stop-open-dialog"
  pick_file Cmdsave "保存路径" "$dest" "stop-save-dialog"
  click_control Cmdstart
  wait_value 20 Labelmul '^以压缩[0-9]+%$'
  shot "stop-encoding"
  click_control Cmdstop
  wait_value 10 Labelface '^用户停止$'
  expect_value Labelmul '^共压缩一个文件$'
  expect_flags Cmdstart 11
  expect_flags Cmdstop 01
  shot "stop-stopped"
  # Once stopped the clock stands still, and nothing the encoder had queued
  # before the stop may change the status afterwards.
  local stopped_at
  stopped_at=$(value Labeltime)
  sleep 1.5
  expect_value Labeltime "^$stopped_at\$"
  expect_value Labelface '^用户停止$'
  expect_value Labelmul '^共压缩一个文件$'

  poll 20 test -s "$dest" || fail "the stopped job left no file at $dest"
  [ "$(probe "$dest" format=format_name)" = "format_name=rm" ] || fail "$dest is not RealMedia"
  [[ "$(probe "$dest" stream=codec_name)" == *codec_name=rv20* ]] || fail "no video in the partial file"
  local want got
  want=$(duration_of "$source") got=$(duration_of "$dest")
  log "stopped at $stopped_at: partial file of $got s from a $want s source"
  compare "$got" '>' 0 || fail "the partial file is empty ($got s)"
  compare "$got" '<' "$(awk -v w="$want" 'BEGIN { print w - 1 }')" || fail "the stop did not land mid-way ($got of $want s)"
  decodes_cleanly "$dest" "audio video"
  stop_app
}

# --- the session ends during a job: the file is kept, shorter and whole ---------
scenario_term() {
  local sig got status
  for sig in TERM HUP; do
    start_app "term-$sig"
    run_short_job "ended-$sig" 600 # sets $dest
    wait_value 20 Labelmul '^以压缩[0-9]+%$'
    kill -"$sig" "$app_pid"
    poll 10 ended "$app_pid" || fail "SIG$sig did not end the program"
    status=0
    wait "$app_pid" || status=$?
    app_pid=""
    [ "$status" -eq 0 ] || fail "after SIG$sig the program ended with status $status"
    test -s "$dest" || fail "SIG$sig left no file at $dest"
    ! compgen -G "$work/.ended-$sig.rm.velmora-*" >/dev/null || fail "SIG$sig left the temporary file"
    got=$(duration_of "$dest")
    log "SIG$sig during the job: a file of $got s"
    compare "$got" '>' 0 || fail "the file kept after SIG$sig is empty"
    decodes_cleanly "$dest" "audio video"
  done
}

# --- hidden to the tray and out through the tray menu ---------------------------
scenario_tray() {
  start_app tray
  shot "tray-start"
  # Focus the window with a click on its encoder pane, then hide it.
  click_control ProducerControl1
  xdotool key ctrl+h
  poll 5 main_window_hidden || fail "Ctrl+H did not hide the window"
  report
  expect_flags real 10
  tray_icon >/dev/null || fail "the tray icon went away with the window"
  shot "tray-hidden"

  click_tray_icon 1
  poll 5 main_window_shown || fail "a left click on the tray icon did not show the window"
  shot "tray-shown"

  click_tray_icon 3
  tray_menu_open() { report && [ "$(flags tuopan)" = 11 ]; }
  poll 5 tray_menu_open || fail "a right click on the tray icon did not open the tray menu"
  # Its last entry is "退出 ".
  [ "$(value end)" = "退出 " ] || fail "the tray menu's last entry is \"$(value end)\""
  local id w h x y
  read -r id w h x y < <(popup_window) || fail "the tray menu has no window"
  xdotool mousemove $((x + w / 2)) $((y + h - 12))
  sleep 0.3
  shot "tray-menu"
  xdotool click 1

  local status=0
  poll 10 ended "$app_pid" || fail "the program did not end after 退出"
  wait "$app_pid" || status=$?
  app_pid=""
  [ "$status" -eq 0 ] || fail "the program ended with status $status"
  poll 5 bash -c '! tray_icon' || fail "the tray icon is still there"
  left=$(leftover_processes)
  [ -z "$left" ] || fail "velmora processes left: $left"
  shot "tray-gone"
}

# --- a short job picked and run, ready for what comes after -------------------
run_short_job() { # name [seconds]
  local source=$work/short-${2:-20}.mp4
  dest=$work/$1.rm
  [ -f "$source" ] || make_clip "$source" "${2:-20}"
  click_control Textopen
  xdotool key ctrl+a # an earlier job's name goes
  xdotool type --delay 8 "$source"
  click_control Textsave
  xdotool key ctrl+a
  xdotool type --delay 8 "$dest"
  expect_value Textsave "^$dest\$"
  click_control Cmdstart
  wait_value 20 Labelface '^压缩开始'
}

countdown_window() { dialog_window "注销"; }
question_window() { dialog_window "何时注销"; }

# Ticks 压缩完关机, the last entry of the 选项 menu, by the keyboard.
tick_switch() {
  xdotool key --window "$(main_window)" alt+o
  poll 5 popup_window >/dev/null || fail "the 选项 menu did not open"
  xdotool key Up Return
}

# Opens the question by ticking the switch after the job and answers it with
# KEYS; the switch is then 0 or 1 (SWITCH) and no countdown shows.
answer_question() { # switch keys...
  local switch=$1
  shift
  tick_switch
  poll 5 question_window >/dev/null || fail "ticking 压缩完关机 after the job asked nothing"
  poll 5 has_focus "$(question_window)" || fail "the question did not take the focus"
  xdotool key "$@"
  question_gone() { ! question_window >/dev/null; }
  poll 5 question_gone || fail "$* did not answer the question"
  wait_value 5 a33 "^$switch\$"
  sleep 1.2
  ! countdown_window >/dev/null || fail "$* started the countdown"
  [ "$switch" = 0 ] || { tick_switch && wait_value 5 a33 '^0$'; } # cleared: no question
}

# Whether two rectangles "x y w h" overlap.
overlap() { # x1 y1 w1 h1 x2 y2 w2 h2
  [ "$1" -lt $(($5 + $7)) ] && [ "$5" -lt $(($1 + $3)) ] && [ "$2" -lt $(($6 + $8)) ] && [ "$6" -lt $(($2 + $4)) ]
}

# --- 压缩完关机 ticked after the job: a question, never the logon at once ------
scenario_countdown() {
  start_app countdown
  run_short_job countdown
  wait_value 120 Labelface '^压缩完成$'
  # The pane keeps what was made until the settings change.
  expect_value encoderSummaryFile "^countdown\.rm\$"
  [[ "$(value encoderSummaryFigures)" =~ kbps ]] || fail "no figures in the summary: $(value encoderSummaryFigures)"
  expect_flags encoderSummaryFile 11
  shot "countdown-summary"

  # Return gives the default, 下一次压缩完成后注销; Escape is 取消.
  answer_question 1 Return
  answer_question 0 Escape

  tick_switch
  poll 5 question_window >/dev/null || fail "ticking 压缩完关机 after the job asked nothing"
  poll 5 has_focus "$(question_window)" || fail "the question did not take the focus"
  expect_value logoffNow '^现在注销（30 秒后）$'
  sleep 1.2 # it waits: no countdown
  ! countdown_window >/dev/null || fail "a countdown runs before the answer"
  app_running || fail "the program ended"
  shot "countdown-question"
  # Walk the focus to 现在注销 and press it.
  tab_to logoffNow 4
  xdotool key space
  poll 5 countdown_window >/dev/null || fail "现在注销 showed no countdown"
  expect_value Labelface '^压缩完成$'
  counting_down() { report && [[ "$(value countdownText)" =~ 将在\ 2[0-9]\ 秒后注销 ]]; }
  poll 5 counting_down || fail "the countdown reads \"$(value countdownText)\""
  shot "countdown-after-now"
  local id x y w h mx my mw mh left right top bottom
  id=$(countdown_window)
  read -r x y w h < <(window_rect "$id")
  log "countdown at $x,$y ${w}x$h"
  # Beside the window: it covers none of the window's controls.
  read -r mx my mw mh < <(window_rect "$(main_window)")
  read -r left right top bottom < <(frame_extents "$(main_window)")
  ! overlap "$x" "$y" "$w" "$h" $((mx - left)) $((my - top)) \
    $((mw + left + right)) $((mh + top + bottom)) || fail "the countdown covers the window"
  xdotool mousemove $((x + w / 2)) $((y + h - 16)) click 1 # 取消
  poll 5 bash -c "! xwininfo -id $id 2>/dev/null | grep -q IsViewable" || fail "取消 did not close the countdown"
  wait_value 5 a33 '^0$'
  expect_value Labelface '^压缩完成$'
  app_running || fail "the program ended after 取消"
  stop_app
}

# --- while a job runs, no start entry point restarts it -------------------------
scenario_norestart() {
  local source=$work/long.mp4 dest=$work/norestart.rm
  [ -f "$source" ] || make_clip "$source" 600
  start_app norestart
  pick_file Cmdopen "请选择制作的文件" "$source" "norestart-open-dialog"
  pick_file Cmdsave "保存路径" "$dest" "norestart-save-dialog"
  click_control Cmdstart
  clock_past_two() { report && [[ "$(value Labeltime)" > 00:00:02 ]]; }
  poll 20 clock_past_two || fail "the clock did not reach 00:00:03"
  wait_value 20 Labelmul '^以压缩[0-9]+%$'
  local before_time before_percent after_percent
  before_time=$(value Labeltime)
  before_percent=$(value Labelmul | tr -dc 0-9)

  # Ctrl+B, 控制 → 开始, then the tray menu's 开始.
  xdotool key --window "$(main_window)" ctrl+b
  xdotool key --window "$(main_window)" alt+c Return
  sleep 0.5
  click_tray_icon 3
  tray_menu_open() { report && [ "$(flags tuopan)" = 11 ]; }
  poll 5 tray_menu_open || fail "a right click on the tray icon did not open the tray menu"
  xdotool key Down Return # its first entry, 开始
  # A restart would set the clock back to 00:00:00 and the percentage to 0:
  # watched for three seconds, neither goes back, and then the clock has
  # moved on (a second's tick may come late on a busy machine).
  never_back() {
    report
    after_percent=$(value Labelmul | tr -dc 0-9)
    [[ "$(value Labeltime)" < "$before_time" ]] && fail "the clock went back to $(value Labeltime) from $before_time"
    [ "$after_percent" -ge "$before_percent" ] || fail "the percentage dropped from $before_percent to $after_percent"
  }
  local watch_until=$((SECONDS + 3))
  while [ "$SECONDS" -lt "$watch_until" ]; do
    never_back
    sleep 0.2
  done
  clock_moved_on() { never_back && [[ "$(value Labeltime)" > "$before_time" ]]; }
  poll 10 clock_moved_on || fail "the clock stood at $(value Labeltime) since $before_time"
  log "clock $before_time → $(value Labeltime), $before_percent% → $after_percent%"
  [[ "$(value Labelface)" =~ ^压缩开始 ]] || fail "Labelface is \"$(value Labelface)\""
  expect_flags Cmdstart 01
  expect_flags a21 11 # the entries stay available
  shot "norestart-running"
  click_control Cmdstop
  wait_value 10 Labelface '^用户停止$'
  stop_app
}

# --- a job that ends while the window is hidden says so at the icon ------------
scenario_hidden() {
  start_app hidden
  run_short_job hidden 600 # long enough to be hidden before it ends
  click_control ProducerControl1
  xdotool key ctrl+h
  poll 5 main_window_hidden || fail "Ctrl+H did not hide the window"
  wait_value 120 Labelface '^压缩完成$'
  # The message is a window of ours near the icon, neither the main window
  # nor a menu.
  message_window() {
    xwininfo -root -children 2>/dev/null | awk '/\("velmora" "velmora"\)/ && !/Velmorav1\.0/ { print $1 }' |
      while read -r id; do window_mapped "$id" && echo "$id"; done | awk 'NR == 1 { print; f = 1 } END { exit !f }'
  }
  poll 10 message_window >/dev/null || fail "no message at the tray icon when the hidden job ended"
  sleep 0.5
  shot "hidden-tray-message"
  # The message's pointer reaches over the icon's lower half: click above it.
  local id w h x y
  read -r id w h x y < <(tray_icon) || fail "no tray icon to click"
  xdotool mousemove $((x + w / 2)) $((y + 3)) click 1
  poll 5 main_window_shown || fail "a left click on the tray icon did not show the window"
  expect_value encoderSummaryFile '^hidden\.rm$'
  shot "hidden-summary"
  stop_app
}

# --- minimised from the title bar, brought back from the tray ------------------
scenario_minimised() {
  start_app minimised
  local w
  w=$(main_window)
  xdotool windowminimize "$w"
  poll 5 window_iconic "$w" || fail "the window manager did not minimise the window"
  shot "minimised"
  click_tray_icon 1
  restored() { ! window_iconic "$w" && window_mapped "$w"; }
  poll 5 restored || fail "a left click on the tray icon left the window minimised"
  active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$w" ]; }
  poll 5 active || fail "the restored window is not the active one"
  sleep 0.3
  shot "minimised-restored-by-tray"
  # And through the tray menu's 显示.
  xdotool windowminimize "$w"
  poll 5 window_iconic "$w" || fail "the window manager did not minimise the window again"
  click_tray_icon 3
  tray_menu_open() { report && [ "$(flags tuopan)" = 11 ]; }
  poll 5 tray_menu_open || fail "the tray menu did not open"
  xdotool key Down Down Down Return # 显示, its third entry
  poll 5 restored || fail "显示 left the window minimised"
  stop_app
}

# --- at any scale the screen can hold, the whole window is on the screen ------
scenario_scale() {
  local row size scale mode w
  for row in "1280x1024 1.5 bare" "1280x1024 2 bare" "2560x1600 3 bare" \
    "1280x1024 1.5 wm" "1280x1024 2 wm" "2560x1600 3 wm"; do
    read -r size scale mode <<<"$row"
    stop_all
    start_x "$size" "${mode/wm/}"
    start_app "scale-$scale-$mode" QT_SCALE_FACTOR="$scale"
    w=$(main_window)
    if [ "$mode" = wm ]; then
      frame_known() { [ -n "$(frame_extents "$w")" ]; }
      poll 5 frame_known || fail "the window has no frame"
    fi
    # The window places itself again once it knows its frame, as soon as
    # the window manager tells it.
    poll 5 frame_on_screen "$w" || fail "at scale $scale on $size ($mode) the window's frame leaves the screen"
    shot "scale-$scale-$size-$mode"
    stop_app
  done
  # The usual screen for whatever runs next.
  stop_all
  start_x
}

# --- the desktop session: awake during a job, a log-off as the desktop does ---
scenario_desktop() {
  local desktop service call says
  for desktop in gnome kde none; do
    case $desktop in
      gnome) service=org.gnome.SessionManager call='Logout 1' says='桌面会先请其他程序关闭' ;;
      kde) service=org.kde.Shutdown call='logout' says='桌面会先请其他程序关闭' ;;
      none) service=logind call='TerminateSession *' says='没有会话管理器回应：其他程序会被直接关闭' ;;
    esac
    start_desktop "$desktop"
    # The program may end a session only on these buses, and only on these
    # does this run let it.
    buses_are_ours || fail "the buses are not this run's own: the log-off guard stays"
    logoff_allowed=yes
    start_app "desktop-$desktop"
    logoff_allowed=""
    local held
    held_as() { # NAME VALUE: what is held, as the mocks list it, is VALUE
      held=$(held_now)
      [ "$held" = "$2" ]
    }
    # A long job, held awake until it is stopped: watched however fast the
    # machine compresses.
    run_short_job "desktop-$desktop" 600
    local reason="正在压缩 short-600.mp4" want
    want="logind sleep:idle Velmora $reason block"
    [ "$desktop" = none ] || want+=$'\n'"org.freedesktop.ScreenSaver $reason"
    [ "$desktop" != gnome ] || want+=$'\n'"org.gnome.SessionManager $reason"
    poll 20 held_as during "$want" || fail "during the job, held: ${held//$'\n'/; }"
    log "held during the job ($desktop): ${held//$'\n'/; }"
    shot "desktop-$desktop-job"
    click_control Cmdstop
    wait_value 10 Labelface '^用户停止$'
    poll 5 held_as after "" || fail "still held after the stop: ${held//$'\n'/; }"
    # A short one with 压缩完关机 ticked, let go of once it completes.
    tick_switch # no job finished on show: the switch waits for the job's end
    wait_value 5 a33 '^1$'
    run_short_job "desktop-$desktop" 20
    wait_value 120 Labelface '^压缩完成$'
    poll 5 held_as after "" || fail "still held after the job: ${held//$'\n'/; }"
    log "held after the job ($desktop): nothing"
    poll 5 countdown_window >/dev/null || fail "no countdown after the job with 压缩完关机 ticked"
    says_how() { report && [[ "$(value countdownText)" == *"$says"* ]]; }
    poll 5 says_how || fail "the countdown says \"$(value countdownText)\", not how the logon ends"
    shot "desktop-$desktop-countdown"
    logged_off() { # a call as the glob $call says
      local line
      while IFS= read -r line; do
        # shellcheck disable=SC2053
        [[ "$line" == $call ]] && return 0
      done < <(mock_calls "$service")
      return 1
    }
    poll 60 logged_off || fail "no log-off reached $service: $(mock_calls "$service" | paste -sd';')"
    local seen
    for seen in logind org.freedesktop.ScreenSaver org.gnome.SessionManager org.kde.ksmserver org.kde.Shutdown; do
      [ -f "$E2E_BUS_DIR/$seen.log" ] || continue
      log "calls seen by $seen: $(mock_calls "$seen" | grep -vxE 'Held|ListInhibitors' | paste -sd';')"
    done
    if [ "$desktop" != none ] && [[ "$(mock_calls logind)" == *TerminateSession* ]]; then
      fail "$desktop took the log-off, yet the session was ended"
    fi
    stop_app
  done
  start_desktop none
}

# --- the window as a screen reader sees it ------------------------------------
scenario_accessible() {
  local launcher=/usr/libexec/at-spi-bus-launcher
  [ -x "$launcher" ] || fail "$launcher is missing: run scripts/install-deps"
  "$launcher" --launch-immediately >"$work/at-spi.log" 2>&1 &
  at_spi_pid=$!
  a11y_bus() { dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1; }
  poll 10 a11y_bus || fail "the accessibility bus did not start"
  local source=$work/short-20.mp4
  [ -f "$source" ] || make_clip "$source" 20
  start_app accessible QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  /usr/bin/python3 "$E2E_HERE/accessible.py" tree "$shots/accessible-tree.txt" ||
    fail "the accessible tree (in $shots/accessible-tree.txt) fails its checks"
  log "accessible tree in $shots/accessible-tree.txt"
  # With a source named the pane plans the job; Tab reaches its 详情…, the
  # first stop of the window's order, and Space opens the table.
  click_control Textopen
  xdotool type --delay 8 "$source"
  planned() { report && [ "$(flags encoderPlanDetailsButton)" = 11 ]; }
  poll 30 planned || fail "no plan for $source on the pane"
  shot "accessible-plan"
  click_control Combo2
  tab_to encoderPlanDetailsButton 3
  [ "$(/usr/bin/python3 "$E2E_HERE/accessible.py" focus)" = "push button 详情…" ] ||
    fail "a screen reader finds the focus on $(/usr/bin/python3 "$E2E_HERE/accessible.py" focus)"
  shot "accessible-details-focus"
  xdotool key space
  poll 5 dialog_window "压缩计划" >/dev/null || fail "Space on 详情… opened no table"
  shot "accessible-details"
  xdotool key Escape
  poll 5 dialog_closed "压缩计划" || fail "Escape left the table open"
  # The switch's state reaches the reader.
  tick_switch
  wait_value 5 a33 '^1$'
  switch_checked() { [[ " $(/usr/bin/python3 "$E2E_HERE/accessible.py" states 压缩完关机) " == *" checked "* ]]; }
  poll 5 switch_checked || fail "a screen reader finds 压缩完关机 not checked"
  stop_app
  kill "$at_spi_pid" 2>/dev/null || true
  at_spi_pid=""
}

# --- a file dropped on 视频格式 is the source, not that list's text ------------
scenario_drop() {
  local dragger=${E2E_DRAG_SOURCE:-$(dirname "$velmora")/../../tests/e2e/velmora-drag-source}
  [ -x "$dragger" ] || fail "no drag source at $dragger: build the velmora-drag-source target"
  local source=$work/short-20.mp4
  [ -f "$source" ] || make_clip "$source" 20
  start_app drop
  "$dragger" "$source" >"$work/drag.out" 2>&1 &
  local drag_pid=$! id x y w h cx cy cw ch
  drag_window() { xdotool search --onlyvisible --name '^velmora-drag-source$' 2>/dev/null | awk 'NR == 1'; }
  poll 10 drag_window >/dev/null || fail "the drag source did not show"
  id=$(drag_window)
  poll 5 window_mapped "$id" || fail "the drag source is not on the screen"
  read -r x y w h < <(window_rect "$id")
  read -r cx cy cw ch < <(control_rect Combo2)
  # Press on the file, move past the drag distance, over the list's text, let go.
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) mousedown 1
  local step
  for step in 10 20 30; do
    sleep 0.2
    xdotool mousemove $((x + w / 2 - step)) $((y + h / 2 - step))
  done
  for step in 1 2 3 4; do
    sleep 0.2
    xdotool mousemove $((cx + cw / 3 + 4 - step)) $((cy + ch / 2))
  done
  sleep 0.3
  shot "drop-over-list"
  xdotool mouseup 1
  dragged() { [ -s "$work/drag.out" ]; }
  poll 10 dragged || fail "the drag never ended"
  log "the drag source says: $(cat "$work/drag.out")"
  wait_value 5 Textopen "^$source\$"
  expect_value Combo2 '^平滑动作视频$'
  shot "drop-done"
  kill "$drag_pid" 2>/dev/null || true
  wait "$drag_pid" 2>/dev/null || true
  stop_app
}

# Processes still running our binary for this run (they carry our state file).
leftover_processes() {
  local pid
  for pid in $(pgrep -x velmora || true); do
    [[ "$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null)" == *"VELMORA_STATE_FILE=$work/"* ]] && echo "$pid"
  done
  return 0
}

# Ends a program left running by a scenario that does not test leaving.
stop_app() {
  [ -n "$app_pid" ] || return 0
  kill "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=""
  poll 5 bash -c '! tray_icon' || true
}

export -f tray_icon tray_panel
start_x
start_system_bus
# Every machine has logind; a desktop's own services come with the scenarios
# that ask for them.
start_desktop none
for s in "${scenarios[@]}"; do
  declare -F "scenario_$s" >/dev/null || fail "no scenario \"$s\""
  log "--- $s"
  "scenario_$s"
  log "PASS $s"
done
log "all passed; screenshots in $shots"
