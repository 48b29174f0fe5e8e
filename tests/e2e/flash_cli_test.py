"""tavelin-flash against ecusim on canhub: one case per exit status the bench
can produce, each checking the status, the last JSON line, what the ECU
holds and the history line."""
import csv
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from bench import Bench, wait_for  # noqa: E402
from python_session_test import intel_bytes  # noqa: E402

BIN = os.environ["TAVELIN_BIN"]
FLASH = os.path.join(BIN, "tavelin-flash")


class FlashCli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavelin-flash-")
        self.img = os.path.join(self.dir, "img.bin")
        subprocess.run([os.path.join(BIN, "hx1pack"), "--make-image", "4096", "-o", self.img], check=True)
        self.bench = None

    def tearDown(self):
        if self.bench:
            self.bench.close()

    def hx1(self, hwid=12345):
        out = os.path.join(self.dir, f"fw{hwid}.hx1")
        subprocess.run([os.path.join(BIN, "hx1pack"), "--hwid", str(hwid), "--in", self.img, "--base", "0x8000",
                        "-o", out], check=True)
        return out

    def start(self, *faults, ecu=True):
        """The bench, its ECU switched on by the first capture request."""
        self.dump = os.path.join(self.dir, "dump.hex")
        self.bench = Bench(BIN, ecu=False)
        if ecu:
            self.bench.start_ecu("--power", "off", "--power-on-after-capture", "100", "--set", "seed=0x1234",
                                 "--dump", self.dump, *faults)

    def flash(self, *args, url=None):
        env = dict(os.environ, TAVELIN_BUS=url or self.bench.url)
        return subprocess.Popen([FLASH, "--json", *args], cwd=self.dir, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def finish(self, p, status):
        out, err = p.communicate(timeout=180)
        self.assertEqual(p.returncode, status, err)
        lines = [json.loads(line) for line in out.splitlines()]  # JSON only: no trace mixed in
        self.assertEqual(lines[-1]["event"], "result")
        self.assertEqual(lines[-1]["status"], status)
        return lines

    def history(self):
        path = os.path.join(self.dir, "history.csv")
        if not os.path.exists(path):
            return []
        with open(path, newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))

    def ecu_memory(self):
        """Stops ecusim: its summary and the bytes it holds."""
        out, _ = self.bench.stop_ecu()
        return out, intel_bytes(self.dump) if os.path.exists(self.dump) else {}

    def test_programmed(self):
        self.start()
        lines = self.finish(self.flash(self.hx1()), 0)
        r = lines[-1]
        self.assertEqual((r["outcome"], r["hw_id"], r["bytes"], r["block_length"]), ("programmed", "0012345", 4096, 256))
        self.assertIn({"event": "stage", "stage": "transfer"}, lines)
        summary, mem = self.ecu_memory()
        self.assertIn("match, 0 framing violations, 1 resets", summary)
        with open(self.img, "rb") as f:
            self.assertEqual(mem, {0x8000 + i: b for i, b in enumerate(f.read())})
        rows = self.history()
        self.assertEqual(len(rows), 1)
        self.assertEqual((rows[0]["outcome"], rows[0]["bytes"], rows[0]["hw_id"]),
                         ("Programming succeeded. Press OK to start the application.", "4096", "0012345"))

    def test_file_for_other_hardware_is_not_programmed(self):
        self.start()
        r = self.finish(self.flash(self.hx1(hwid=999)), 7)[-1]
        self.assertEqual((r["outcome"], r["bytes"]), ("no-fit", 0))
        summary, mem = self.ecu_memory()
        self.assertEqual(mem, {})
        self.assertIn("0 resets", summary)
        rows = self.history()
        self.assertEqual(len(rows), 1)
        self.assertIn("not for this ECU", rows[0]["outcome"])
        self.assertEqual(rows[0]["bytes"], "0")

    def test_no_ecu_within_the_capture_time(self):
        self.start(ecu=False)
        t = time.monotonic()
        r = self.finish(self.flash("--capture-timeout", "3", self.hx1()), 5)[-1]
        self.assertLess(time.monotonic() - t, 60)
        self.assertEqual(r["outcome"], "no-ecu")
        self.assertEqual(self.history(), [])

    def check_refused(self, fault, status, outcome_text):
        self.start(*fault)
        r = self.finish(self.flash(self.hx1()), status)[-1]
        rows = self.history()
        self.assertEqual(len(rows), 1)
        self.assertEqual(rows[0]["outcome"], outcome_text)
        self.assertEqual(r["message"], outcome_text)
        return self.ecu_memory()

    def test_security_refused(self):
        summary, mem = self.check_refused(["--reject-keys", "all"], 8, "Operation aborted")
        self.assertEqual(mem, {})

    def test_erase_error(self):
        summary, mem = self.check_refused(["--erase-result", "01"], 9, "Error during memory erase. Please turn off and "
                                          "on the ECU and try to repeat the procedure.")
        self.assertEqual(mem, {})

    def test_transfer_refused(self):
        summary, mem = self.check_refused(["--nrc", "36:72"], 10, "Operation aborted")
        self.assertEqual(mem, {})

    def test_two_ecus_at_one_address_are_not_programmed(self):
        self.start()
        second = subprocess.Popen([os.path.join(BIN, "ecusim"), "--bus", self.bench.url, "--power", "off",
                                   "--power-on-after-capture", "100", "--answer-delay", "30"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            self.assertIn("on the bus", second.stderr.readline())
            r = self.finish(self.flash(self.hx1()), 12)[-1]
            self.assertEqual((r["outcome"], r["hw_id"], r["bytes"]), ("more-than-one-ecu", "n.a.", 0))
        finally:
            second.send_signal(signal.SIGTERM)
            second.communicate(timeout=30)
        summary, mem = self.ecu_memory()
        self.assertEqual(mem, {})
        self.assertEqual(self.history(), [])

    def test_checksum_rejected(self):
        summary, mem = self.check_refused(["--checksum-result", "01"], 11,
                                          "WARNING! Update failed. Please verify the update file and try again.")
        self.assertEqual(len(mem), 4096)  # written, then refused by the ECU's check

    def test_signal_during_the_transfer_resets_the_ecu(self):
        self.start()
        p = self.flash(self.hx1())

        def transferring():
            e = json.loads(p.stdout.readline() or "{}")
            return e.get("event") == "progress" and e["percent"] >= 30
        wait_for(transferring, 120, "the transfer")
        p.send_signal(signal.SIGINT)
        r = self.finish(p, 130)[-1]  # the lines read so far are not in finish's
        self.assertEqual(r["outcome"], "interrupted")
        self.assertGreater(r["bytes"], 0)
        self.assertLess(r["bytes"], 4096)
        summary, mem = self.ecu_memory()
        self.assertIn("1 resets", summary)
        self.assertEqual(len(mem), r["bytes"])
        rows = self.history()
        self.assertEqual(len(rows), 1)
        self.assertTrue(rows[0]["outcome"].startswith("Interrupted by a signal during the run"), rows[0]["outcome"])

    def test_prompt_and_address_from_the_options(self):
        """--address overrides conf.dat (which names 22); --prompt waits for
        Enter before the capture requests go out."""
        with open(os.path.join(self.dir, "conf.dat"), "w") as f:
            f.write("250\n22\n0\n")
        self.start("--addr", "33")
        p = subprocess.Popen([FLASH, "--json", "--prompt", "--address", "33", self.hx1()], cwd=self.dir,
                             env=dict(os.environ, TAVELIN_BUS=self.bench.url), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        p.stdin.write("\n")
        p.stdin.flush()
        r = self.finish(p, 0)[-1]
        self.assertEqual(r["bytes"], 4096)
        self.assertEqual(self.history()[0]["ecu_address"], "0x33")
        summary, mem = self.ecu_memory()
        self.assertEqual(len(mem), 4096)

    def test_identify_changes_nothing(self):
        self.start()
        lines = self.finish(self.flash("--identify"), 0)
        ident = [e for e in lines if e["event"] == "identity"]
        self.assertEqual((ident[0]["hw_id"], ident[0]["block_length"]), ("0012345", 256))
        self.assertEqual(lines[-1]["outcome"], "identified")
        self.assertEqual(lines[-1]["bytes"], 0)
        self.assertFalse(any(e.get("stage") == "security" for e in lines))
        summary, mem = self.ecu_memory()
        self.assertEqual(mem, {})
        self.assertEqual(self.history(), [])

    def test_station_repeats_with_power_commands_until_interrupted(self):
        """Each capture runs the power commands; the power-on command switches
        on a fresh ECU twice, then none: Ctrl-C while waiting for the third
        ends the series cleanly."""
        self.start(ecu=False)
        ecusim = os.path.join(BIN, "ecusim")
        power_on = (f'n=$(cat n 2>/dev/null || echo 0); n=$((n + 1)); echo $n > n; '
                    f'[ $n -le 2 ] && {ecusim} --bus {self.bench.url} --power boot --set seed=0x1234 '
                    f'--exit-after-reset --dump dump$n.hex 2> ecu$n.err & true')
        p = self.flash("--repeat", "--capture-timeout", "120", "--power-off", "echo off >> power.log",
                       "--power-on", power_on, self.hx1())
        results = []

        def two_programmed():
            e = json.loads(p.stdout.readline() or "{}")
            if e.get("event") == "result":
                results.append(e)
            return len(results) == 2
        wait_for(two_programmed, 120, "two ECUs")
        wait_for(lambda: os.path.exists(os.path.join(self.dir, "n")) and
                 open(os.path.join(self.dir, "n")).read().strip() == "3", 60, "the third capture")
        p.send_signal(signal.SIGINT)
        lines = self.finish_summary(p)
        self.assertEqual([r["outcome"] for r in results], ["programmed", "programmed"])
        self.assertEqual(lines[-1], {"event": "summary", "ecus": 2, "counts": {"programmed": 2}})
        with open(os.path.join(self.dir, "power.log")) as f:
            self.assertEqual(f.read().split(), ["off", "off", "off"])
        rows = self.history()
        self.assertEqual(len(rows), 2)
        for n in (1, 2):
            wait_for(lambda: os.path.exists(os.path.join(self.dir, f"dump{n}.hex")), 30, "the dump")
            self.assertEqual(len(intel_bytes(os.path.join(self.dir, f"dump{n}.hex"))), 4096)

    def finish_summary(self, p):
        out, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 0, err)
        return [json.loads(line) for line in out.splitlines()]

    def test_usage_bad_file_and_no_bus(self):
        bad = os.path.join(self.dir, "bad.hx1")
        with open(bad, "w") as f:
            f.write("not an update file\n")
        for args, status in ((["--bitrate"], 2), (["--frobnicate", bad], 2), ([], 2), ([bad], 3),
                             ([os.path.join(self.dir, "missing.hx1")], 3), ([self.hx1()], 4)):
            p = self.flash(*args, url="socketcand://127.0.0.1:1/vcan0")
            out, err = p.communicate(timeout=60)
            self.assertEqual(p.returncode, status, (args, err))
            if status != 2:
                self.assertEqual(json.loads(out.splitlines()[-1])["status"], status)
        self.assertEqual(self.history(), [])


if __name__ == "__main__":
    unittest.main()
