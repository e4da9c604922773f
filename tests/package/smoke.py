#!/usr/bin/python3
"""Black-box smoke test of an orvane-sim, as installed from the PC package:
    tests/package/smoke.py PATH/TO/orvane-sim
Starts it on a free loopback port, then checks the banner, that the control loop runs at about
its 60 passes a second, that servo 1 follows a move, and that an exit request ends it with
status 0. Standard library only."""
import re
import select
import socket
import subprocess
import sys
import time

DEADLINE = 20.0  # seconds for anything that must happen; generous for a loaded machine


def fail(msg):
    print(f"smoke: FAILED: {msg}", file=sys.stderr)
    sys.exit(1)


def wait_for(cond, what):
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        v = cond()
        if v is not None:
            return v
        time.sleep(0.05)
    fail(f"no {what} within {DEADLINE:.0f} s")


class Host:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        self.file = self.sock.makefile("rb")

    def line(self):
        return self.file.readline().decode("latin-1").rstrip("\r\n")

    def write(self, addr, *values):
        self.sock.sendall(f"W {addr:x} {' '.join(f'{v:02x}' for v in values)}\n".encode())

    def read(self, addr, n):
        self.sock.sendall(f"R {addr:x} {n:x}\n".encode())
        fields = self.line().split()
        if not fields or fields[0] != f"#{addr:04x}" or len(fields) != n + 1:
            fail(f"dump of {n} bytes at {addr:#x} came back as {fields}")
        return int.from_bytes(bytes(int(f, 16) for f in fields[1:]), "little", signed=False)


def main():
    sim = subprocess.Popen([sys.argv[1], "--port", "0", "--no-console"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([sim.stderr], [], [], DEADLINE)
        first = sim.stderr.readline() if ready else ""
        m = re.search(r"monitor listening on port (\d+)", first)
        if not m:
            fail(f"orvane-sim said {first!r} instead of its port")
        host = Host(int(m.group(1)))

        banner = host.line()
        if not re.fullmatch(r"#orvane-\d+ \([A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d\)", banner):
            fail(f"banner {banner!r}")

        # Loop rate over two seconds: about 60 at the default tick; the band only catches a
        # loop that stalls or a tick that is far off.
        t0, c0 = time.monotonic(), host.read(0x80, 4)
        time.sleep(2)
        t1, c1 = time.monotonic(), host.read(0x80, 4)
        rate = (c1 - c0) / (t1 - t0)
        if not 10 <= rate <= 100:
            fail(f"control loop at {rate:.1f} passes/s")

        # Servo 1: torque on (channel 33), goal 500 (50.0 degrees), a 30-tick move.
        host.write(0xA42, 100, 0)
        host.write(0xA02, 0xF4, 0x01)
        host.write(0xB80, 30)
        start = time.monotonic()
        wait_for(lambda: True if host.read(0xD80, 2) == 500 else None, "servo 1 at 500")
        moved = time.monotonic() - start

        host.write(0x50, 1)
        try:
            status = sim.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            fail("no exit after an exit request")
        if status != 0:
            fail(f"exit status {status} after an exit request")
        print(f"smoke: banner {banner!r}, {rate:.1f} passes/s, servo 1 at 500 after {moved:.2f} s, "
              "exit status 0")
    finally:
        if sim.poll() is None:
            sim.terminate()
            try:
                sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                sim.kill()
                sim.wait()


if __name__ == "__main__":
    main()
