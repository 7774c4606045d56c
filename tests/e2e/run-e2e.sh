#!/usr/bin/env bash
# The real program end to end: a private X server with a notification area,
# the velmora binary, and a user played with xdotool.
#
#   run-e2e.sh VELMORA [SHOTS_DIR] [SCENARIO...]
#
# Scenarios: complete (a whole job through the dialogs, lists and boxes),
# stop (a job stopped mid-way leaves a valid shorter file), tray (hide, show
# from the tray icon, leave through the tray menu). All run by default.
# Screenshots and the program's output go to SHOTS_DIR. Exits 77 when no X
# server can be started, so CTest reports the test as skipped.
set -euo pipefail

velmora=$(realpath "${1:?usage: run-e2e.sh VELMORA [SHOTS_DIR] [SCENARIO...]}")
shots=$(realpath -m "${2:-e2e-shots}")
shift $(($# >= 2 ? 2 : 1))
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(complete stop tray)

# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

mkdir -p "$shots"
rm -f "$shots"/*.png "$shots"/*.log
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX")
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY
trap 'stop_all; rm -rf "$work"' EXIT

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

  # 56K and the LAN; the encoder serves the slowest ticked audience.
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
  poll 10 clock_moved || fail "the clock stayed at $(value Labeltime) for 10 s"
  log "clock at $(value Labeltime), $(value Labelmul), ${dest##*/} being written"
  [[ "$(value Labelface)" =~ ^(压缩开始\.*|压缩完成)$ ]] || fail "Labelface is \"$(value Labelface)\""

  wait_value 180 Labelface '^压缩完成$'
  expect_value Labelmul '^卡哇伊！$'
  expect_flags Cmdstart 11
  expect_flags Cmdstop 01
  [ "$(value Labeltime)" != 00:00:00 ] || fail "the clock was reset on completion"
  shot "complete-done"
  log "done after $(value Labeltime) on the clock"

  [ -s "$dest" ] || fail "no file at $dest"
  # The job's scratch file has been renamed into place.
  [ "$(ls -A "$work/out" | wc -l)" -eq 1 ] || fail "left beside the result: $(ls -A "$work/out")"
  [ "$(probe "$dest" format=format_name)" = "format_name=rm" ] || fail "$dest is not RealMedia"
  local codecs
  codecs=$(probe "$dest" stream=codec_type,codec_name | paste -sd' ')
  log "streams: $codecs"
  [[ "$codecs" =~ codec_name=rv20\ codec_type=video ]] || fail "no RealVideo 2 stream: $codecs"
  [[ "$codecs" =~ codec_name=(ra_144|ac3)\ codec_type=audio ]] || fail "no 14.4 or AC-3 audio: $codecs"
  local want got
  want=$(duration_of "$source") got=$(duration_of "$dest")
  log "duration $got s for a $want s source"
  compare "$(awk -v a="$got" -v b="$want" 'BEGIN { d = a - b; print d < 0 ? -d : d }')" '<=' 0.5 ||
    fail "duration $got s, source $want s"
  decodes_cleanly "$dest" "audio video"
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
for s in "${scenarios[@]}"; do
  declare -F "scenario_$s" >/dev/null || fail "no scenario \"$s\" (complete, stop, tray)"
  log "--- $s"
  "scenario_$s"
  log "PASS $s"
done
log "all passed; screenshots in $shots"
