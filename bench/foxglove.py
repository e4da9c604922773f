#!/usr/bin/env python3
"""What orvane-web's Foxglove endpoint costs: the CPU of orvane-web polling a simulated robot
with no client, then with one reference client (npm's @foxglove/ws-protocol, tests/web/node/)
subscribed to every channel, and the bytes a second that client receives. Run by
`bench/run foxglove`; prints a Markdown table.

    bench/foxglove.py --build build [--arm build-armv6] [--seconds 20]

With --arm, the robot's orvane-web runs under `qemu-arm -cpu arm1176` as well (its CPU is
qemu's: the emulation, not the board). orvane-sim runs natively; every servo is in a read group;
no profile, which the robot's build cannot read (joints are then named servo1..servo6)."""
import argparse
import json
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICK = os.sysconf('SC_CLK_TCK')
TOPICS = ['/joint_states', '/switches', '/leds', '/loop', '/events', '/motion/plan']


def cpu_s(pid):
    """User and system seconds a process has used."""
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def started(argv, pattern, **kw):
    p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True, **kw)
    text = ''
    end = time.monotonic() + 60
    while time.monotonic() < end:
        line = p.stderr.readline()
        text += line
        m = re.search(pattern, text)
        if m:
            return p, m
    p.kill()
    raise SystemExit(f'{argv[0]} did not start: {text}')


def measure(web_argv, sim_address, build, seconds):
    # No profile: the robot's build reads none, and both runs should send the same messages.
    web, m = started(web_argv + ['--listen', '127.0.0.1:0', '--token', 'bench-token', '--robot', sim_address],
                     r'http://127\.0\.0\.1:(\d+)/')
    port = m.group(1)
    try:
        time.sleep(3)
        a, t = cpu_s(web.pid), time.monotonic()
        time.sleep(seconds)
        idle = (cpu_s(web.pid) - a) / (time.monotonic() - t) * 100
        steps = [{'quiet': True}, {'subscribe': TOPICS}, {'wait': 2000}]
        url = f'ws://127.0.0.1:{port}/foxglove?token=bench-token'
        client = subprocess.Popen(['node', os.path.join(ROOT, 'tests', 'web', 'node', 'fox_client.cjs'), url,
                                   json.dumps(steps + [{'wait': int(seconds * 1000)}])],
                                  stdout=subprocess.PIPE, text=True,
                                  env={**os.environ, 'NODE_PATH': os.path.join(build, 'tests', 'ecosystem-npm',
                                                                               'node_modules')})
        time.sleep(2.5)  # connected and subscribed
        a, t = cpu_s(web.pid), time.monotonic()
        out, _ = client.communicate(timeout=seconds + 60)
        dt = time.monotonic() - t
        watched = (cpu_s(web.pid) - a) / dt * 100
        done = [json.loads(line) for line in out.splitlines() if '"done"' in line][0]
        return idle, watched, done['bytes'] / (dt + 2.5), done['frames'] / (dt + 2.5)
    finally:
        web.terminate()
        web.wait(10)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('--build', default=os.path.join(ROOT, 'build'))
    ap.add_argument('--arm', help='the robot build folder (scripts/arm-build.sh), run under qemu-arm')
    ap.add_argument('--seconds', type=float, default=20)
    a = ap.parse_args()
    sim, m = started([os.path.join(a.build, 'sim', 'orvane-sim'), '--port', '0'], r'listening on port (\d+)')
    address = f'127.0.0.1:{m.group(1)}'
    subprocess.run([os.path.join(a.build, 'host', 'ctl', 'orvane-ctl'), '-r', address, 'read', '1-6'],
                   check=True, stdout=subprocess.DEVNULL)
    runs = [('PC (native)', [os.path.join(a.build, 'host', 'web', 'orvane-web')])]
    if a.arm:
        runs.append(('robot build, qemu-arm -cpu arm1176',
                     ['qemu-arm', '-cpu', 'arm1176', os.path.join(a.arm, 'host', 'web', 'orvane-web')]))
    load = os.getloadavg()[0]
    print(f'| orvane-web ({os.cpu_count()} CPUs, load {load:.1f}) | CPU, no client | CPU, one client '
          f'on every channel | frames a second | bytes a second to the client |')
    print('|---|---|---|---|---|')
    try:
        for name, argv in runs:
            idle, watched, rate, frames = measure(argv, address, a.build, a.seconds)
            print(f'| {name} | {idle:.2f} % | {watched:.2f} % | {frames:.1f} | {rate / 1024:.1f} KiB |', flush=True)
    finally:
        sim.terminate()
        sim.wait(10)
    return 0


if __name__ == '__main__':
    sys.exit(main())
