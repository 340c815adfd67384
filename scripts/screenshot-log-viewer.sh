#!/usr/bin/env bash
# Screenshots of the Windows log viewer, run for real under Wine on a virtual X display.
#
#   bash scripts/screenshot-log-viewer.sh [BIN_DIR]
#
# BIN_DIR holds vantorel.dll and kkt-host.exe (default build/windows/bin; build the windows
# preset first). The script
#   1. starts Xvfb and a Wine prefix of its own (build/screenshots/wineprefix, kept between runs),
#   2. makes today's log file with lines in the prefix's ProgramData\Norvander\vantorel folder
#      (through kkt-host with logging on; lines are written directly when the driver logged none,
#      as without DTO10 no register connects), plus an older day's file,
#   3. runs `kkt-host.exe call DoAdditionalAction s:ViewLog` in a Wine desktop window,
#   4. takes build/screenshots/log-viewer.png and checks it is not blank,
#   5. appends a line to today's file, waits two seconds and takes log-viewer-followed.png, which
#      must differ from the first (the window reloads the file it follows),
#   6. closes the window with Escape (killing kkt-host if it does not end) and checks the action
#      reported success.
# Needs xvfb, wine, imagemagick and xdotool (scripts/setup.sh installs them). Not part of the CI
# test run: it takes half a minute and depends on Wine's window handling.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
BIN=${1:-$ROOT/build/windows/bin}
BIN=$(cd "$BIN" && pwd)
OUT=$ROOT/build/screenshots
mkdir -p "$OUT"
for f in vantorel.dll kkt-host.exe; do
  [ -f "$BIN/$f" ] || { echo "missing $BIN/$f: build the windows preset first" >&2; exit 2; }
done
for tool in Xvfb wine import compare xdotool; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit 2; }
done

export WINEPREFIX=$OUT/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# ---- display ----
exec 3>"$OUT/.display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$OUT/.display" ] && break; sleep 0.1; done
exec 3>&-
export DISPLAY=:$(cat "$OUT/.display")
echo "display $DISPLAY"

if [ ! -f "$WINEPREFIX/.vantorel-ready" ]; then
  echo "preparing the Wine prefix (once)"
  wineboot -i >/dev/null 2>&1
  touch "$WINEPREFIX/.vantorel-ready"
fi

# ---- log files ----
LOGDIR=$WINEPREFIX/drive_c/ProgramData/Norvander/vantorel
TODAY=$LOGDIR/vantorel_$(date +%Y.%m.%d).log
# Fresh files on every run, so that the picture is always the same.
rm -rf "$LOGDIR"
mkdir -p "$LOGDIR"
cat >"$OUT/make-log.txt" <<'SCENARIO'
setprop LogEnabled b:true
call GetInterfaceRevision
call ConnectEquipment >id s:"<Parameters><Parameter Name=\"LogEnabled\" Value=\"true\"/></Parameters>" >ver
SCENARIO
(cd "$BIN" && wine kkt-host.exe run "$(winepath -w "$OUT/make-log.txt")" >"$OUT/make-log.out" 2>&1) || true
if [ ! -s "$TODAY" ]; then
  echo "the driver logged nothing here (no register connects without DTO10): writing lines"
  for i in $(seq 1 20); do
    printf '%s\tINFO\tТестовая строка %02d: вызов GetInterfaceRevision: \tрезультат 4004\r\n' \
      "$(date '+%Y-%m-%d %H:%M:%S.000')" "$i" >>"$TODAY"
  done
fi
printf '%s\tINFO\tВчерашний файл: его не должно быть видно\r\n' "$(date -d yesterday '+%Y-%m-%d %H:%M:%S.000')" \
  >"$LOGDIR/vantorel_$(date -d yesterday +%Y.%m.%d).log"
echo "today's log: $(wc -l <"$TODAY") lines in $TODAY"

# ---- the window ----
(cd "$BIN" && wine explorer /desktop=vantorel,1280x800 kkt-host.exe call DoAdditionalAction s:ViewLog \
  >"$OUT/view-log.out" 2>&1) &
host_pid=$!
pids+=($host_pid)

# The Wine desktop window appears first, the viewer inside it a moment later.
wid=""
for _ in $(seq 60); do
  wid=$(xdotool search --name 'vantorel' 2>/dev/null | head -1 || true)
  [ -n "$wid" ] && break
  sleep 0.5
done
[ -n "$wid" ] || { echo "no window appeared" >&2; cat "$OUT/view-log.out" >&2; exit 1; }
sleep 4

shot() {
  import -window root "$1"
  # A blank screen has no spread of grey values at all.
  convert "$1" -colorspace Gray -format '%[fx:standard_deviation]' info:
}
sd=$(shot "$OUT/log-viewer.png")
echo "screenshot $OUT/log-viewer.png (grey spread $sd)"
awk -v s="$sd" 'BEGIN { exit !(s > 0.02) }' || { echo "the screenshot is blank" >&2; exit 1; }

# ---- the window follows the file ----
printf '%s\tINFO\tСтрока, дописанная при открытом окне\r\n' "$(date '+%Y-%m-%d %H:%M:%S.000')" >>"$TODAY"
sleep 2
shot "$OUT/log-viewer-followed.png" >/dev/null
changed=$(compare -metric AE "$OUT/log-viewer.png" "$OUT/log-viewer-followed.png" null: 2>&1 || true)
echo "screenshot $OUT/log-viewer-followed.png ($changed pixels changed)"
# A line of text is several hundred pixels; a moved scroll bar alone is fewer.
[ "${changed%%.*}" -gt 400 ] 2>/dev/null || { echo "the appended line did not show" >&2; exit 1; }

# ---- close ----
# Wine takes real (XTEST) input only: a click in the log text gives the window the keyboard.
xdotool mousemove 640 450 click 1 sleep 0.5 key Escape 2>/dev/null || true
for _ in $(seq 20); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.5; done
if kill -0 "$host_pid" 2>/dev/null; then
  echo "the window did not close on Escape: ending kkt-host"
  kill "$host_pid" 2>/dev/null || true
  exit 1
fi
if grep -q 'last error: 0\|"code":0' "$OUT/view-log.out" || grep -qi 'result.*true' "$OUT/view-log.out"; then
  echo "ViewLog closed and reported success"
else
  echo "ViewLog output:" && cat "$OUT/view-log.out"
fi
