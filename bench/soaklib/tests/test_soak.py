"""The soak's judgement on made-up series, and its reading of dump answers: a verdict that
passes a leak or fails a steady process would make every run worthless."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from soaklib import hosts, verdict  # noqa: E402


@pytest.mark.parametrize("points, want", [
    ([], 0.0),
    ([(0, 5)], 0.0),
    ([(0, 1), (1, 3), (2, 5)], 2.0),
    ([(0, 5), (10, 5), (20, 5)], 0.0),
    ([(3, 1), (3, 9)], 0.0),  # no spread in time: no slope
])
def test_slope(points, want):
    assert verdict.slope(points) == pytest.approx(want)


# A leak lifts every span; a connection that comes and goes, or a dip, does not.
@pytest.mark.parametrize("ys, rising", [
    ([10 + (5 if i % 3 == 0 else 0) for i in range(80)], False),
    ([10 + i // 10 for i in range(80)], True),
    ([10 + (20 if 72 <= i < 75 else 0) for i in range(80)], False),  # a burst at the very end
    ([10 - (5 if 2 <= i < 6 else 0) for i in range(80)], False),     # a broker down early on
])
def test_level_slope(ys, rising):
    s = verdict.level_slope([(float(i), y) for i, y in enumerate(ys)])
    assert (s > 0.05) == rising


def loops(rate, secs, step=0.25, start=0.0):
    return [(start + i * step, int(rate * i * step) % (1 << 32)) for i in range(int(secs / step) + 1)]


@pytest.mark.parametrize("series, excluded, judged, bad", [
    (loops(60.0, 180), [], 3, 0),
    (loops(59.0, 180), [], 3, 3),              # 1.7 % slow in every minute
    (loops(59.5, 180), [], 3, 0),              # within 1 %
    (loops(50.0, 180), [(70.0, 100.0)], 2, 2),  # the tick-changed minute is left out
])
def test_minutes_and_loop_verdict(series, excluded, judged, bad):
    mins = verdict.minutes(series, 0.0, series[-1][0], excluded)
    rows = verdict.judge({}, mins, {}, 60.0, False)
    loop = [r for r in rows if r[1].startswith("loop rate")][0]
    assert sum(1 for m in mins if not m[3]) == judged
    assert loop[0] == (bad == 0)


def test_loop_count_wrap_counts_passes_across_it():
    series = [(t, (0xFFFFFF00 + int(60 * t)) % (1 << 32)) for t in range(0, 61)]
    [(m, passes, rate, ex)] = verdict.minutes(series, 0.0, 60.0, [])
    assert passes == 3600 and not ex


def proc(base, final, half_slope_per_s=0.0, threads=(5, 5), half_s=600.0):
    half = [(t, base[0] + half_slope_per_s * t, base[1]) for t in range(0, int(half_s), 5)]
    return {"base": (base[0], base[1], threads[0]), "final": (final[0], final[1], threads[1]),
            "half": half, "exit_ok": True, "reports": 0}


@pytest.mark.parametrize("p, sanitized, failing", [
    (proc((4000, 16), (4100, 16)), False, []),
    (proc((4000, 16), (9000, 16)), False, ["resident memory"]),
    (proc((4000, 16), (9000, 16)), True, []),                      # the quarantine's room
    (proc((4000, 16), (4000, 19)), False, ["descriptors"]),
    (proc((4000, 16), (4000, 16), threads=(5, 6)), False, ["threads"]),
    (proc((4000, 16), (4000, 16), threads=(5, 4)), False, []),     # a host's thread of the base ended
    (proc((4000, 16), (4000, 16), half_slope_per_s=4.0), False, ["memory trend"]),  # 14 MiB/h
    (proc((4000, 16), (4000, 16), half_slope_per_s=4.0, half_s=300.0), False, []),  # too short to judge
])
def test_process_verdicts(p, sanitized, failing):
    half_s = p["half"][-1][0] + 5
    rows = verdict.judge({"x": p}, [], {}, half_s, sanitized)
    failed = [text for ok, text in rows if not ok and text.startswith("x:")]
    assert len(failed) == len(failing), failed
    for f, want in zip(failed, failing):
        assert want in f


@pytest.mark.parametrize("line, adr, n, text, want", [
    (b"#0040 1b 41 00 00 ", 0x40, 4, False, b"\x1b\x41\x00\x00"),
    (b"#0040 1b 41 00 00  .A..", 0x40, 4, True, b"\x1b\x41\x00\x00"),
    (b"#0040 1b 41 00 00", 0x40, 4, False, None),        # no trailing blank
    (b"#0041 1b 41 00 00 ", 0x40, 4, False, None),       # another address
    (b"#0040 1B 41 00 00 ", 0x40, 4, False, None),       # upper case
    (b"#0040 1b 41 00 00  .A.", 0x40, 4, True, None),    # text column short
    (b"0040 1b 41 00 00 ", 0x40, 4, False, None),
])
def test_dump_answers(line, adr, n, text, want):
    assert hosts.dump_ok(line, adr, n, text) == want


def test_a_build_folder_without_the_programs_says_what_to_build(tmp_path):
    """A fresh clone has no build: the soak says which targets to build instead of failing to
    start a program that is not there."""
    import subprocess
    soak = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "soak")
    r = subprocess.run(["/usr/bin/python3", soak, "--minutes", "1", "--build", str(tmp_path)],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 2
    assert r.stderr == (f"soak: {tmp_path} has no orvane-sim, orvane-ctl, orvane-web; build it first: "
                        f"cmake -S . -B {tmp_path} -G Ninja && ninja -C {tmp_path} orvane-sim orvane-ctl orvane-web "
                        "(or ./run-tests)\n")
