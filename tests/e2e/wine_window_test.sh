#!/usr/bin/env bash
# The real window built for Windows, under Wine and Xvfb, programs the Linux
# bench ECU: tavelin-demo-driver.exe -> brivex.dll -> the stand-in
# PCANBasic.dll (Winsock) -> canhub on 127.0.0.1 -> ecusim. Passes when the
# run ends with "Programming succeeded", the ECU's memory equals the file,
# history.csv holds the run's line, hyst.dat names the file chosen (written
# through QSaveFile's replacing rename), and hx1pack.exe wrote the same file as
# the Linux hx1pack, and tavelin-flash.exe programs a second ECU; all with
# the adapter maker's conventions (the window's) on a bus held
# in a warning state, and the address claim never stopping for long. Leaves
# the screenshots in WINBUILD/wine-window/.
#   wine_window_test.sh WINBUILD LINUXBIN [WINE] [INSTALLER]
# With INSTALLER (the NSIS installer), the same run goes through what a
# technician installs, in WINBUILD/wine-install/ on a fresh prefix: a silent
# install, the adapter library placed in the system folder as the maker's
# driver package does, the program started from its Start-menu shortcut (no
# standard output: its trace must reach trace.log in the data folder), the
# run in that data folder with the installed DLLs, and a silent uninstall
# that removes the program and keeps the data.
# WINE is the Wine loader CMake found; without it the first of wine, wine64
# and Debian's /usr/lib/wine/wine64 (package wine64, which puts no command on
# PATH). No Wine fails the test: it is never skipped.
set -euo pipefail
win=$1
lin=$2
wine=${3:-}
installer=${4:-}
if [ -z "$wine" ] || [ ! -x "$wine" ]; then
  wine=$(command -v wine || command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || true)
fi
if [ -z "$wine" ]; then
  echo "wine_window_test: FAILED: no Wine found (wine, wine64, /usr/lib/wine/wine64): install Debian's wine64 (scripts/windows does)"
  exit 1
fi
# wineserver lives beside the loader in Debian's package.
wineserver=$(dirname "$(readlink -f "$wine")")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)
# A display of its own (xvfb-run picks a free one and waits for it), unless one is given.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$0" "$@"
fi
export WINEDEBUG=${WINEDEBUG:--all}
# UTF-8 file names on the Linux side whatever CI's locale (Wine reads them
# by it); the Windows side keeps its 8-bit code page, 1252.
export LC_ALL=C.UTF-8
if [ -n "$installer" ]; then
  [ -f "$installer" ] || { echo "wine_window_test: FAILED: no installer $installer (scripts/windows makes it)"; exit 1; }
  base=$win/wine-install
  rm -rf "$base"
  export WINEPREFIX=$base/prefix
else
  base=$win/wine-window
  rm -rf "$base"
  export WINEPREFIX=${WINEPREFIX:-$win/wineprefix}
fi
work=$base
mkdir -p "$work/screenshots"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
fail() { echo "wine_window_test: FAILED: $*"; exit 1; }

# A Wine prefix made before the window starts: its first start takes a while
# and must not overlap the run.
# A Wine session started without this display (a build step's) would host
# the desktop without it: begin a new one.
"$wineserver" -k 2> /dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot --init > "$work/wineboot.log" 2>&1 || true
  "$wineserver" -w
fi

# Xvfb runs no window manager, and Wine then waits 2 s for one each time it
# hides a window it left to the manager (winex11's wait_for_withdrawn_state
# times out): the event loop stops, and with it the 100 ms address claim,
# whenever a message box closes. Windows left unmanaged are hidden at once.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > /dev/null 2>&1 || true
"$wineserver" -w
if [ -n "$installer" ]; then
  user=$(cd "$WINEPREFIX/drive_c/users" && ls -d */AppData 2>/dev/null | grep -v '^Public/' | head -n 1 | cut -d/ -f1)
  [ -n "$user" ] || fail "the new prefix has no user folder"
  home=$WINEPREFIX/drive_c/users/$user
  # Wine links Documents to the Linux home: a folder of the prefix instead.
  [ -L "$home/Documents" ] && rm "$home/Documents"
  mkdir -p "$home/Documents"
  cp "$win/bin/PCANBasic.dll" "$WINEPREFIX/drive_c/windows/system32/PCANBasic.dll"
  "$wine" "$installer" /S > "$work/install.log" 2>&1 || fail "the silent install failed (exit $?)"
  "$wineserver" -w
  instdir=$home/AppData/Local/Programs/Tavelin
  data=$home/Documents/Tavelin
  menu='C:\users\'"$user"'\AppData\Roaming\Microsoft\Windows\Start Menu\Programs\Tavelin'
  for f in tavelin.exe brivex.dll kwp.dll Qt6Widgets.dll platforms/qwindows.dll imageformats/qico.dll uninstall.exe; do
    [ -f "$instdir/$f" ] || fail "the installer did not install $f"
  done
  [ -d "$data" ] || fail "the installer did not make the data folder Documents\\Tavelin"
  work=$data
  mkdir -p "$work/screenshots"
fi

# The update file, made by both hx1pack builds from one image.
"$lin/hx1pack" --make-image 24576 --seed 7 -o "$work/image.bin"
"$lin/hx1pack" --hwid 12345 --in "$work/image.bin" --base 0x8000 --record-len 32 -o "$work/linux.hx1"
(cd "$work" && "$wine" "$win/bin/hx1pack.exe" --hwid 12345 --in image.bin --base 0x8000 --record-len 32 -o sample.hx1)
cmp "$work/linux.hx1" "$work/sample.hx1" || fail "hx1pack.exe and hx1pack wrote different files"
# Chosen from a folder whose name is outside Windows' 8-bit code page:
# hyst.dat must keep it (UTF-8), not "?".
mkdir -p "$work/файл"
cp "$work/sample.hx1" "$work/файл/sample.hx1"
printf '250\n22\n' > "$work/conf.dat"
printf 'linux.hx1' > "$work/hyst.dat"  # the file remembered; replaced when sample.hx1 is chosen


"$lin/canhub" --listen 127.0.0.1:0 --bitrate 250 --pcap "$work/bus.pcap" > "$work/canhub.log" 2>&1 &
hub=$!
pids+=($hub)
for _ in $(seq 1 200); do grep -q "listening on" "$work/canhub.log" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/canhub.log")
[ -n "$port" ] || fail "canhub did not start: $(cat "$work/canhub.log")"
export TAVELIN_BUS="socketcand://127.0.0.1:$port/vcan0"
"$lin/ecusim" --bus "$TAVELIN_BUS" --power off --power-on-after-capture 1500 \
  --dump "$work/ecu-memory.hex" > "$work/ecusim.out" 2> "$work/ecusim.log" &
ecu=$!
pids=("$ecu" "${pids[@]}")

driver=$win/bin/tavelin-demo-driver.exe
if [ -n "$installer" ]; then
  # Started from the shortcut as a technician starts it (its working folder,
  # no standard handles): the trace goes to trace.log in the data folder.
  "$wine" start "$menu\\Tavelin.lnk" > "$base/start.log" 2>&1 || fail "the shortcut did not start (exit $?)"
  for _ in $(seq 1 600); do
    grep -q 'Connected with' "$data/trace.log" 2> /dev/null && break
    sleep 0.1
  done
  grep -q '^== tavelin started' "$data/trace.log" 2> /dev/null && grep -q 'Connected with' "$data/trace.log" \
    || fail "the program started from its shortcut left no trace.log in its data folder: $(ls "$data")"
  "$wineserver" -k 2> /dev/null || true
  "$wineserver" -w 2> /dev/null || true
  # The driver runs the window on the installed DLLs and plugins.
  cp "$driver" "$instdir/" && driver=$instdir/tavelin-demo-driver.exe
fi

status=0
# The stand-in keeps the adapter maker's conventions here (every read and
# write carries the bus-state bits, status messages are queued, CAN_Reset
# clears queues only), and the bus is held in the heavy warning state for
# the whole run, as an error-laden bus on a real PC reports it. Only the
# window's process gets them: ecusim uses the plain conventions.
(cd "$work" && TAVELIN_PCAN_MAKER=1 TAVELIN_PCAN_BUS_STATE=heavy "$wine" "$driver" \
   --bus-states "BUS HEAVY" --file "файл/sample.hx1" --shots screenshots --limit 600 \
   > tavelin-trace.log 2> driver.log) || status=$?
kill -TERM "$ecu" 2>/dev/null || true
wait "$ecu" 2>/dev/null || true
cat "$work/ecusim.out"
grep '^demo:' "$work/driver.log" | tail -n 5 || true
[ "$status" -eq 0 ] || fail "the window's run did not succeed (exit $status; see $work)"
grep -q '^demo: bus BUS HEAVY' "$work/driver.log" || fail "the window did not show BUS HEAVY"
grep '^:' "$work/sample.hx1" > "$work/sample-records.hex"
srec_cmp "$work/ecu-memory.hex" -intel "$work/sample-records.hex" -intel > /dev/null 2>&1 \
  || fail "the ECU's memory differs from sample.hx1"
[ -s "$work/history.csv" ] && tail -n 1 "$work/history.csv" | grep -q 'Programming succeeded' \
  || fail "history.csv has no line for the run"
grep -q 'файл.sample\.hx1$' "$work/hyst.dat" 2> /dev/null || fail "hyst.dat does not name the file chosen: $(cat "$work/hyst.dat")"
ls "$work"/screenshots/*.png > /dev/null 2>&1 || fail "no screenshot was saved"
# The address claim goes on while the capture's first box is open and after
# it closes, until the capture ends (the window's event loop never stops):
# no gap between two claims near the 2 s a stopped loop leaves.
gap=$(/usr/bin/python3 - "$work/bus.pcap" "$(dirname "$0")" <<'PY'
import sys
sys.path.insert(0, sys.argv[2])
from trc_check import pcap_frames
frames = pcap_frames(sys.argv[1])
# Up to the first request to the ECU: the claim pauses, by design, while
# the ECU is identified and programmed.
end = next((t for t, can_id, _ in frames if can_id == 0x18DA22F9), float('inf'))
claims = [t for t, can_id, _ in frames if can_id == 0x18EEFFF9 and t < end]
print(int(max((b - a for a, b in zip(claims, claims[1:])), default=0) * 1000))
PY
)
[ "$gap" -lt 1500 ] || fail "the address claim stopped for $gap ms"
if [ -z "$installer" ]; then
  # tavelin-flash.exe on the same bench: an ECU already in its bootloader,
  # programmed from the command line, its result the last JSON line.
  fl=$work/flash
  mkdir -p "$fl"
  cp "$work/sample.hx1" "$fl/"
  printf '250\n22\n' > "$fl/conf.dat"
  "$lin/ecusim" --bus "$TAVELIN_BUS" --power boot --dump "$fl/ecu-memory.hex" > "$fl/ecusim.out" 2> "$fl/ecusim.log" &
  ecu=$!
  pids=("$ecu" "${pids[@]}")
  frc=0
  (cd "$fl" && "$wine" "$win/bin/tavelin-flash.exe" --json --capture-timeout 60 sample.hx1 > result.json 2> flash.log) || frc=$?
  kill -TERM "$ecu" 2> /dev/null || true
  wait "$ecu" 2> /dev/null || true
  [ "$frc" -eq 0 ] && tail -n 1 "$fl/result.json" | grep -q '"outcome":"programmed"' \
    || fail "tavelin-flash.exe did not program the ECU (exit $frc): $(tail -n 1 "$fl/result.json") $(tail -n 2 "$fl/flash.log")"
  srec_cmp "$fl/ecu-memory.hex" -intel "$work/sample-records.hex" -intel > /dev/null 2>&1 \
    || fail "the ECU's memory differs from sample.hx1 after tavelin-flash.exe"
  tail -n 1 "$fl/history.csv" | grep -q 'Programming succeeded' || fail "tavelin-flash.exe wrote no history line"
  # The first-hour check on this "PC": the library found and its version,
  # the channel, the timer, the folder.
  (cd "$fl" && "$wine" "$win/bin/tavelin-flash.exe" --check > check.json 2> check.log) \
    && grep -q '^adapter library: .*PCANBasic.dll (API version ' "$fl/check.log" \
    || fail "tavelin-flash.exe --check: $(cat "$fl/check.log")"
fi
# The run's bus log, written by brivex.dll: named in the history line,
# read by python-can, with the frames canhub saw (the pcap whole once the
# hub has ended).
log=$(tail -n 1 "$work/history.csv" | awk -F, '{print $NF}')
[ -n "$log" ] && [ -s "$work/$log" ] || fail "the history line names no bus log: $(tail -n 1 "$work/history.csv")"
kill -TERM "$hub" 2> /dev/null || true
wait "$hub" 2> /dev/null || true
/usr/bin/python3 "$(dirname "$0")/trc_check.py" "$work/$log" "$work/bus.pcap" || fail "the bus log $log differs from the bus"
if [ -n "$installer" ]; then
  rm "$driver"
  "$wine" "$instdir/uninstall.exe" /S > "$base/uninstall.log" 2>&1 || fail "the silent uninstall failed (exit $?)"
  "$wineserver" -w
  [ ! -e "$instdir" ] || fail "the uninstall left the program folder: $(cd "$instdir" && find . | head)"
  [ ! -e "$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Tavelin" ] \
    || fail "the uninstall left the Start-menu folder"
  [ -s "$data/history.csv" ] && [ -s "$data/conf.dat" ] || fail "the uninstall did not keep the data folder"
  echo "wine_window_test: OK - installed, started from the shortcut (trace.log), programmed from the data folder, uninstalled, data kept"
  exit 0
fi
echo "wine_window_test: OK - programmed under Wine, memory equal, history written ($(ls "$work"/screenshots | wc -l) screenshots)"
