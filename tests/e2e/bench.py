"""Starts canhub and ecusim for a test, on a free port, and stops them."""
import os
import re
import signal
import subprocess
import time


class Bench:
    def __init__(self, bindir, hub_args=(), ecu_args=(), ecu=True):
        self.bindir = bindir
        self.hub = subprocess.Popen([os.path.join(bindir, "canhub"), "--listen", "127.0.0.1:0", *hub_args],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.hub.stdout.readline()
        m = re.search(r":(\d+)", line)
        if not m:
            raise RuntimeError("canhub did not start: " + line + self.hub.stderr.read())
        self.port = int(m.group(1))
        self.url = f"socketcand://127.0.0.1:{self.port}/vcan0"
        self.ecu = None
        if ecu:
            self.start_ecu(*ecu_args)

    def start_ecu(self, *args):
        self.ecu = subprocess.Popen([os.path.join(self.bindir, "ecusim"), "--bus", self.url, *args],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Wait until it has joined: its first stderr line says so.
        line = self.ecu.stderr.readline()
        if "on the bus" not in line:
            raise RuntimeError("ecusim did not start: " + line)

    def stop_ecu(self):
        """SIGTERM ecusim; returns (stdout, stderr)."""
        self.ecu.send_signal(signal.SIGTERM)
        out, err = self.ecu.communicate(timeout=30)
        return out, err

    def close(self):
        for p in (self.ecu, self.hub):
            if p and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.communicate(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()


def wait_for(cond, limit=30.0, what="condition"):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if cond():
            return
        time.sleep(0.01)
    raise AssertionError("timed out waiting for " + what)
