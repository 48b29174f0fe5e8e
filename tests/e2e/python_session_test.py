"""An independent tester (python-can's socketcand client) drives ecusim
through canhub: capture, identification, security access, erase, a
multi-frame transfer, checksum and reset; the ECU's dump must equal what
srec_cat reads from the same update file."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

import can

sys.path.insert(0, os.path.dirname(__file__))
from bench import Bench, wait_for  # noqa: E402

BIN = os.environ["TAVELIN_BIN"]
REQ, RESP, BCAST = 0x18DA22F9, 0x18DAF922, 0x18DAFFF9


class Tester:
    def __init__(self, port):
        self.bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel="vcan0")
        time.sleep(0.3)  # canhub holds traffic right after rawmode

    def frame(self, ident, data):
        self.bus.send(can.Message(arbitration_id=ident, data=bytes(data), is_extended_id=True))

    def recv(self, timeout=3.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            m = self.bus.recv(0.1)
            if m is not None and m.arbitration_id == RESP:
                return bytes(m.data)
        return None

    def request(self, msg, timeout=3.0):
        msg = bytes(msg)
        if len(msg) <= 7:
            self.frame(REQ, bytes([len(msg)]) + msg + b"\xFF" * (7 - len(msg)))
        else:
            self.frame(REQ, bytes([0x10 | len(msg) >> 8, len(msg) & 0xFF]) + msg[:6])
            fc = self.recv()
            assert fc is not None and fc[0] == 0x30, fc
            seq, i = 1, 6
            while i < len(msg):
                chunk = msg[i:i + 7]
                self.frame(REQ, bytes([0x20 | seq]) + chunk + b"\xFF" * (7 - len(chunk)))
                time.sleep(0.002)  # python-can's client drops frames that arrive split
                seq, i = (seq + 1) & 0xF, i + 7
        answer = self.recv(timeout)
        assert answer is not None, "no answer to " + msg.hex()
        n = answer[0]
        assert 1 <= n <= 7, answer.hex()
        return answer[1:1 + n]


def srec_image(path):
    """Bytes by address, as srec_cat reads the update file's records."""
    with tempfile.TemporaryDirectory() as d:
        recs = os.path.join(d, "r.hex")
        with open(path) as f, open(recs, "w") as o:
            o.writelines(l for l in f if l.startswith(":"))
        out = os.path.join(d, "o.hex")
        subprocess.run(["srec_cat", recs, "-intel", "-o", out, "-intel", "-obs=16"], check=True)
        return intel_bytes(out)


def intel_bytes(path):
    mem, base = {}, 0
    for line in open(path):
        line = line.strip()
        if not line.startswith(":"):
            continue
        b = bytes.fromhex(line[1:])
        n, off, typ = b[0], b[1] << 8 | b[2], b[3]
        if typ == 0:
            for i in range(n):
                mem[base + off + i] = b[4 + i]
        elif typ == 4:
            base = (b[4] << 8 | b[5]) << 16
        elif typ == 2:
            base = (b[4] << 8 | b[5]) << 4
    return mem


class PythonSessionTest(unittest.TestCase):
    def test_whole_session(self):
        with tempfile.TemporaryDirectory() as d:
            img = os.path.join(d, "img.bin")
            hx1 = os.path.join(d, "img.hx1")
            dump = os.path.join(d, "dump.hex")
            subprocess.run([os.path.join(BIN, "hx1pack"), "--make-image", "3000", "-o", img], check=True)
            subprocess.run([os.path.join(BIN, "hx1pack"), "--hwid", "12345", "--in", img, "--base", "0x1F000",
                            "--ext", "02", "--record-len", "16", "-o", hx1], check=True)
            bench = Bench(BIN, ecu_args=("--power", "off", "--power-on-after-capture", "200", "--dump", dump))
            try:
                t = Tester(bench.port)
                # Capture: broadcast until the ECU answers TesterPresent.
                captured = False
                end = time.monotonic() + 20
                while not captured and time.monotonic() < end:
                    t.frame(BCAST, [0x07, 0x80, 0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69])
                    t.frame(REQ, [0x01, 0x3E, 0, 0, 0, 0, 0, 0])
                    a = t.recv(0.1)
                    captured = a is not None and a[1] == 0x7E
                self.assertTrue(captured, "ECU never answered TesterPresent")
                ident = [t.request([0x22, 0xFF, n, 0, 0]) for n in range(7)]
                self.assertEqual(ident[0], bytes([0x62, 0xFF, 0, 0x39, 0x30, 0, 0]))
                self.assertEqual(ident[6][3:5], bytes([0x00, 0x01]))  # block length 256
                seed = t.request([0x27, 0x01])
                self.assertEqual(seed[:2], bytes([0x67, 0x01]))
                self.assertEqual(t.request([0x27, 0x02, ~seed[3] & 0xFF, ~seed[2] & 0xFF, 0, 0, 0]), bytes([0x67, 0x02]))
                self.assertEqual(t.request([0x10, 0x85]), bytes([0x50, 0x85]))
                self.assertEqual(t.request([0x31, 0x10]), bytes([0x71, 0x10]))
                while True:
                    r = t.request([0x33, 0x10])
                    if r != bytes([0x7F, 0x33, 0x23]):
                        break
                self.assertEqual(r, bytes([0x73, 0x10, 0x00]))
                self.assertEqual(t.request([0x34]), bytes([0x74]))
                data = open(img, "rb").read()
                for off in range(0, len(data), 256):
                    addr = 0x1F000 + off
                    block = data[off:off + 256]
                    self.assertEqual(t.request(bytes([0x36]) + addr.to_bytes(4, "little") + block), bytes([0x76]))
                self.assertEqual(t.request([0x37]), bytes([0x77]))
                cs = sum(data) & 0xFFFF
                self.assertEqual(t.request([0x31, 0x20, cs >> 8, cs & 0xFF]), bytes([0x71, 0x20]))
                self.assertEqual(t.request([0x33, 0x20]), bytes([0x73, 0x20, 0x00]))
                self.assertEqual(t.request([0x11]), bytes([0x51]))
                t.bus.shutdown()
                out, err = bench.stop_ecu()
                self.assertIn("0 framing violations", out)
                self.assertIn("match", out)
                self.assertEqual(intel_bytes(dump), srec_image(hx1))
            except Exception:
                if bench.ecu.poll() is None:
                    print(bench.stop_ecu()[1][-3000:], file=sys.stderr)
                raise
            finally:
                bench.close()


if __name__ == "__main__":
    unittest.main()
