"""Fixtures of the emulated-board tests: the robot's package booted by scripts/orvane-emu on
QEMU's raspi0, a monitor host through the forward, and the record of boots that hung.

A boot that hangs (the guest's console stops, mostly under heavy load) is tried once more; each
hang is reported at the end of the run. Boots are the expensive part (~60 % of a core while the
daemon ticks), so one boot serves every case that leaves the daemon running."""
import functools
import os
import sys
import types

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
sys.path.insert(0, os.path.join(ROOT, 'host', 'python'))
import fixtures  # noqa: E402
import orvane  # noqa: E402
from fixtures import offset  # noqa: E402,F401


def _load(name, path):
    """A Python file without a .py name (scripts/orvane-emu) as a module of its own."""
    mod = types.ModuleType(name)
    mod.__file__ = path
    sys.modules[name] = mod
    with open(path, encoding='utf-8') as f:
        exec(compile(f.read(), path, 'exec'), mod.__dict__)
    return mod


emu = _load('orvane_emu', os.path.join(ROOT, 'scripts', 'orvane-emu'))
DEADLINE = 30.0
BOOT_DEADLINE = float(os.environ.get('ORVANE_EMU_BOOT_DEADLINE', 180))
hangs = []


wait_for = functools.partial(fixtures.wait_for, timeout=DEADLINE, step=0.1)


def boot(**kw):
    """A started Board; a boot that hangs is recorded and tried once more."""
    banner = kw.pop('banner', True)
    for attempt in (1, 2):
        b = emu.Board(**kw)
        try:
            return b.start(deadline=BOOT_DEADLINE, banner=banner)
        except emu.BootHang as e:
            load = os.getloadavg()[0]
            hangs.append(f'attempt {attempt}: {e} (load average {load:.1f})')
            if attempt == 2:
                pytest.fail(f'the emulated board hung twice: {hangs[-2:]}')


def pytest_terminal_summary(terminalreporter):
    if hangs:
        terminalreporter.section('emulated board: boots that hung')
        for h in hangs:
            terminalreporter.write_line(h)


@pytest.fixture(scope='module')
def board():
    """The board most cases share: iomem=relaxed, orvane-web and the measuring agent forwarded
    as well."""
    b = boot(web_port=emu.free_port(), web_token='board-emu-token', agent_port=emu.free_port())
    yield b
    b.stop()


@pytest.fixture(scope='module')
def mon(board):
    m = orvane.Client('127.0.0.1', board.port, timeout=DEADLINE)
    yield m
    m.close()
