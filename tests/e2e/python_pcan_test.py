"""python-can's own pcan interface, unmodified, on our libpcanbasic.so over
canhub: two processes each send 2,000 numbered frames and receive the
other's in order; the bus reports a sensible state; after shutdown a second
open in the same process works."""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bench import Bench  # noqa: E402

BIN = os.environ["TAVELIN_BIN"]
COUNT = 2000
MARKER_ID = 0x7F0  # + side: the frame each side sends after opening again


def sanitizer_env(lib):
    """A library built with the sanitizers needs their run-times loaded first
    into python, which was built without; python's own allocations held at
    exit are not leaks of ours."""
    out = subprocess.run(["ldd", lib], capture_output=True, text=True).stdout
    runtimes = [line.split("=>")[1].split()[0] for line in out.splitlines()
                if "=>" in line and ("libasan" in line or "libubsan" in line)]
    if not runtimes:
        return {}
    runtimes.sort(key=lambda path: "libasan" not in path)  # libasan first
    options = os.environ.get("ASAN_OPTIONS", "")
    return {"LD_PRELOAD": ":".join(runtimes), "ASAN_OPTIONS": (options + ":" if options else "") + "detect_leaks=0"}


def numbered(side, n):
    """Frame n of a side: 11- and 29-bit identifiers in turn, 4 to 8 bytes."""
    import can
    extended = n % 2 == 1
    ident = (0x18DA0000 | side << 12 | n) if extended else 0x100 + side * 0x200 + n % 0x200
    data = n.to_bytes(4, "big") + bytes([side] * (n % 5))
    return can.Message(arbitration_id=ident, is_extended_id=extended, data=data)


def open_bus(out):
    import can
    bus = can.Bus(interface="pcan", channel="PCAN_USBBUS1", bitrate=250000)
    # CAN_Initialize returns while the link to the hub may still be coming up.
    end = time.monotonic() + 10
    while bus.status_string() != "OK" and time.monotonic() < end:
        time.sleep(0.01)
    print("status", bus.status_string(), "state", bus.state.name, file=out, flush=True)
    return bus


def peer(side):
    """One process: runs with libpcanbasic.so on its library path."""
    import can
    other = 1 - side
    out = sys.stdout
    bus = open_bus(out)
    print("ready", file=out, flush=True)
    assert sys.stdin.readline().strip() == "go"
    for n in range(COUNT):
        bus.send(numbered(side, n))
    got, last_time, end = 0, 0.0, time.monotonic() + 60
    while got < COUNT and time.monotonic() < end:
        m = bus.recv(0.5)
        if m is None:
            continue
        want = numbered(other, got)
        if (m.is_error_frame or m.arbitration_id != want.arbitration_id
                or m.is_extended_id != want.is_extended_id or bytes(m.data) != bytes(want.data)
                or m.timestamp < last_time):
            print(f"frame {got}: got {m}, wanted {want}", file=out, flush=True)
            return 1
        last_time = m.timestamp
        got += 1
    print("received", got, file=out, flush=True)
    bus.shutdown()

    # Open again in the same process; each side repeats its marker until it
    # hears the other's, then sends it once more for a peer that opened later.
    bus = open_bus(out)
    heard, end = False, time.monotonic() + 30
    while not heard and time.monotonic() < end:
        bus.send(can.Message(arbitration_id=MARKER_ID + side, is_extended_id=False, data=b"again"))
        m = bus.recv(0.1)
        heard = m is not None and m.arbitration_id == MARKER_ID + other
    bus.send(can.Message(arbitration_id=MARKER_ID + side, is_extended_id=False, data=b"again"))
    print("reopened", "heard peer" if heard else "peer not heard", file=out, flush=True)
    bus.shutdown()
    return 0


class PcanInterfaceTest(unittest.TestCase):
    def test_two_processes_exchange_numbered_frames_and_reopen(self):
        bench = Bench(BIN, ecu=False)
        procs = []
        try:
            env = dict(os.environ, LD_LIBRARY_PATH=BIN, TAVELIN_BUS=bench.url,
                       **sanitizer_env(os.path.join(BIN, "libpcanbasic.so")))
            for side in (0, 1):
                procs.append(subprocess.Popen(
                    [sys.executable, "-W", "ignore", __file__, "--peer", str(side)], env=env,
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
            for p in procs:
                status = p.stdout.readline().split()
                self.assertEqual(status, ["status", "OK", "state", "ACTIVE"], p.stderr.read() if not status else "")
                self.assertEqual(p.stdout.readline().strip(), "ready")
            for p in procs:
                p.stdin.write("go\n")
                p.stdin.flush()
            for p in procs:
                out, err = p.communicate(timeout=150)
                self.assertEqual(p.returncode, 0, out + err)
                self.assertEqual(out.splitlines(), [f"received {COUNT}", "status OK state ACTIVE",
                                                    "reopened heard peer"], err)
        finally:
            for p in procs:
                if p.poll() is None:
                    p.kill()
                    p.communicate()
            bench.close()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--peer":
        import logging
        logging.disable(logging.WARNING)  # python-can warns of a missing optional module
        sys.exit(peer(int(sys.argv[2])))
    unittest.main()
