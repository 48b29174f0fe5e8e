"""python-can's socketcand interface and our platform layer exchange frames
through canhub: a 29-bit frame each way."""
import os
import subprocess
import sys
import time
import unittest

import can

sys.path.insert(0, os.path.dirname(__file__))
from bench import Bench  # noqa: E402

BIN = os.environ["TAVELIN_BIN"]


class InteropTest(unittest.TestCase):
    def test_frames_both_ways(self):
        bench = Bench(BIN, ecu=False)
        try:
            bus = can.Bus(interface="socketcand", host="127.0.0.1", port=bench.port, channel="vcan0")
            time.sleep(0.3)
            # ecusim is a client of our layer: it answers TesterPresent in the bootloader.
            bench.start_ecu("--power", "boot")
            time.sleep(0.3)
            bus.send(can.Message(arbitration_id=0x18DA22F9, data=[1, 0x3E, 0, 0, 0, 0, 0, 0], is_extended_id=True))
            answer = None
            end = time.monotonic() + 10
            while answer is None and time.monotonic() < end:
                m = bus.recv(0.2)
                if m is not None and m.arbitration_id == 0x18DAF922:
                    answer = m
            self.assertIsNotNone(answer, "our layer's frame never reached python-can")
            self.assertTrue(answer.is_extended_id)
            self.assertEqual(bytes(answer.data[:2]), bytes([1, 0x7E]))
            bus.shutdown()
        finally:
            bench.close()


if __name__ == "__main__":
    unittest.main()
