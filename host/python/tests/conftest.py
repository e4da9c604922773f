"""Fixtures for the module's tests: a running orvane-sim, and a robot connected to it.

ctest gives the simulator's path in ORVANE_SIM; by hand, build/sim/orvane-sim is used.
"""

import os
import re
import subprocess
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import orvane  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))  # host/python/tests -> the tree
TIMEOUT = 20.0  # generous: the machine may be busy


class Sim:
    """orvane-sim --port 0 as a child process; `address` is where it listens."""

    def __init__(self):
        exe = os.environ.get("ORVANE_SIM", os.path.join(ROOT, "build", "sim", "orvane-sim"))
        self.proc = subprocess.Popen([exe, "--port", "0", "--no-console"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        self.err = b""
        found = threading.Event()

        def read():
            for line in self.proc.stderr:
                self.err += line
                if b"listening on port" in line:
                    found.set()
        self.reader = threading.Thread(target=read, daemon=True)
        self.reader.start()
        if not found.wait(TIMEOUT):
            self.stop()
            raise RuntimeError(f"orvane-sim reported no port: {self.err!r}")
        self.port = int(re.search(rb"listening on port (\d+)", self.err).group(1))
        self.address = f"127.0.0.1:{self.port}"

    def wait_exit(self, timeout=TIMEOUT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            if self.wait_exit(5) is None:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def sim():
    s = Sim()
    yield s
    s.stop()


@pytest.fixture
def robot(sim):
    with orvane.connect(sim.address, timeout=TIMEOUT) as r:
        yield r


def host_view(robot):
    """The map with the bytes the daemon keeps changing zeroed (as in the C++ tests)."""
    m = bytearray(robot.read(0, orvane.MAP_SIZE))
    for name in ("sw_in", "loop_count", "ttime", "ip_out", "ip_count", "sv_pos"):
        f = orvane.find_field(name)
        m[f.offset:f.offset + (f.count - 1) * f.stride + f.width] = bytes(
            (f.count - 1) * f.stride + f.width)
    return bytes(m)


def until(cond):
    """Waits for cond() to hold, with the suite's generous deadline; True if it did."""
    deadline = time.monotonic() + TIMEOUT
    while not cond():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True
