#!/usr/bin/env bash
# Programming throughput over canhub paced at 250 kbit/s: images of 16 KiB and
# 64 KiB at block lengths 128, 256 and 1024, each programmed by the real window
# (headless), once at the default block interval of 100 ms and once at 0
# (conf.dat's third line). Per case it prints:
#   bytes/s   from the first 36 request to the last answer (canhub's pcap log)
#   vs wire   against the wire limit of the bus (160 bits a 29-bit frame at
#             250 kbit/s, counting the first frame, consecutive frames, flow
#             control and answer of each block)
#   vs tick   against one block per 100 ms sequence tick
#   cpu %     the tool's user + system CPU time over the run's wall time (from
#             Update to the run's end), in percent of one core
# Usage: bench/programming_bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin="$(cd "$build/bin" && pwd)"
work=$(mktemp -d /tmp/tavelin_prog_bench.XXXXXX)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
printf '%-8s %-8s %-6s %10s %9s %9s %7s\n' interval image block "bytes/s" "vs wire" "vs tick" "cpu %"
for interval in 100 0; do
  for size in 16384 65536; do
    "$bin/hx1pack" --make-image "$size" -o "$work/img.bin"
    "$bin/hx1pack" --hwid 12345 --in "$work/img.bin" --base 0x8000 --record-len 32 -o "$work/fw.hx1"
    for block in 128 256 1024; do
      case="$work/case-$interval-$size-$block"
      mkdir -p "$case"
      printf '250\n22\n%s\n' "$interval" > "$case/conf.dat"
      "$bin/canhub" --listen 127.0.0.1:0 --bitrate 250 --pcap "$case/bus.pcap" > "$case/hub.log" 2>&1 &
      hub=$!
      for _ in $(seq 1 200); do grep -q "listening on" "$case/hub.log" && break; sleep 0.05; done
      port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$case/hub.log")
      url="socketcand://127.0.0.1:$port/vcan0"
      "$bin/ecusim" --bus "$url" --power boot --set block_length=$block > "$case/ecu.out" 2> "$case/ecu.log" &
      ecu=$!
      (cd "$case" && TAVELIN_BUS="$url" QT_QPA_PLATFORM=offscreen "$bin/tavelin-demo-driver" --file "$work/fw.hx1" \
         > trace.log 2> driver.log) || { echo "case $interval/$size/$block failed: see $case"; trap - EXIT; exit 1; }
      kill -TERM "$ecu" "$hub"; wait "$ecu" "$hub" 2>/dev/null || true
      cpu=$(sed -n 's/.*run: .*(\([0-9.]*\) % of one core).*/\1/p' "$case/driver.log")
      /usr/bin/python3 - "$case/bus.pcap" "$size" "$block" "$interval" "${cpu:-nan}" <<'PY'
import math, struct, sys
path, size, block, interval, cpu = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], float(sys.argv[5])
data = open(path, "rb").read()
first = last = None
off = 24
while off + 16 <= len(data):
    sec, usec, incl, _ = struct.unpack_from("<IIII", data, off)
    rec = data[off + 16: off + 16 + incl]
    off += 16 + incl
    can_id = struct.unpack_from(">I", rec, 0)[0] & 0x1FFFFFFF
    d = rec[8:8 + rec[4]]
    t = sec + usec / 1e6
    if can_id == 0x18DA22F9 and len(d) >= 3 and d[0] >> 4 == 1 and d[2] == 0x36 and first is None:
        first = t
    if can_id == 0x18DAF922 and len(d) >= 2 and d[1] == 0x76:
        last = t
rate = size / (last - first)
tick = block / 0.1
frames = 1 + math.ceil((block + 5 - 6) / 7) + 2
wire = block / (frames * 160 / 250000)
print(f"{interval + ' ms':<8} {size // 1024:>4} KiB {block:>6} {rate:>10.0f} {rate / wire:>9.3f} {rate / tick:>9.3f} {cpu:>7.1f}")
PY
    done
  done
done
