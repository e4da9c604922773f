"""Fixtures for the module's tests: a running orvane-sim, and a robot connected to it.

ctest gives the simulator's path in ORVANE_SIM; by hand, build/sim/orvane-sim is used.
"""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))  # host/python/tests -> the tree
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

import fixtures  # noqa: E402
import orvane  # noqa: E402

TIMEOUT = fixtures.DEADLINE  # generous: the machine may be busy


def Sim():
    """orvane-sim --port 0 without its console; `address` is where it listens."""
    return fixtures.Sim("--no-console")


sim = fixtures.process_fixture(Sim, "sim")


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
    return fixtures.until(cond, TIMEOUT)
