#!/usr/bin/python3
"""How closely the daemon's goals follow a motion's planned curve, and what it costs the host.

Plays each example motion on orvane-sim (wire timing on) in every ease mode (the wave with eased
keyframes cut into moves of 1, 2, 3, 4 and 6 ticks, the others at the default 3), while orvane-ctl records the goals (ip_out) of every
pass it sees. Prints a Markdown table: the largest and RMS distance of the goals from the planned
curve (recording aligned to the plan by its best whole-pass offset), the passes the play took
against those planned, and the host's requests to the monitor per second (write calls of
orvane-ctl counted by strace, in a second run, since strace slows it).

    /usr/bin/python3 bench/motion_accuracy.py [BUILD_DIR]     (default: build)
"""

import math
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "host", "python"))
import orvane  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
CTL = os.path.join(BUILD, "host", "ctl", "orvane-ctl")
SIM = os.path.join(BUILD, "sim", "orvane-sim")
PROFILE = os.path.join(ROOT, "motions", "robot.yaml")
MOTIONS = ["wave", "sweep", "reach"]
SEGS = [1, 2, 3, 4, 6]


def start_sim():
    p = subprocess.Popen([SIM, "--port", "0", "--no-console"], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in p.stderr:
        m = re.search(r"listening on port (\d+)", line)
        if m:
            return p, f"127.0.0.1:{m.group(1)}"
    raise RuntimeError("orvane-sim reported no port")


def with_ease(src, ease, tmp):
    """The motion with every ease line taken out and the file's ease set."""
    lines = [ln for ln in open(src).read().splitlines() if not re.match(r"\s*(- )?ease:", ln)]
    at = next(i for i, ln in enumerate(lines) if ln.startswith("keyframes:"))
    lines.insert(at, f"ease: {ease}")
    path = os.path.join(tmp, f"{os.path.basename(src)[:-5]}-{ease}.yaml")
    open(path, "w").write("\n".join(lines) + "\n")
    return path


def planned(path, seg):
    out = subprocess.run([CTL, "play", path, "-p", PROFILE, "--dry-run", "--offline", "--seg", str(seg),
                          "--curve", "-"], capture_output=True, text=True, check=True).stdout
    joints, rows = [], []
    for line in out.splitlines():
        if line.startswith("# joint,"):
            _, name, sid, _, _, trim, rev = line.split(",")
            joints.append((name, int(sid), float(trim), rev == "1"))
        elif line and not line.startswith(("#", "tick")):
            rows.append([float(c) for c in line.split(",")])
    head = next(ln for ln in out.splitlines() if ln.startswith("tick")).split(",")
    curve = {}
    for name, sid, trim, rev in joints:  # servo degrees, as the recording has them
        k = head.index(f"{name}.curve")
        curve[sid] = [(-r[k] if rev else r[k]) + trim for r in rows]
    return curve


def reset(addr):
    with orvane.connect(addr) as r:
        r.move_channels({ch: 0 for ch in list(range(1, 7)) + list(range(33, 39))}, 1)
        r.wait_until_still()


def play_recorded(addr, path, seg, secs, tmp, strace=False):
    csv = os.path.join(tmp, "rec.csv")
    fields = ",".join(f"servo.{i}.goal" for i in range(1, 7))
    rec = subprocess.Popen([CTL, "-r", addr, "record", "--seconds", str(secs), "--fields", fields, csv],
                           stderr=subprocess.DEVNULL)
    cmd = [CTL, "-r", addr, "play", path, "-p", PROFILE, "--seg", str(seg)]
    trace = os.path.join(tmp, "strace.txt")
    if strace:
        cmd = ["strace", "-f", "-c", "-e", "trace=write,sendto,sendmsg", "-o", trace] + cmd
    import time
    time.sleep(0.3)
    t0 = time.monotonic()
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    took = time.monotonic() - t0
    rec.wait()
    m = re.search(r"(\d+) ticks planned, (\d+) passes", out)
    calls = None
    if strace:
        calls = sum(int(ln.split()[3]) for ln in open(trace) if re.search(r"\b(write|sendto|sendmsg)$", ln))
    rows = []
    with open(csv) as f:
        head = f.readline().strip().split(",")
        for line in f:
            c = line.strip().split(",")
            rows.append((int(c[1]), {int(h.split(".")[1]): float(v) for h, v in zip(head, c) if h.startswith("servo.")}))
    return rows, int(m.group(1)), int(m.group(2)), calls, took


def deviation(rows, curve):
    n = len(next(iter(curve.values())))
    first = rows[0][0]
    best = None
    for off in range(0, 60):
        errs = []
        for lc, goals in rows:
            t = lc - first - off
            if 0 <= t < n:
                errs += [abs(goals[s] - curve[s][t]) for s in curve]
        if len(errs) > n * len(curve) * 0.8:
            rms = math.sqrt(sum(e * e for e in errs) / len(errs))
            if best is None or rms < best[1]:
                best = (max(errs), rms)
    return best


def main():
    sim, addr = start_sim()
    try:
        print("| motion | ease | move ticks | largest deviation (deg) | RMS (deg) | passes / planned | requests/s |")
        print("|---|---|---|---|---|---|---|")
        with tempfile.TemporaryDirectory(prefix="motion-bench-") as tmp:
            for name in MOTIONS:
                for ease in ("linear", "smooth", "spline"):
                    path = with_ease(os.path.join(ROOT, "motions", name + ".yaml"), ease, tmp)
                    # Move lengths are compared on the wave; the others play at the default.
                    for seg in ([255] if ease == "linear" else SEGS if name == "wave" else [3]):
                        curve = planned(path, seg)
                        secs = len(next(iter(curve.values()))) / 60 + 1.5
                        reset(addr)
                        rows, ticks, passes, _, _ = play_recorded(addr, path, seg, secs, tmp)
                        dev = deviation(rows, curve)
                        reset(addr)
                        _, _, _, calls, took = play_recorded(addr, path, seg, secs, tmp, strace=True)
                        print(f"| {name} | {ease} | {seg if ease != 'linear' else '≤255'} | {dev[0]:.2f} | {dev[1]:.2f} | "
                              f"{passes} / {ticks} | {calls / took:.0f} |", flush=True)
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
