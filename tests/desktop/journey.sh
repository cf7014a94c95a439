#!/usr/bin/env bash
# Uses the real desktop tool as a person would: on an X display (Xvfb) with a window manager (openbox), by
# mouse and keys through xdotool, so that the window system's rules (modality, stacking, focus) apply as
# they do for people. Checks which windows are up after every step, and the files on disk. What windows
# say is read through the accessibility bus (AT-SPI), as a screen reader reads it.
#
#   journey.sh ORFEO ORFEO_CLI MAKE_PAGES SAMPLES [SCREENSHOT_DIR]
#
# ORFEO is the orfeo program, ORFEO_CLI the command line's, MAKE_PAGES the page generator
# (orfeo-make-pages), SAMPLES the folder that holds the sample book (book/, book2/). With SCREENSHOT_DIR,
# the windows are also photographed there. Drops come from orfeo-drag-source, $ORFEO_DRAG_SOURCE or the one
# of ORFEO's build.
set -uo pipefail

orfeo_bin=$(realpath "$1") cli_bin=$(realpath "$2") make_pages=$(realpath "$3") samples=$(realpath "$4")
shots=${5:+$(realpath "$5")}
drag_source=$(realpath "${ORFEO_DRAG_SOURCE:-$(dirname "$orfeo_bin")/../tests/orfeo-drag-source}")
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d "${TMPDIR:-/tmp}/orfeo-journey.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    # The accessibility bus launcher's own children (its registry and bus) first.
    pkill -P "$pid" 2>/dev/null
    kill "$pid" 2>/dev/null
  done
  [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "  windows up: $(windows)" >&2
  [ -s "$work/orfeo.log" ] && sed 's/^/  orfeo: /' "$work/orfeo.log" >&2
  [ -n "$shots" ] && import -window root "$shots/failure.png" 2>/dev/null
  exit 1
}
step() { echo "== $*"; }

# --- the display, the window manager, the user's folders ---------------------------------------------
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
exec 3>&-
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=":$(head -1 "$work/display")"
# openbox, started again if it has not taken the display within ten seconds (seen once in a dozen runs).
start_openbox() {
  openbox --sm-disable >>"$work/openbox.log" 2>&1 &
  openbox_pid=$!
  pids+=("$openbox_pid")
}
start_openbox
# A session bus of the journey's own, with the accessibility bus on it.
eval "$(dbus-launch --sh-syntax)" || fail "no session bus"
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/atspi.log" 2>&1 &
pids+=($!)
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# The program starts only once the window manager manages windows and the accessibility bus answers, as on
# a desktop where both were up before anything was started: a window mapped earlier is not given the focus.
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
bus_ready() {
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1
}

home=$work/home
mkdir -p "$home"
cp -r "$samples/book" "$samples/book2" "$home/"
rm -rf "$home/book/pics" "$home/book2/new_scans"
# The sample book with a page that crashes its decoder (the first byte of a kept input picks its extension,
# 9: pbm; the rest is the file).
cp -r "$samples/book" "$home/hostile"
rm -rf "$home/hostile/pics"
tail -c +2 "$samples/../fuzz/regressions/contained/pbm-width-past-int-heap-overflow" >"$home/hostile/page2x.pbm"
cp "$home/hostile/cache/automask/page1.tif" "$home/hostile/cache/automask/page2x.pbm"
# A book of 40 pages, 30 of them without a mask: problems on most pages.
"$make_pages" --masks "$home/problems" 400 600 4 >/dev/null || fail "no pages for the problem book"
for i in $(seq 5 40); do
  name=$(printf 'page%03d.tif' "$i")
  ln "$home/problems/page001.tif" "$home/problems/$name"
  [ "$i" -gt 30 ] && ln "$home/problems/cache/automask/page001.tif" "$home/problems/cache/automask/$name"
done
rm "$home/problems/cache/automask/page00"[1-4].tif
# A book of 12 pages without masks: a box for each, answered by Enter.
"$make_pages" "$home/enter" 400 600 1 >/dev/null || fail "no pages for the Enter book"
for i in $(seq 2 12); do ln "$home/enter/page001.tif" "$home/enter/$(printf 'page%03d.tif' "$i")"; done
# A book 20 folders deep, and two folders whose names begin alike: "stack" (a book) and "spare" (empty).
deep=$home/deep
for level in $(seq -w 1 20); do deep=$deep/book_0001_level_$level; done
"$make_pages" --masks "$deep" 400 600 1 >/dev/null || fail "no pages for the deep book"
"$make_pages" --masks "$home/stack" 400 600 1 >/dev/null || fail "no pages for the stack book"
mkdir "$home/spare"
# Pages whose names hold numbers that sort as text: page1 ... page12, and scan_001 ... scan_012.
"$make_pages" --masks "$work/one" 400 600 1 >/dev/null || fail "no page for the numbered books"
mkdir -p "$home/numbers/cache/automask" "$home/numbers2"
for i in $(seq 12); do
  ln "$work/one/page001.tif" "$home/numbers/page$i.tif"
  ln "$work/one/cache/automask/page001.tif" "$home/numbers/cache/automask/page$i.tif"
  cp "$work/one/page001.tif" "$home/numbers2/$(printf 'scan_%03d.tif' "$i")"
done
# A long book for stopping a run: one generated page (and mask) under 400 names.
"$make_pages" --masks "$home/long" 1200 1700 1 >/dev/null || fail "no pages for the long book"
for i in $(seq 2 400); do
  name=$(printf 'page%03d.tif' "$i")
  ln "$home/long/page001.tif" "$home/long/$name"
  ln "$home/long/cache/automask/page001.tif" "$home/long/cache/automask/$name"
done

# A book of 160 pages and a second folder of only 40: a merge that is refused.
"$make_pages" --masks "$home/tall" 400 600 1 >/dev/null || fail "no pages for the tall book"
mkdir -p "$home/short"
for i in $(seq 2 160); do
  name=$(printf 'page%03d.tif' "$i")
  ln "$home/tall/page001.tif" "$home/tall/$name"
  ln "$home/tall/cache/automask/page001.tif" "$home/tall/cache/automask/$name"
done
for i in $(seq 40); do ln "$home/tall/page001.tif" "$home/short/$(printf 'rescan%03d.tif' "$i")"; done

# --- reading windows through the accessibility bus ------------------------------------------------------
atspi() { ORFEO_PID=$orfeo_pid /usr/bin/python3 "$here/atspi.py" "$@"; }
# The text of the labels of the window named $1, one per line.
labels() { atspi labels "$1"; }

# --- looking at the screen ------------------------------------------------------------------------------
# The names of the visible windows, sorted, joined by "|".
windows() {
  local id
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do xdotool getwindowname "$id"; done |
    sort | paste -sd'|'
}
active() { xdotool getactivewindow getwindowname 2>/dev/null; }
# The names of the visible windows from the bottom of the stack to the top, joined by "|".
stacking() {
  local id visible
  visible=" $(xdotool search --onlyvisible --name . 2>/dev/null | tr '\n' ' ') "
  for id in $(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*#//; s/,//g'); do
    [[ $visible == *" $((id)) "* ]] && xdotool getwindowname "$id"
  done | paste -sd'|'
}
stacking_is() { [ "$(stacking)" = "$1" ]; }
expect_stacking() { wait_until stacking_is "$1" || fail "expected the windows stacked as '$1' (bottom to top), not '$(stacking)'"; }
# The first visible window whose name matches the pattern (case counts: "orfeo" is not "Orfeo").
window_id() {
  local id
  for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
    [[ "$(xdotool getwindowname "$id")" =~ $1 ]] && { echo "$id"; return 0; }
  done
  return 1
}
# Waits until COMMAND... succeeds (up to 10 s, times ORFEO_JOURNEY_PATIENCE for slower builds).
wait_until() {
  local _
  for _ in $(seq $((100 * ${ORFEO_JOURNEY_PATIENCE:-1}))); do "$@" && return 0; sleep 0.1; done
  return 1
}
windows_are() { [ "$(windows)" = "$1" ]; }
expect_windows() { wait_until windows_are "$1" || fail "expected windows '$1'"; sleep 0.2; windows_are "$1" || fail "expected windows '$1' to stay"; }
# Clicks OK on the active message box (bottom right, as the box lays it out).
click_ok() {
  geometry '^orfeo$' || fail "no message box"
  click $((GX + GW - 50)) $((GY + GH - 22))
}
another_box_than() { [ "$(xdotool getactivewindow 2>/dev/null)" != "$1" ] && [ "$(active)" = orfeo ]; }
expect_active() { wait_until test "$(active)" = "$1" || fail "expected '$1' to be the active window, not '$(active)'"; }
# A folder of the home folder chosen by keys: the chooser opened from BUTTON (open or open2), its tree
# walked from the home folder into the folder typed, NAME, and Return.
choose_by_keys() {
  click_main "$1"
  expect_active 'Open Folder'
  key Up Right
  xdotool type --delay 60 "$2"
  key Return
  expect_windows 'Orfeo'
}
# The client area of a window: GX GY GW GH.
geometry() {
  local info
  info=$(xwininfo -id "$(window_id "$1")") || fail "no window '$1'"
  GX=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  GY=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  GW=$(sed -n 's/.*Width: *//p' <<<"$info")
  GH=$(sed -n 's/.*Height: *//p' <<<"$info")
}
click() { xdotool mousemove "$1" "$2" click 1; }
key() { xdotool key --delay 60 "$@"; }
# A picture of the window named by the pattern $2, with its frame, as $1.png in SCREENSHOT_DIR.
shot() { [ -n "$shots" ] && import -frame -window "$(window_id "$2")" "$shots/$1.png"; return 0; }

# The main window's buttons, by the centres of their places in the window's template (370 x 200 units).
click_main() {
  local x y
  case $1 in
    open) x=38 y=22 ;;
    back) x=80 y=81 ;;
    open2) x=38 y=124 ;;
    merge) x=80 y=182 ;;
    check) x=153 y=81 ;;
    check2) x=153 y=182 ;;
  esac
  geometry '^Orfeo$'
  click $((GX + GW * x / 370)) $((GY + GH * y / 200))
}
# The chooser's buttons: OK and Cancel at the bottom right, Create new folder at the bottom left.
click_chooser() {
  geometry '^Open Folder$'
  case $1 in
    ok) click $((GX + GW - 10 - 75 - 6 - 37)) $((GY + GH - 36 + 11)) ;;
    cancel) click $((GX + GW - 10 - 37)) $((GY + GH - 36 + 11)) ;;
    create) click $((GX + 10 + 40)) $((GY + GH - 36 + 11)) ;;
    caption) click $((GX + 20)) $((GY + 16)) ;;
  esac
}
# Clicks the row `offset` rows below the chooser's highlighted one: the highlight is found on the screen.
click_row_below_selection() {
  geometry '^Open Folder$'
  local x=$((GX + GW - 30)) rows first last height
  rows=$(import -window root -crop "1x${GH}+${x}+${GY}" txt:- 2>/dev/null |
    sed -n 's/^0,\([0-9]*\): *(\([0-9.]*\),\([0-9.]*\),\([0-9.]*\).*/\1 \2 \3 \4/p' |
    awk '{ if ($4 > $2 + 60 && $4 > 120) print $1 }')
  first=$(head -1 <<<"$rows") last=$(tail -1 <<<"$rows")
  [ -n "$first" ] || fail "no highlighted row in the chooser"
  height=$((last - first + 1))
  click $((GX + 120)) $((GY + first + height * $1 + height / 2))
}

# Clicks the close box that openbox draws at the right end of the title bar of the window named $1.
click_close_box() {
  local extents
  geometry "$1"
  extents=($(xprop -id "$(window_id "$1")" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g'))
  [ ${#extents[@]} -eq 4 ] || fail "no frame around '$1'"
  click $((GX + GW + extents[1] - 12)) $((GY - extents[2] / 2))
}
# Fails unless the window named $1, its frame included, lies inside the 1280 x 800 screen.
expect_inside_screen() {
  local extents
  geometry "$1"
  extents=($(xprop -id "$(window_id "$1")" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g'))
  local left=$((GX - extents[0])) top=$((GY - extents[2]))
  local right=$((GX + GW + extents[1])) bottom=$((GY + GH + extents[3]))
  [ "$left" -ge 0 ] && [ "$top" -ge 0 ] && [ "$right" -le 1280 ] && [ "$bottom" -le 800 ] ||
    fail "'$1' lies at $left,$top to $right,$bottom, past the 1280 x 800 screen"
}
# Drags the files or folders $2... from a drag source (as from a file manager) by the mouse, and drops
# them on the main window's upper half ($1 = upper) or lower half ($1 = lower).
drag_onto_main() {
  local half=$1 source_pid sx sy tx ty i
  shift
  "$drag_source" "$@" >"$work/drag.log" 2>&1 &
  source_pid=$!
  wait_until window_id '^Drag source$' >/dev/null || fail "no drag source"
  geometry '^Drag source$'
  sx=$((GX + GW / 2)) sy=$((GY + GH / 2))
  geometry '^Orfeo$'
  tx=$((GX + GW / 2))
  if [ "$half" = upper ]; then ty=$((GY + GH / 4)); else ty=$((GY + GH * 3 / 4)); fi
  xdotool mousemove "$sx" "$sy" mousedown 1
  for i in $(seq 10); do
    xdotool mousemove $((sx + (tx - sx) * i / 10)) $((sy + (ty - sy) * i / 10))
    sleep 0.05
  done
  sleep 0.2
  xdotool mouseup 1
  wait_until grep -q . "$work/drag.log" || fail "the drag did not end"
  echo "   drag of $* onto the $half half: $(tail -1 "$work/drag.log")"
  # The source's window goes at once; the source itself stays two seconds to hand over the items, as a file
  # manager would, and ends.
  wait "$source_pid"
}

count_files() { find "$1" -maxdepth 1 -type f 2>/dev/null | wc -l; }
# Every file and folder under $1 with its size and modification time.
snapshot() { find "$1" -printf '%p %s %T@\n' | sort; }
# Waits until the check window named $1 shows its plan.
check_ready() { labels "$1" | grep -q 'would'; }

# --- the journey ----------------------------------------------------------------------------------------
cd "$home"
for _ in 1 2 3; do
  wait_until wm_ready && break
  kill "$openbox_pid" 2>/dev/null
  start_openbox
done
wm_ready || fail "openbox did not start: $(cat "$work/openbox.log")"
wait_until bus_ready || fail "the accessibility bus did not start"
HOME=$home "$orfeo_bin" >"$work/orfeo.log" 2>&1 &
orfeo_pid=$!
pids+=("$orfeo_pid")

step "The main window opens, in front, with the focus on Open folder; its controls are named for screen readers"
expect_windows 'Orfeo'
expect_active 'Orfeo'
atspi unnamed Orfeo || fail "the main window has controls without a name"

step "Create back subscans before any folder (keys): a message, no progress dialog; Enter dismisses it"
key Tab Return
expect_windows 'Orfeo|orfeo'
expect_active 'orfeo'
key Return
expect_windows 'Orfeo'
[ -e "$home/book/pics" ] && fail "a refused run made a folder"

step "Check... before any folder: Run is off, and the window says why"
click_main check
wait_until check_ready 'Check: Create back subscans' || fail "the check showed no plan"
labels 'Check: Create back subscans' >"$work/empty-check.txt"
grep -qxF 'No scans are yet loaded.' "$work/empty-check.txt" && grep -qxF 'Run is off: the run would be refused.' "$work/empty-check.txt" ||
  fail "the check does not say why Run is off: $(cat "$work/empty-check.txt")"
atspi enabled 'Check: Create back subscans' Run && fail "Run is on before any folder"
key alt+r
sleep 0.5
expect_windows 'Check: Create back subscans|Orfeo'
key Escape
expect_windows 'Orfeo'

step "The chooser opens in front and takes a click: Cancel"
click_main open
expect_windows 'Open Folder|Orfeo'
expect_active 'Open Folder'
expect_stacking 'Orfeo|Open Folder'
shot chooser '^Open Folder$'
click_chooser cancel
expect_windows 'Orfeo'

step "The chooser takes keys: Escape"
click_main open
expect_active 'Open Folder'
key Escape
expect_windows 'Orfeo'

step "The main window stays usable while the chooser is open"
click_main open
expect_active 'Open Folder'
xdotool windowmove --sync "$(window_id '^Open Folder$')" 0 0   # out of the way, as a person drags it
click_main back
expect_windows 'Open Folder|Orfeo|orfeo'
key Return
expect_windows 'Open Folder|Orfeo'

step "A folder chosen by keys: home, book, Enter"
click_chooser caption
expect_active 'Open Folder'
key Up Right Down Return
expect_windows 'Orfeo'

step "Create back subscans on the sample book"
click_main back
expect_windows 'Orfeo|orfeo'
expect_active 'orfeo'
shot message '^orfeo$'
key Return
expect_windows 'Orfeo'
[ "$(count_files "$home/book/pics")" -eq 3 ] || fail "expected 3 back subscans, found $(ls "$home/book/pics")"

step "A folder chosen by clicks: book2 in the tree, then OK"
click_main open2
expect_active 'Open Folder'
key Up Right
sleep 0.3
click_row_below_selection 2
sleep 0.3
click_chooser ok
expect_windows 'Orfeo'

step "Merge subscans"
click_main merge
expect_windows 'Orfeo|orfeo'
key Return
expect_windows 'Orfeo'
[ "$(count_files "$home/book2/new_scans")" -eq 3 ] || fail "expected 3 merged pages, found $(ls "$home/book2/new_scans")"
shot main-window '^Orfeo$'

step "Check... shows each job's plan and changes nothing on disk"
before=$(snapshot "$home")
for job in check:'Check: Create back subscans' check2:'Check: Merge subscans'; do
  click_main "${job%%:*}"
  expect_windows "${job#*:}|Orfeo"
  wait_until check_ready "${job#*:}" || fail "'${job#*:}' showed no plan: $(labels "${job#*:}")"
  atspi unnamed "${job#*:}" || fail "'${job#*:}' has controls without a name"
  shot "check-${job%%:*}" "^${job#*:}$"
  key Escape
  expect_windows 'Orfeo'
done
[ "$(snapshot "$home")" = "$before" ] || fail "a check changed the disk"

step "Check... warns of names that sort as text (page10 before page2), then Run runs the job"
choose_by_keys open numbers
choose_by_keys open2 numbers2
before=$(snapshot "$home")
click_main check2
wait_until check_ready 'Check: Merge subscans' || fail "the merge's check showed no plan"
labels 'Check: Merge subscans' | grep -qF 'In folder 1, names sort as text, not by their numbers: "page12.tif" comes before "page2.tif".' ||
  fail "no warning of the names' order: $(labels 'Check: Merge subscans')"
shot check-numbers '^Check: Merge subscans$'
key Escape
expect_windows 'Orfeo'
[ "$(snapshot "$home")" = "$before" ] || fail "the check changed the disk"
click_main check
wait_until check_ready 'Check: Create back subscans' || fail "the back job's check showed no plan"
key alt+r
expect_windows 'Orfeo|orfeo'
[ "$(labels orfeo)" = "Processing ended." ] || fail "Run said '$(labels orfeo)'"
key Return
expect_windows 'Orfeo'
[ "$(count_files "$home/numbers/pics")" -eq 12 ] || fail "Run in the check wrote $(count_files "$home/numbers/pics") pages"

step "The viewer, from a row of the check by Enter: the page with its mask, page 2 and the output; Page Down"
click_main check2
wait_until check_ready 'Check: Merge subscans' || fail "the merge's check showed no plan"
key Down Return   # the second row: page10.tif and scan_002.tif
expect_windows 'Check: Merge subscans|Orfeo|View: page10.tif (2 of 12)'
expect_active 'View: page10.tif (2 of 12)'
atspi unnamed 'View: page10.tif (2 of 12)' || fail "the viewer has controls without a name"
sleep 2
shot viewer '^View: page10.tif'
key Next
expect_windows 'Check: Merge subscans|Orfeo|View: page11.tif (3 of 12)'
key plus plus Escape
expect_windows 'Check: Merge subscans|Orfeo'
key Escape
expect_windows 'Orfeo'

step "Folders dropped on the main window (as from a file manager): the upper half takes folder 1, the lower folder 2"
drag_onto_main upper "$home/tall"
wait_until test "$(atspi text Orfeo 'Input:')" = "$home/tall/" || fail "a folder dropped on the upper half: Input says '$(atspi text Orfeo 'Input:')'"
labels Orfeo | grep -xF '160 pages' >/dev/null || fail "the dropped folder's pages are not counted: $(labels Orfeo)"
drag_onto_main lower "$home/short"
wait_until test "$(atspi text Orfeo 'Input 2:')" = "$home/short/" || fail "a folder dropped on the lower half: Input 2 says '$(atspi text Orfeo 'Input 2:')'"
[ "$(atspi text Orfeo 'Ouput 2:')" = "$home/short/new_scans/" ] || fail "Ouput 2 says '$(atspi text Orfeo 'Ouput 2:')'"
expect_windows 'Orfeo'
shot main-window-dropped '^Orfeo$'
drag_onto_main upper "$home/tall/page001.tif"
expect_windows 'Orfeo|orfeo'
[ "$(labels orfeo)" = "\"$home/tall/page001.tif\" is not a folder: drop the folder that holds the pages." ] ||
  fail "a dropped file was answered '$(labels orfeo)'"
key Return
expect_windows 'Orfeo'
drag_onto_main lower "$home/tall" "$home/short"
expect_windows 'Orfeo|orfeo'
[ "$(labels orfeo)" = "Drop one folder at a time: 2 items were dropped." ] || fail "two dropped folders were answered '$(labels orfeo)'"
key Return
expect_windows 'Orfeo'
[ "$(atspi text Orfeo 'Input:')" = "$home/tall/" ] && [ "$(atspi text Orfeo 'Input 2:')" = "$home/short/" ] ||
  fail "a refused drop changed the folders"

step "Check... of a merge that would be refused (160 pages, 40 in folder 2): the pairing as far as it goes, Run off"
click_main check2
wait_until check_ready 'Check: Merge subscans' || fail "the merge's check showed no plan"
labels 'Check: Merge subscans' >"$work/refused-check.txt"
for said in 'Folder 2 holds fewer scans (40) than folder 1 (160).' \
  '40 of the 160 pages of folder 1 pair with a page of folder 2; the other 120 have none.' \
  'Run is off: the run would be refused.'; do
  grep -qxF "$said" "$work/refused-check.txt" || fail "the refused merge's check does not say '$said': $(cat "$work/refused-check.txt")"
done
atspi enabled 'Check: Merge subscans' Run && fail "Run is on for a merge that would be refused"
expect_inside_screen '^Check: Merge subscans$'
shot check-refused '^Check: Merge subscans$'
key alt+r   # nothing: Run is off
sleep 0.5
expect_windows 'Check: Merge subscans|Orfeo'
key ctrl+End Return   # the viewer on the last page, which has no partner
expect_windows 'Check: Merge subscans|Orfeo|View: page160.tif (160 of 160)'
expect_inside_screen '^View: page160.tif'
key Escape
expect_windows 'Check: Merge subscans|Orfeo'
key Escape
expect_windows 'Orfeo'

step "Create new folder: the dialog stands over the chooser and blocks the main window only"
click_main open
expect_active 'Open Folder'
key Up
click_chooser create
expect_windows 'New folder|Open Folder|Orfeo'
expect_active 'New folder'
expect_stacking 'Orfeo|Open Folder|New folder'
shot new-folder '^New folder$'
click_main open2   # blocked: no second chooser, no scan; the chooser and the dialog come back to the front
expect_windows 'New folder|Open Folder|Orfeo'
expect_stacking 'Orfeo|Open Folder|New folder'
expect_active 'New folder'
key Tab Tab
xdotool type --delay 60 made
key Return
expect_windows 'Orfeo'
[ -d "$home/made" ] || fail "the new folder was not made"

step "The next chooser selects the new folder; an existing name says so and keeps the chooser open"
click_main open
expect_active 'Open Folder'
click_chooser create
expect_active 'New folder'
key Return   # an empty name: the selected folder itself, which exists
expect_windows 'Open Folder|Orfeo|orfeo'
expect_active 'orfeo'
expect_stacking 'Orfeo|Open Folder|orfeo'
key Return
expect_windows 'Open Folder|Orfeo'
expect_active 'Open Folder'
key Return   # OK: the new folder, which holds no pages, as a box says at once
expect_windows 'Orfeo|orfeo'
[[ "$(labels orfeo)" == *"holds no pages"* ]] || fail "an empty folder was taken silently: '$(labels orfeo)'"
key Return
expect_windows 'Orfeo'
click_main back
expect_windows 'Orfeo|orfeo'
key Return
expect_windows 'Orfeo'
[ -e "$home/made/pics" ] && fail "a run over an empty folder made its output folder"

step "A long run, stopped with the Stop button"
choose_by_keys open long
click_main back
expect_windows 'Create back subscans - orfeo|Orfeo'
shot progress 'Create back subscans - orfeo'
atspi unnamed 'Create back subscans - orfeo' || fail "the progress dialog has controls without a name"
geometry 'Create back subscans - orfeo'
click $((GX + GW - 11 - 30)) $((GY + GH - 11 - 10))
expect_windows 'Orfeo|orfeo'
expect_active 'orfeo'
key Return
expect_windows 'Orfeo|orfeo'
key Return
expect_windows 'Orfeo'
written=$(count_files "$home/long/pics")
[ "$written" -gt 0 ] && [ "$written" -lt 400 ] || fail "a stopped run wrote $written of 400 pages"

step "A long run, stopped with Escape"
click_main back
expect_windows 'Create back subscans - orfeo|Orfeo'
expect_active 'Create back subscans - orfeo'
key Escape
expect_windows 'Orfeo|orfeo'
key Return
expect_windows 'Orfeo|orfeo'
key Return
expect_windows 'Orfeo'
written=$(count_files "$home/long/pics")
[ "$written" -lt 400 ] || fail "Escape did not stop the run"
[ -z "$(find "$home/long/pics" -name '.*')" ] || fail "a stopped run left a temporary file"

step "The main window's close box during a run asks whether to stop: Go on lets it run, Stop stops it"
click_main back
expect_windows 'Create back subscans - orfeo|Orfeo'
click_close_box '^Orfeo$'
expect_windows 'Create back subscans - orfeo|Orfeo|orfeo'
expect_active 'orfeo'
[ "$(labels orfeo)" = "A job is running. Stop it after the pages in hand?" ] || fail "the close box asked '$(labels orfeo)'"
shot close-question '^orfeo$'
key Escape   # Go on, the default
expect_windows 'Create back subscans - orfeo|Orfeo'
click_close_box '^Orfeo$'
expect_windows 'Create back subscans - orfeo|Orfeo|orfeo'
expect_active 'orfeo'
key Tab space   # Stop
expect_windows 'Orfeo|orfeo'
stopped=$(labels orfeo)
[[ $stopped =~ ^Stopped:\ ([0-9]+)\ of\ 400\ scans\ written\.$'\n'([0-9]+)\ pages\ were\ not\ started\.$ ]] ||
  fail "the stop's box says '$stopped'"
key Return
expect_windows 'Orfeo|orfeo'
[ "$(labels orfeo)" = "Processing ended." ] || fail "the closing message says '$(labels orfeo)'"
key Return
expect_windows 'Orfeo'
[ "$(count_files "$home/long/pics")" -eq "${BASH_REMATCH[1]}" ] || fail "the stop's box said ${BASH_REMATCH[1]} pages, $(count_files "$home/long/pics") were written"
[ $((BASH_REMATCH[1] + BASH_REMATCH[2])) -eq 400 ] || fail "written and not started pages do not add up: $stopped"
kill -0 "$orfeo_pid" || fail "the close box ended Orfeo during a run"

step "Problems kept for the end, then Stop: the Problems window lists the problems, the stop's word comes alone"
for i in $(seq 10 10 400); do rm "$home/long/cache/automask/$(printf 'page%03d.tif' "$i")"; done
click_main back
expect_windows 'Orfeo|orfeo'
expect_active 'orfeo'
xdotool mousemove 1 1
sleep 0.3
key Tab space   # Show the rest at the end
expect_windows 'Create back subscans - orfeo|Orfeo'
geometry 'Create back subscans - orfeo'
click $((GX + GW - 11 - 30)) $((GY + GH - 11 - 10))
wait_until windows_are 'Orfeo|Problems' || fail "no Problems window after Stop, windows: $(windows)"
{ atspi text Problems Problems && labels Problems; } >"$work/problems-stopped.txt" || fail "the Problems window cannot be read"
grep -q 'Stopped' "$work/problems-stopped.txt" && fail "the Problems window lists the stop's word: $(cat "$work/problems-stopped.txt")"
grep -qE '^[0-9]+ of [0-9]+ pages started (was|were) not written; [0-9]+ pages were not started\.$' "$work/problems-stopped.txt" ||
  fail "the Problems window does not count the pages not started: $(cat "$work/problems-stopped.txt")"
shot problems-stopped '^Problems$'
key Return
expect_windows 'Orfeo|orfeo'
[[ "$(labels orfeo)" =~ ^Stopped:\ [0-9]+\ of\ 400\ scans\ written\.$ ]] || fail "the stop's box says '$(labels orfeo)'"
shot stopped '^orfeo$'
key Return
expect_windows 'Orfeo|orfeo'
[ "$(labels orfeo)" = "Processing ended." ] || fail "the closing message says '$(labels orfeo)'"
key Return
expect_windows 'Orfeo'

step "A page that crashes its decoder costs only itself: its message, the closing one, the other pages written"
choose_by_keys open hostile
click_main back
expect_windows 'Orfeo|orfeo'
expect_active 'orfeo'
shot hostile-page '^orfeo$'
first_box=$(xdotool getactivewindow)
click_ok
# The count of pages not written, then the closing message, each a box of its own.
wait_until another_box_than "$first_box" || fail "no count after the hostile page's message"
expect_windows 'Orfeo|orfeo'
[ "$(labels orfeo)" = "1 of 4 pages was not written." ] || fail "after the hostile page's message: '$(labels orfeo)'"
count_box=$(xdotool getactivewindow)
click_ok
wait_until another_box_than "$count_box" || fail "no closing message after the count"
expect_windows 'Orfeo|orfeo'
[ "$(labels orfeo)" = "Processing ended." ] || fail "the closing message says '$(labels orfeo)'"
shot hostile-closing '^orfeo$'
click_ok
expect_windows 'Orfeo'
[ "$(count_files "$home/hostile/pics")" -eq 3 ] || fail "expected the 3 other back subscans, found $(ls "$home/hostile/pics")"
[ -e "$home/hostile/pics/page2x.pbm" ] && fail "the hostile page was written"

step "A book with 30 bad pages of 40, got through in a few keys: Show the rest at the end, Problems, OK"
choose_by_keys open problems
click_main back
expect_windows 'Orfeo|orfeo'
expect_active 'orfeo'
shot problem-box '^orfeo$'
atspi unnamed orfeo || fail "the problem's box has controls without a name"
xdotool mousemove 1 1   # the pointer off the box, so that it cannot take the keys' focus away
sleep 0.3
key Tab space   # from OK to "Show the rest at the end"
wait_until windows_are 'Orfeo|Problems' || fail "no Problems window after Show the rest at the end, windows: $(windows)"
expect_active 'Problems'
shot problems '^Problems$'
atspi unnamed Problems || fail "the Problems window has controls without a name"
{ atspi text Problems Problems && labels Problems; } >"$work/problems-window.txt" || fail "the Problems window cannot be read"
key alt+v   # the viewer on the first problem's page
expect_windows 'Orfeo|Problems|View: page001.tif (1 of 40)'
key Escape
expect_windows 'Orfeo|Problems'
expect_active 'Problems'
sleep 0.3
key Return
wait_until windows_are 'Orfeo|orfeo' || fail "no closing message after the Problems window"
[ "$(labels orfeo)" = "Processing ended." ] || fail "the closing message says '$(labels orfeo)'"
click_ok
expect_windows 'Orfeo'
[ "$(count_files "$home/problems/pics")" -eq 10 ] || fail "expected 10 pages written, found $(count_files "$home/problems/pics")"
# The command line says the same of the same book: every problem in order, then the count.
"$cli_bin" back "$home/problems" >/dev/null 2>"$work/problems-cli.txt"
diff "$work/problems-cli.txt" "$work/problems-window.txt" >&2 || fail "the Problems window and orfeo-cli differ"

step "Stop on a problem's box stops the run at once: no other problem's box, the stop's word, then the end"
click_main back
expect_windows 'Orfeo|orfeo'
expect_active 'orfeo'
xdotool mousemove 1 1
sleep 0.3
previous=$(xdotool getactivewindow)
key Tab Tab space   # from OK past "Show the rest at the end" to "Stop"
said=()
for _ in $(seq 8); do
  # The next box, if one comes within two seconds.
  for _ in $(seq 20); do another_box_than "$previous" && break; sleep 0.1; done
  another_box_than "$previous" || break
  previous=$(xdotool getactivewindow)
  said+=("$(labels orfeo)")
  [ ${#said[@]} -eq 1 ] && shot stop-on-box '^orfeo$'
  key Return
done
expect_windows 'Orfeo'
# Two boxes: the stop's word with what the pages in hand said, and the closing message; no problem's box.
[ "${#said[@]}" -eq 2 ] && [ "${said[1]}" = "Processing ended." ] ||
  fail "after Stop the boxes said: $(printf '[%s] ' "${said[@]}")"
[[ ${said[0]} == "Stopped: 0 of 40 scans written."$'\n'*" started "*" not written; "*" not started."* ]] ||
  fail "the stop's box says '${said[0]}'"

step "A book 20 folders deep, chosen by keys alone"
click_main open
expect_active 'Open Folder'
key Up Right
xdotool type --delay 60 deep
key $(printf 'Right %.0s' $(seq 40))   # into each folder: one press opens it, the next goes in
sleep 0.3
[ "$(atspi text 'Open Folder' 'Folder:')" = "$deep" ] || fail "the chooser shows '$(atspi text 'Open Folder' 'Folder:')', not the deepest folder"
shot chooser-deep '^Open Folder$'
key Return
expect_windows 'Orfeo'
[ "$(atspi text Orfeo 'Input:')" = "$deep/" ] || fail "Input says '$(atspi text Orfeo 'Input:')'"
click_main back
expect_windows 'Orfeo|orfeo'
key Return
expect_windows 'Orfeo'
[ "$(count_files "$deep/pics")" -eq 1 ] || fail "the deep book's page was not written"

step "After Cancel in the New folder dialog the tree takes typed names: stack, not the highlighted spare"
click_main open
expect_active 'Open Folder'
key Up Right
xdotool type --delay 60 spare
click_chooser create
expect_active 'New folder'
atspi unnamed 'New folder' || fail "the New folder dialog has controls without a name"
key Escape
expect_windows 'Open Folder|Orfeo'
expect_active 'Open Folder'
xdotool type --delay 60 stack
key Return
expect_windows 'Orfeo'
[ "$(atspi text Orfeo 'Input:')" = "$home/stack/" ] || fail "Input says '$(atspi text Orfeo 'Input:')', not stack"

step "A path typed into the chooser from the home folder, ~/book2 (Shift+Tab from the tree reaches its field)"
click_main open2
expect_active 'Open Folder'
atspi unnamed 'Open Folder' || fail "the chooser has controls without a name"
key shift+Tab ctrl+a
xdotool type --delay 20 "~/book2"
key Return
expect_windows 'Orfeo'
[ "$(atspi text Orfeo 'Input 2:')" = "$home/book2/" ] || fail "'~/book2' typed: Input 2 says '$(atspi text Orfeo 'Input 2:')'"

step "Enter answers each of 14 boxes at once, with the pointer resting where they appear; the count comes before the end"
choose_by_keys open enter
click_main back
geometry '^Orfeo$'
xdotool mousemove $((GX + GW / 2)) $((GY + GH / 2))
previous=""
for box in $(seq 14); do
  wait_until another_box_than "$previous" || fail "box $box did not come"
  previous=$(xdotool getactivewindow)
  if [ "$box" -eq 13 ]; then
    [ "$(labels orfeo)" = "12 of 12 pages were not written." ] || fail "box 13 says '$(labels orfeo)', not the count"
  fi
  key Return
  wait_until test "$(xdotool getactivewindow 2>/dev/null)" != "$previous" ||
    fail "box $box ignored Enter, though it was the active window"
done
expect_windows 'Orfeo'

step "Escape ends the program"
expect_active 'Orfeo'
key Escape
wait_until bash -c "! kill -0 $orfeo_pid 2>/dev/null" || fail "orfeo did not end"
wait "$orfeo_pid"
status=$?
[ "$status" -eq 0 ] || fail "orfeo ended with status $status"

step "At 150 % on the 1280 x 800 screen every window opens inside it: main window, chooser, checks, viewers, Problems"
HOME=$home QT_SCALE_FACTOR=1.5 "$orfeo_bin" >"$work/orfeo.log" 2>&1 &
orfeo_pid=$!
pids+=("$orfeo_pid")
expect_windows 'Orfeo'
expect_active 'Orfeo'
expect_inside_screen '^Orfeo$'
shot main-window-150 '^Orfeo$'
click_main open
expect_active 'Open Folder'
expect_inside_screen '^Open Folder$'
shot chooser-150 '^Open Folder$'
key Up Right
xdotool type --delay 60 numbers
key Return
expect_windows 'Orfeo'
drag_onto_main lower "$home/numbers2"
wait_until test "$(atspi text Orfeo 'Input 2:')" = "$home/numbers2/" || fail "the drop at 150 % did not choose folder 2"
for job in check:'Check: Create back subscans' check2:'Check: Merge subscans'; do
  click_main "${job%%:*}"
  wait_until check_ready "${job#*:}" || fail "'${job#*:}' showed no plan at 150 %"
  expect_inside_screen "^${job#*:}$"
  shot "check-${job%%:*}-150" "^${job#*:}$"
  key Return
  wait_until window_id '^View: page1.tif' >/dev/null || fail "no viewer from '${job#*:}' at 150 %"
  expect_active 'View: page1.tif (1 of 12)'
  expect_inside_screen '^View: page1.tif'
  sleep 1
  shot "viewer-${job%%:*}-150" '^View: page1.tif'
  key Escape Escape
  expect_windows 'Orfeo'
done
choose_by_keys open problems
click_main back
expect_windows 'Orfeo|orfeo'
expect_inside_screen '^orfeo$'
shot problem-box-150 '^orfeo$'
xdotool mousemove 1 1
sleep 0.3
key Tab space
wait_until windows_are 'Orfeo|Problems' || fail "no Problems window at 150 %, windows: $(windows)"
expect_inside_screen '^Problems$'
shot problems-150 '^Problems$'
key Return
expect_windows 'Orfeo|orfeo'
key Return
expect_windows 'Orfeo'
key Escape
wait_until bash -c "! kill -0 $orfeo_pid 2>/dev/null" || fail "orfeo did not end"
echo "The journey went through."
