"""What the Python tests and check scripts share, so that none carries its own copy: waiting on
a condition with a generous deadline, a child process whose output is collected, orvane-sim on
a free port, stopping a child, a free loopback port, a field's offset, and a check's closing
report. Standard library only; the tree's Python module is imported by offset() alone.

    sys.path.insert(0, os.path.join(ROOT, 'tests', 'support')); import fixtures
"""
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEADLINE = 20.0  # generous: the suites run beside each other and under the sanitizers


def wait_for(cond, timeout=DEADLINE, step=0.05, what='condition'):
    """cond()'s first true value; AssertionError naming `what` once `timeout` has passed."""
    end = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() > end:
            raise AssertionError(f'timed out after {timeout} s waiting for {what}')
        time.sleep(step)


def until(cond, timeout=DEADLINE, step=0.02):
    """True once cond() holds, False if it did not within `timeout`."""
    try:
        return bool(wait_for(cond, timeout, step))
    except AssertionError:
        return False


def stop(proc, sig=signal.SIGTERM, grace=10):
    """Ends a child that still runs with `sig`, killing it after `grace` seconds, and reaps it."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def offset(name, index=None):
    """A field's offset, from the field table through the orvane module."""
    sys.path.insert(0, os.path.join(ROOT, 'host', 'python'))
    import orvane.fields
    return orvane.fields.resolve(name, index)[2]


class Process:
    """A child process whose standard output and error are collected by reader threads."""

    def __init__(self, argv, stdin=subprocess.PIPE, env=None):
        self.p = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, start_new_session=True,
                                  env=None if env is None else {**os.environ, **env})
        self.out = bytearray()
        self.err = bytearray()
        self.lock = threading.Lock()
        for src, dst in ((self.p.stdout, self.out), (self.p.stderr, self.err)):
            threading.Thread(target=self._pump, args=(src, dst), daemon=True).start()

    def _pump(self, src, dst):
        while True:
            b = src.read1(65536)
            if not b:
                return
            with self.lock:
                dst.extend(b)

    def stderr(self):
        with self.lock:
            return self.err.decode(errors='replace')

    def stdout_bytes(self):
        with self.lock:
            return bytes(self.out)

    def wait_exit(self, timeout=DEADLINE):
        """The exit status, or None if it still runs after `timeout`."""
        try:
            return self.p.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, sig=signal.SIGTERM):
        stop(self.p, sig)

    # `with Sim() as s:` stops it however the block ends (a fixture yields inside one).
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Sim(Process):
    """orvane-sim on a free port (`exe`, ORVANE_SIM or the tree's build): `port`, `address`."""

    def __init__(self, *args, port=0, exe=None):
        exe = exe or os.environ.get('ORVANE_SIM', os.path.join(ROOT, 'build', 'sim', 'orvane-sim'))
        super().__init__([exe, '--port', str(port), *args])
        try:
            m = wait_for(lambda: re.search(r'listening on port (\d+)', self.stderr()),
                         what='orvane-sim to report its port')
        except AssertionError:
            self.stop()
            raise
        self.port = int(m.group(1))
        self.address = f'127.0.0.1:{self.port}'


def process_fixture(make, name):
    """A pytest fixture `name` of a process `make()` starts, stopped after each test."""
    import pytest

    @pytest.fixture(name=name)
    def fixture():
        with make() as p:
            yield p
    return fixture


def fail(name, msg):
    """A check script's end on its first fault."""
    print(f'{name}: FAILED: {msg}', file=sys.stderr)
    sys.exit(1)


def report(name, faults, fine):
    """A check script's end: each fault on standard error, or `fine`; exits 1 or 0."""
    for f in faults:
        print(f'{name}: {f}', file=sys.stderr)
    if not faults:
        print(f'{name}: {fine}')
    sys.exit(1 if faults else 0)
