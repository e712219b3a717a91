#!/usr/bin/env bash
# Runs parcelstub.exe under Wine on a virtual display and answers its windows
# as an operator would: finds each window by its title, reads its caption,
# texts and buttons through displayhelper.exe (run in the same Wine session),
# clicks its buttons or types into it, and checks what the program printed
# and rebuilt. Saves a picture of every window it answers.
#
#   display-test.sh CASE --program EXE --helper EXE --sets TOOL \
#                   --wine-run SCRIPT --prefix DIR --shots DIR
#
# CASE is one of: dialog_other_folder, dialog_cancel, launch_yes,
# crc_notice, cannot_open, closing_question, wine_console.
#
# Each run starts its own X server (Xvfb, on a free display) and ends it,
# and with it Wine's server for the prefix, whatever happens. A window that
# does not appear within PARCEL_DISPLAY_WAIT seconds (default 90), or a
# program that does not end, fails the case. PARCEL_DISPLAY_KEEP=1 keeps the
# work folder for a look afterwards.
set -uo pipefail

title="Quonda Parcelon 2.03 SFJ Module"
closing_text='Try "Quonda Parcelon 2.03" splitter application. It offer multiple files\r\nhandling, error recovery option, self-joining option, UUencode and more...\r\nDo you want to visit Quonda Software web site and obtain your copy of Quonda Parcelon?'
window_wait=${PARCEL_DISPLAY_WAIT:-90}

usage() {
  echo "usage: $0 CASE --program EXE --helper EXE --sets TOOL --wine-run SCRIPT --prefix DIR --shots DIR" >&2
  exit 2
}

[ $# -ge 1 ] || usage
case_name=$1
shift
program='' helper_exe='' sets='' wine_run='' prefix='' shots=''
while [ $# -ge 2 ]; do
  case $1 in
    --program) program=$2 ;;
    --helper) helper_exe=$2 ;;
    --sets) sets=$2 ;;
    --wine-run) wine_run=$2 ;;
    --prefix) prefix=$2 ;;
    --shots) shots=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ $# -ne 0 ] || [ -z "$program" ] || [ -z "$helper_exe" ] || [ -z "$sets" ] ||
   [ -z "$wine_run" ] || [ -z "$prefix" ] || [ -z "$shots" ]; then
  usage
fi

work=$(mktemp -d /tmp/parceldisplay.XXXXXX) || exit 1
xvfb_pid=
program_pid=
started=$(date +%s)

log() { echo "[$(($(date +%s) - started))s] $*"; }

show_output() {
  echo "--- what the program printed:"
  [ -e "$work/out" ] && tr -d '\r' <"$work/out"
  echo "--- its errors:"
  [ -e "$work/err" ] && cat "$work/err"
  echo "--- errors of displayhelper.exe:"
  [ -e "$work/helper.err" ] && cat "$work/helper.err"
  echo "--- visible windows:"
  visible_windows
  echo "---"
}

fail() {
  echo "FAIL ($case_name): $*"
  show_output
  exit 1
}

cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  WINEPREFIX=$prefix TMPDIR=/tmp timeout 60 wineserver -k >/dev/null 2>&1
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if [ "${PARCEL_DISPLAY_KEEP:-}" = 1 ]; then
    echo "work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'fail "interrupted"' INT TERM

# The path of a file below the work folder as the program sees it.
win() { printf 'Z:%s' "${work//\//\\}"; [ $# -eq 0 ] || printf '\\%s' "${1//\//\\}"; }

wine_cmd() { PARCEL_WINE_DISPLAY=$DISPLAY "$wine_run" "$prefix" "$@"; }

# helper ARGS...: runs displayhelper.exe and prints what it wrote. (Through a
# file: the Wine session's own processes, started by the first program, would
# keep a pipe open for as long as the session lasts.)
helper() {
  wine_cmd "$helper_exe" "$@" </dev/null >"$work/helper.out" 2>>"$work/helper.err"
  tr -d '\r' <"$work/helper.out"
}

# --- the display and the Wine session ------------------------------------------
start_display() {
  rm -f "$work/display"
  # (timeout: the server cannot outlive a run that was killed outright)
  timeout 1800 Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  local i
  for i in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
    sleep 0.1
  done
  [ -s "$work/display" ] || fail "Xvfb gave no display number"
  DISPLAY=:$(head -1 "$work/display")
  export DISPLAY
  log "display $DISPLAY"
  # A server left from an earlier run would keep its own display.
  WINEPREFIX=$prefix TMPDIR=/tmp timeout 60 wineserver -k >/dev/null 2>&1
  local answer
  answer=$(helper prepare)
  [ "$answer" = prepared ] || fail "the prefix could not be prepared: $answer"
  # Wine draws the symbols of caption buttons with the Marlett font, which
  # Debian ships apart (fonts-wine) where this Wine does not look for it.
  if [ -e /usr/share/wine/fonts/marlett.ttf ] && [ -d "$prefix/drive_c/windows/Fonts" ]; then
    cp -u /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
  fi
  log "Wine session ready"
}

visible_windows() {
  local id
  for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
    echo "$id $(xdotool getwindowname "$id" 2>/dev/null)"
  done
}

# --- the program -----------------------------------------------------------------
# start_program [wineconsole]: runs src/set.exe from src/ with dest/ as its
# destination; its output goes to a file, or with wineconsole to a console
# window of Wine's own.
start_program() {
  log "starting set.exe${1:+ in $1}"
  (cd "$work/src" && wine_cmd ${1:+"$1"} "$(win src/set.exe)" "$(win dest)") \
    </dev/null >"$work/out" 2>"$work/err" &
  program_pid=$!
}

program_running() { [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; }

# wait_exit SECONDS: the program ends by itself within SECONDS, with code 0,
# and shows no closing question meanwhile (Wine's console is no window of
# class tty, so the program has no console window to own it).
wait_exit() {
  local deadline=$(($(date +%s) + $1)) rc
  while program_running; do
    if [ "${allow_closing_question:-}" != 1 ] && xdotool search --onlyvisible --name '^Message$' >/dev/null 2>&1; then
      fail "a closing question appeared although the program has no console window"
    fi
    [ "$(date +%s)" -lt "$deadline" ] || fail "the program did not end within $1 s"
    sleep 0.3
  done
  wait "$program_pid"
  rc=$?
  program_pid=
  [ "$rc" -eq 0 ] || fail "the program ended with exit code $rc"
  log "the program ended"
}

# --- windows ---------------------------------------------------------------------
# wait_window TITLE: waits for a visible window with exactly this title and
# sets $window to its X id and $window_title to the title. The program must
# still run meanwhile.
wait_window() {
  local deadline=$(($(date +%s) + window_wait))
  window=
  while :; do
    window=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    [ -n "$window" ] && break
    program_running || [ "${2:-}" = any ] || fail "the program ended without showing \"$1\""
    [ "$(date +%s)" -lt "$deadline" ] || fail "no window \"$1\" appeared within $window_wait s"
    sleep 0.3
  done
  window_title=$1
  log "window \"$1\" ($window)"
}

# wait_gone ID TITLE: the window with this id and title is no longer shown.
# X ids are handed out again once their client has gone (the program ends
# and the opened file's viewer can get the id its box had), so a window with
# the id but another title is another window.
wait_gone() {
  local deadline=$(($(date +%s) + 30))
  while xdotool search --onlyvisible --name '.' 2>/dev/null | grep -qx "$1" &&
        [ "$(xdotool getwindowname "$1" 2>/dev/null)" = "$2" ]; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "window $1 (\"$2\") stayed on the screen"
    sleep 0.2
  done
}

# expect_box CAPTION: the dialog window with this caption has exactly the
# caption, owner, texts and buttons read from standard input, one per line in
# any order, buttons without their positions; "*" in a line stands for any
# text. Keeps the description in $box for press.
expect_box() {
  local -a expected actual unexpected=()
  local line i found
  mapfile -t expected
  box=$(helper box "$1")
  mapfile -t actual < <(sed -E 's/^(button: .*) -?[0-9]+ -?[0-9]+$/\1/' <<<"$box")
  for line in "${actual[@]}"; do
    found=
    for i in "${!expected[@]}"; do  # the same line first, then a pattern
      if [ "$line" = "${expected[$i]}" ]; then found=$i; break; fi
    done
    if [ -z "$found" ]; then
      for i in "${!expected[@]}"; do
        # shellcheck disable=SC2053
        if [[ $line == ${expected[$i]} ]]; then found=$i; break; fi
      done
    fi
    if [ -n "$found" ]; then
      unset 'expected[found]'
    else
      unexpected+=("$line")
    fi
  done
  if [ ${#expected[@]} -ne 0 ] || [ ${#unexpected[@]} -ne 0 ]; then
    echo "--- expected, not found:"
    printf '%s\n' "${expected[@]}"
    echo "--- found, not expected:"
    printf '%s\n' "${unexpected[@]}"
    fail "the window \"$1\" is not as expected"
  fi
}

# press LABEL: clicks the button with this label in the window last described.
press() {
  local position
  position=$(sed -n "s/^button: $1 \(-\{0,1\}[0-9]* -\{0,1\}[0-9]*\)\$/\1/p" <<<"$box" | head -1)
  [ -n "$position" ] || fail "no button \"$1\" to press"
  log "pressing $1 at $position"
  # shellcheck disable=SC2086
  xdotool mousemove $position click 1
  wait_gone "$window" "$window_title"
}

# shot NAME: a picture of the current window, as shots/CASE-NAME.png.
shot() {
  mkdir -p "$shots"
  local file=$shots/$case_name-$1.png
  # A click on the caption, so that Wine draws it as the active window (the
  # open-file dialog stays drawn inactive on a display without a window
  # manager).
  xdotool mousemove --window "$window" 40 8 click 1
  sleep 0.5
  if xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$file" 2>/dev/null && [ -s "$file" ]; then
    log "picture $file"
  else
    fail "no picture of window $window"
  fi
}

# shot_area NAME ID...: a picture of the part of the screen that these
# windows cover, with whatever is in front.
shot_area() {
  mkdir -p "$shots"
  local file=$shots/$case_name-$1.png id X Y WIDTH HEIGHT
  local left=100000 top=100000 right=0 bottom=0
  shift
  for id in "$@"; do
    eval "$(xdotool getwindowgeometry --shell "$id" | grep -E '^(X|Y|WIDTH|HEIGHT)=[0-9]+$')"
    [ "$X" -lt "$left" ] && left=$X
    [ "$Y" -lt "$top" ] && top=$Y
    [ $((X + WIDTH)) -gt "$right" ] && right=$((X + WIDTH))
    [ $((Y + HEIGHT)) -gt "$bottom" ] && bottom=$((Y + HEIGHT))
  done
  if xwd -silent -root | xwdtopnm 2>/dev/null |
       pamcut -left "$left" -top "$top" -width $((right - left)) -height $((bottom - top)) |
       pnmtopng >"$file" 2>/dev/null && [ -s "$file" ]; then
    log "picture $file"
  else
    fail "no picture of the screen at windows $*"
  fi
}

# --- what the program printed and rebuilt ----------------------------------------------
output() { tr -d '\r' < "$work/out"; }

# expect_output LINE...: each line occurs, after the one before it.
expect_output() {
  local rest line
  rest=$(output)
  for line in "$@"; do
    case $rest in
      *"$line"*) rest=${rest#*"$line"} ;;
      *) fail "the program did not print \"$line\" (in this order)" ;;
    esac
  done
}

expect_no_output() {
  case $(output) in
    *"$1"*) fail "the program printed \"$1\"" ;;
  esac
}

expect_rebuilt() {  # expect_rebuilt NAME...: dest/NAME equals expected/NAME
  local name
  for name in "$@"; do
    cmp -s "$work/expected/$name" "$work/dest/$name" || fail "dest/$name is not the original file"
  done
}

closing_lines=('Try "Quonda Parcelon 2.03" splitter application. It offer multiple files'
               'handling, error recovery option, self-joining option, UUencode and more...'
               'Do you want to visit Quonda Software web site and obtain your copy of Quonda Parcelon?')

# The open-file dialog as the program asks for it: the filter for volumes
# selected first, no name preset. (The folder it shows first is Wine's choice.)
open_dialog() {
  expect_box "Open" <<'EOF'
caption: Open
owner: none
text: Look &in:
text: File &name:
text: Files of &type:
combo: *
combo: 
combo: QPARC volumes (\*.s\*)
button: &Open
button: Cancel
EOF
}

launch_question() {
  expect_box "Action request" <<EOF
caption: Action request
owner: ${1:-none}
text: Launch combined file(s)?
button: &Yes
button: &No
EOF
}

# --- the cases --------------------------------------------------------------------------
# The dialog opens because volume 2 is not beside set.exe; the operator types
# the path of volume 2 in another folder, and the join goes on from there.
case_dialog_other_folder() {
  "$sets" twofolders "$program" "$work" || fail "no set"
  start_program
  wait_window "Open"
  open_dialog
  shot open-file-dialog
  timeout 10 xdotool windowfocus --sync "$window"
  xdotool type --delay 20 "$(win other/set.s02)"
  xdotool key Return
  wait_gone "$window" "$window_title"
  wait_window "Action request"
  launch_question
  shot launch-question
  press "&No"
  wait_exit 60
  expect_output "Source directory: $(win src)" "Destination directory: $(win dest)" \
    "Current volume: 1" "Processing file: $(win dest/report.txt)" \
    "Source directory: $(win other)" "Current volume: 2" "Processing file: $(win dest/report.txt)" \
    "Done" "${closing_lines[@]}"
  expect_no_output "Running: "
  expect_rebuilt report.txt
}

# The dialog is closed with Cancel twice: No to the cancel question asks for
# the volume again, Yes ends the run with "Done" and nothing after it.
case_dialog_cancel() {
  "$sets" incomplete "$program" "$work" || fail "no set"
  start_program
  local round
  for round in No Yes; do
    wait_window "Open"
    open_dialog
    press "Cancel"
    wait_window "Action request"
    expect_box "Action request" <<'EOF'
caption: Action request
owner: none
text: Do you want to cancel the current operation?
button: &Yes
button: &No
EOF
    [ "$round" = No ] && shot cancel-question
    press "&$round"
  done
  wait_exit 60
  expect_output "Current volume: 1" "Processing file: $(win dest/part.txt)" "Working..."
  [ "$(output | grep -c '^Done$')" -eq 1 ] || fail "\"Done\" was not printed exactly once"
  [ "$(output | tail -1)" = Done ] || fail "the run did not end with \"Done\""
  expect_no_output "Try \"Quonda"
  [ -e "$work/dest/part.txt" ] || fail "volume 1 was not joined before the dialog"
}

# Yes to the launch question: notepad opens the rebuilt .txt file; the file
# that no program is associated with is passed over without a word.
case_launch_yes() {
  "$sets" launch "$program" "$work" || fail "no set"
  start_program
  wait_window "Action request"
  launch_question
  press "&Yes"
  wait_window "notes.txt - Notepad" any
  local notepad=$window
  shot notepad
  wait_exit 60
  expect_output "Processing file: $(win dest/notes.txt)" "Processing file: $(win dest/data.qqq)" \
    "Running: $(win dest/notes.txt)" "Done" "${closing_lines[@]}"
  expect_no_output "Running: $(win dest/data.qqq)"
  expect_rebuilt notes.txt data.qqq
  timeout 10 xdotool windowfocus --sync "$notepad"
  xdotool key alt+F4
  wait_gone "$notepad" "notes.txt - Notepad"
}

# A piece whose CRC does not match: the notice, OK, and the run goes on.
case_crc_notice() {
  "$sets" badcrc "$program" "$work" || fail "no set"
  start_program
  wait_window "Error"
  expect_box "Error" <<'EOF'
caption: Error
owner: none
text: File fails CRC check.
button: OK
EOF
  shot crc-notice
  press "OK"
  wait_window "Action request"
  launch_question
  press "&No"
  wait_exit 60
  expect_output "Processing file: $(win dest/damaged.txt)" "Working..." "Done" "${closing_lines[@]}"
  expect_rebuilt damaged.txt
}

# A directory stands where the file is to be rebuilt: the fatal box, and the
# run ends without the launch question or the closing text.
case_cannot_open() {
  "$sets" blocked "$program" "$work" || fail "no set"
  start_program
  wait_window "Error"
  expect_box "Error" <<'EOF'
caption: Error
owner: none
text: Unable to open original file.
button: OK
EOF
  shot open-error
  press "OK"
  wait_exit 60
  expect_output "Processing file: $(win dest/blocked.txt)" "Done"
  expect_no_output "Try \"Quonda"
  [ -d "$work/dest/blocked.txt" ] || fail "the directory in the way is gone"
}

# With a window of class tty titled like the console, as a console window
# used to be, the program finds it: it owns the boxes, and the closing text
# is also asked as a question. (Wine's own console window has the class
# WineConsoleClass, and a program whose output is redirected has none; the
# other cases check that no closing question appears there.)
case_closing_question() {
  "$sets" launch "$program" "$work" || fail "no set"
  wine_cmd "$helper_exe" tty "$title" 300 </dev/null >"$work/tty" 2>&1 &
  local deadline=$(($(date +%s) + window_wait))
  until grep -q ready "$work/tty" 2>/dev/null; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "the stand-in console window did not start"
    sleep 0.3
  done
  start_program
  wait_window "Action request"
  launch_question "tty $title"
  press "&No"
  wait_window "Message"
  expect_box "Message" <<EOF
caption: Message
owner: tty $title
text: $closing_text
button: &Yes
button: &No
EOF
  shot closing-question
  press "&No"
  allow_closing_question=1 wait_exit 60
  expect_output "Done" "${closing_lines[@]}"
}

# Started in a console window of Wine's own, as from a desktop: the window
# bears the program's title, but its class is Wine's, not tty, so the program
# does not find it: its boxes have no owner, and no closing question follows.
case_wine_console() {
  "$sets" launch "$program" "$work" || fail "no set"
  start_program wineconsole
  wait_window "$title"
  local console=$window class
  class=$(helper class "$title")
  case $class in
    "class: "*) log "the console window's $class" ;;
    *) fail "the console window titled \"$title\" was not found: $class" ;;
  esac
  wait_window "Action request"
  launch_question
  shot_area console-and-launch-question "$console" "$window"
  press "&No"
  wait_exit 60
  wait_gone "$console" "$title"
  expect_rebuilt notes.txt data.qqq
}

case $case_name in
  dialog_other_folder | dialog_cancel | launch_yes | crc_notice | cannot_open | closing_question | \
    wine_console) ;;
  *) usage ;;
esac
log "case $case_name"
start_display
"case_$case_name"
log "passed"
