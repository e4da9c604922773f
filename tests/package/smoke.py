#!/usr/bin/python3
"""Black-box smoke test of an orvane-sim, as installed from the PC package, and optionally of an
orvane-web against it, such as the robot package's under an emulator of the robot's CPU:
    tests/package/smoke.py PATH/TO/orvane-sim [--web PATH/TO/orvane-web [--emulator CMD]]
Starts orvane-sim on a free loopback port, then checks the banner, that the control loop runs at
about its 60 passes a second, that servo 1 follows a move, and that an exit request ends it with
status 0. With --web, before the exit request, it starts orvane-web on a free loopback port with
a token and checks that a request without the token is refused, that the page is served, that an
LED command reaches the simulator's map, and that a stop signal ends it with status 0.
Standard library only."""
import argparse
import http.client
import json
import re
import select
import secrets
import shlex
import signal
import socket
import subprocess
import sys
import time
import os

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import fixtures  # noqa: E402
from fixtures import stop  # noqa: E402

DEADLINE = 20.0  # seconds for anything that must happen; generous for a loaded machine


def fail(msg):
    fixtures.fail("smoke", msg)


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


def start(cmd, pattern, what):
    """Starts a program that prints its port on its first line of standard error; returns the
    process and that port."""
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stderr], [], [], DEADLINE)
    first = proc.stderr.readline() if ready else ""
    m = re.search(pattern, first)
    if not m:
        stop(proc)
        fail(f"{what} said {first!r} instead of its port")
    return proc, int(m.group(1))


def expect_exit(proc, what, after):
    """proc ends with status 0 within the deadline, after `after` was asked of `what`."""
    try:
        status = proc.wait(timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        fail(f"{what} did not end after {after}")
    if status != 0:
        fail(f"{what} ended with status {status} after {after}")


def ask(port, method, target, headers=None, body=None):
    """One HTTP request to orvane-web on its own connection; the response and its body."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
    try:
        conn.request(method, target, body=body, headers=headers or {})
        r = conn.getresponse()
        return r, r.read()
    finally:
        conn.close()


def check_web(cmd, sim_port, host):
    """orvane-web against the simulator: token, page, a command through to the map, stop."""
    token = "smoke-" + secrets.token_hex(8)
    web, port = start(cmd + ["--robot", f"127.0.0.1:{sim_port}", "--listen", "127.0.0.1:0",
                             "--token", token],
                      r"orvane-web: open http://127\.0\.0\.1:(\d+)/", "orvane-web")
    try:
        r, _ = ask(port, "GET", "/")
        if r.status != 403:
            fail(f"orvane-web answered {r.status} to a request without its token, not 403")
        r, _ = ask(port, "GET", f"/?token={token}")
        cookie = (r.getheader("Set-Cookie") or "").split(";")[0]
        if r.status != 303 or not cookie.endswith("=" + token):
            fail(f"orvane-web answered {r.status}, cookie {cookie!r}, to the page's URL")
        r, page = ask(port, "GET", "/", {"Cookie": cookie})
        if r.status != 200 or b"/app.js" not in page:
            fail(f"orvane-web answered {r.status} with {page[:80]!r} for its page")

        # Answered 503 until orvane-web has reached the simulator.
        headers = {"Cookie": cookie, "Origin": f"http://127.0.0.1:{port}",
                   "Content-Type": "application/json"}
        body = json.dumps({"op": "leds", "leds": [[0, 77]]})
        end = time.monotonic() + DEADLINE
        while True:
            r, answer = ask(port, "POST", "/api/command?robot=0", headers, body)
            if r.status == 200:
                break
            if r.status != 503 or time.monotonic() > end:
                fail(f"orvane-web answered {r.status} {answer!r} to an LED command")
            time.sleep(0.2)
        wait_for(lambda: True if host.read(0xC80, 2) == 77 else None, "LED A0 at 77")

        web.send_signal(signal.SIGTERM)
        expect_exit(web, "orvane-web", "SIGTERM")
        return port
    finally:
        stop(web)


def main():
    args = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    args.add_argument("sim", help="the orvane-sim to run")
    args.add_argument("--web", help="an orvane-web to run against it")
    args.add_argument("--emulator", default="",
                      help="command that runs orvane-web, such as 'qemu-arm -cpu arm1176'")
    args = args.parse_args()
    sim, sim_port = start([args.sim, "--port", "0", "--no-console"],
                          r"monitor listening on port (\d+)", "orvane-sim")
    try:
        host = Host(sim_port)

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
        begin = time.monotonic()
        wait_for(lambda: True if host.read(0xD80, 2) == 500 else None, "servo 1 at 500")
        moved = time.monotonic() - begin

        web = ""
        if args.web:
            port = check_web(shlex.split(args.emulator) + [args.web], sim_port, host)
            web = f"; orvane-web on port {port}: 403 without the token, the page, LED A0 at 77, stopped"

        host.write(0x50, 1)
        expect_exit(sim, "orvane-sim", "an exit request")
        print(f"smoke: banner {banner!r}, {rate:.1f} passes/s, servo 1 at 500 after {moved:.2f} s, "
              f"exit status 0{web}")
    finally:
        stop(sim)


if __name__ == "__main__":
    main()
