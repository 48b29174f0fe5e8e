#!/usr/bin/env bash
# tavelin-flash beside the window, on bench ECUs over canhub:
#   same requests  the frames sent to the ECU (0x18DA22F9) by a window run
#                  (tavelin-demo-driver, headless) and by a tavelin-flash run,
#                  for the same ECU and file, compared byte for byte
#   parallel       two ECUs on two hubs programmed by two tavelin-flash
#                  processes at once, against each alone
# Usage: bench/flash_bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin="$(cd "$build/bin" && pwd)"
work=$(mktemp -d /tmp/tavelin_flash_bench.XXXXXX)
pids=() ecus=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT

"$bin/hx1pack" --make-image 16384 -o "$work/img.bin"
"$bin/hx1pack" --hwid 12345 --in "$work/img.bin" --base 0x8000 -o "$work/fw.hx1"

hub() {  # DIR [canhub options]: starts a hub, writes DIR/url
  local dir=$1; shift
  mkdir -p "$dir"
  "$bin/canhub" --listen 127.0.0.1:0 "$@" > "$dir/hub.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 200); do grep -qs "listening on" "$dir/hub.log" && break; sleep 0.05; done
  echo "socketcand://127.0.0.1:$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$dir/hub.log")/vcan0" > "$dir/url"
}
# Each run's ECU restarts into its application: the next run needs a fresh one.
stop_ecus() { kill "${ecus[@]}"; wait "${ecus[@]}" 2>/dev/null || true; ecus=(); }
ecu() {  # DIR: a fresh bench ECU on DIR's hub, switched on by the first capture request
  "$bin/ecusim" --bus "$(cat "$1/url")" --power off --power-on-after-capture 100 --set seed=0x1234 \
    > "$1/ecu.out" 2> "$1/ecu.log" &
  pids+=($!)
  ecus+=($!)
  for _ in $(seq 1 200); do grep -qs "on the bus" "$1/ecu.log" && break; sleep 0.05; done
}
flash() {  # DIR: tavelin-flash in DIR on its hub
  (cd "$1" && TAVELIN_BUS="$(cat url)" "$bin/tavelin-flash" "$work/fw.hx1" 2> run.log) ||
    { echo "tavelin-flash failed in $1"; exit 1; }
}
requests() {  # PCAP: the data of every frame to the ECU, one line each
  python3 - "$1" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read(); o = 24
while o + 16 <= len(b):
    n = struct.unpack_from("<I", b, o + 8)[0]; rec = b[o + 16:o + 16 + n]; o += 16 + n
    if struct.unpack_from(">I", rec, 0)[0] & 0x1FFFFFFF == 0x18DA22F9:
        print(rec[8:8 + rec[4]].hex())
PY
}

hub "$work/window" --pcap "$work/window/bus.pcap"; ecu "$work/window"
(cd "$work/window" && TAVELIN_BUS="$(cat url)" QT_QPA_PLATFORM=offscreen "$bin/tavelin-demo-driver" \
   --file "$work/fw.hx1" > trace.log 2> driver.log) || { echo "the window run failed"; exit 1; }
hub "$work/cli" --pcap "$work/cli/bus.pcap"; ecu "$work/cli"
flash "$work/cli"
kill "${pids[@]}"; wait "${pids[@]}" 2>/dev/null || true; pids=() ecus=()
requests "$work/window/bus.pcap" > "$work/window.req"
requests "$work/cli/bus.pcap" > "$work/cli.req"
if cmp -s "$work/window.req" "$work/cli.req"; then
  echo "same requests: $(wc -l < "$work/cli.req") frames to the ECU, equal for the window and tavelin-flash"
else
  echo "same requests: DIFFERENT"; diff "$work/window.req" "$work/cli.req" | head -n 20; exit 1
fi

now() { date +%s.%N; }
hub "$work/a"; hub "$work/b"
ecu "$work/a"; t=$(now); flash "$work/a"; alone_a=$(echo "$(now) - $t" | bc)
ecu "$work/b"; t=$(now); flash "$work/b"; alone_b=$(echo "$(now) - $t" | bc)
stop_ecus; ecu "$work/a"; ecu "$work/b"
t=$(now); flash "$work/a" & fa=$!; flash "$work/b" & fb=$!; wait $fa $fb; both=$(echo "$(now) - $t" | bc)
printf 'parallel: 16 KiB each, %.1f s and %.1f s alone (%.1f s in sequence), %.1f s both at once\n' \
  "$alone_a" "$alone_b" "$(echo "$alone_a + $alone_b" | bc)" "$both"
