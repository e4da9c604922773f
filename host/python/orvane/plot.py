"""Plots a recording made by ``orvane-ctl record`` (CSV, or MCAP through orvane.mcap): goal against position per servo over time,
with the passes that no poll saw shaded, and the switches underneath. Plots a motion's planned
curve too, from a motion file or the CSV of ``orvane-ctl play --dry-run --curve``: each joint's
curve, the goals the interpolator makes of it, the keyframes and the joint's limits.

    python3 -m orvane.plot FILE.csv -o FILE.png
    python3 -m orvane.plot motions/wave.yaml -p motions/robot.yaml -o wave.png

Needs matplotlib (Debian: python3-matplotlib, for /usr/bin/python3); the rest of the orvane
module does not.
"""

import argparse
import csv
import io
import math
import os
import re
import subprocess
import sys

GOAL = re.compile(r"^servo\.(\d+)\.goal$")
POS = re.compile(r"^sv_pos\.(\d+)$")
SWITCH = re.compile(r"^sw_in\.(\d+)$")
# orvane-ctl record ends a file whose positions had empty cells with lines such as
# "# sv_pos.2: no reading in 120 of 120 rows: servo 2 is not in a read group, ..."
NOTE = re.compile(r"^# sv_pos\.(\d+): (no reading in \d+ of \d+ rows)(?:: (.*))?$")
FIXED = ("time_s", "loop_count", "gap")


class RecordingError(Exception):
    """A file that is not a recording, with the reason."""


def number(cell):
    """A cell as a float; an empty cell (no reading) as NaN, which breaks the line there."""
    return float(cell) if cell.strip() else math.nan


def read_recording(path):
    """The columns of a recording: {name: [values]}, rows in file order."""
    try:
        with open(path, newline="") as f:
            rows = [r for r in csv.reader(f) if r and not r[0].startswith("#")]
    except OSError as e:
        raise RecordingError(f"cannot read {path}: {e.strerror}") from e
    if not rows or any(c not in rows[0] for c in FIXED):
        raise RecordingError(f"{path}: not a recording (no {', '.join(FIXED)} header)")
    head, data = rows[0], rows[1:]
    cols = {name: [] for name in head}
    for line, row in enumerate(data, start=2):
        if len(row) != len(head):
            raise RecordingError(f"{path}:{line}: {len(row)} cells, the header has {len(head)}")
        try:
            for name, cell in zip(head, row):
                cols[name].append(number(cell))
        except ValueError as e:
            raise RecordingError(f"{path}:{line}: not a number: {e}") from e
    return cols


def notes(path):
    """The '#' lines of a file, without their line ends; none if it cannot be read."""
    try:
        with open(path) as f:
            return [line.rstrip("\n") for line in f if line.startswith("#")]
    except OSError:
        return []


def no_reading_notes(path):
    """{servo id: why its position has empty cells}, from the notes at a recording's end."""
    found = {}
    for m in filter(None, map(NOTE.match, notes(path))):
        why = (m.group(3) or "").split(" (")[0]  # the advice in brackets is for the terminal
        found[int(m.group(1))] = f"{m.group(2)}: {why}" if why else m.group(2)
    return found


def joint_names(path):
    """{servo id: joint name}, from the "# joint,NAME,ID,..." lines that orvane-ctl record writes
    at the end of a recording made with a profile."""
    cells = [line.split(",") for line in notes(path) if line.startswith("# joint,")]
    return {int(c[2]): c[1] for c in cells if len(c) >= 3 and c[2].isdigit()}


def y_range(values, least=2.0):
    """Limits for a panel of these values: a tenth of their span above and below, and at least
    `least` degrees in all, so that a servo that held still gets an axis a person can read (not
    the +-0.05 matplotlib gives a flat line); None for no values."""
    v = [x for x in values if not math.isnan(x)]
    if not v:
        return None
    lo, hi = min(v), max(v)
    pad = max(0.1 * (hi - lo), (least - (hi - lo)) / 2, 0)
    return lo - pad, hi + pad


def legend_above(ax, handles, labels):
    """The key in a row above the panel, where it hides no data (a last keyframe at the right
    edge, say)."""
    if handles:
        ax.legend(handles, labels, loc="lower left", bbox_to_anchor=(0, 1.02), ncol=min(len(labels), 5),
                  fontsize="small", frameon=False, borderaxespad=0)


def position_label(sid, pos, notes=None):
    """The legend of a servo's position line: why it has empty cells, when it has."""
    note = (notes or {}).get(sid)
    if note is None and pos and all(math.isnan(v) for v in pos):
        note = "no reading"
    return f"position: {note}" if note else "position"


def servo_ids(cols):
    ids = set()
    for name in cols:
        m = GOAL.match(name) or POS.match(name)
        if m:
            ids.add(int(m.group(1)))
    return sorted(ids)


def gap_spans(cols):
    """(start, end) host times between which passes were missed."""
    t, gap = cols["time_s"], cols["gap"]
    return [(t[i - 1], t[i]) for i in range(1, len(t)) if gap[i] > 0]


def broken(t, v, gap, longer=5):
    """A series with NaN put in before every row that follows more than `longer` missed passes,
    so no line is drawn across a long hole; shorter ones are bridged and only shaded."""
    xs, ys = [], []
    for i, (x, y) in enumerate(zip(t, v)):
        if i and gap[i] > longer:
            xs.append(x)
            ys.append(math.nan)
        xs.append(x)
        ys.append(y)
    return xs, ys


def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save(fig, out):
    fig.tight_layout()
    fig.savefig(out, dpi=90)
    pyplot().close(fig)


def plot(cols, out, title=None, notes=None, names=None):
    save(recording_figure(cols, title, notes, names), out)


def recording_figure(cols, title=None, notes=None, names=None):
    """The figure of a recording; `names` {servo id: joint} labels its panels."""
    plt = pyplot()

    ids = servo_ids(cols)
    switches = [n for n in cols if SWITCH.match(n)]
    other = [n for n in cols if n not in FIXED and not (GOAL.match(n) or POS.match(n) or SWITCH.match(n))]
    panels = len(ids) + (1 if switches else 0) + (1 if other else 0)
    if panels == 0:
        raise RecordingError("nothing to plot: the recording has no field columns")
    heights = [2] * len(ids) + [1] * (1 if switches else 0) + [2] * (1 if other else 0)
    fig, axes = plt.subplots(panels, 1, sharex=True, figsize=(10, 1.0 + sum(heights) * 0.9),
                             gridspec_kw={"height_ratios": heights}, squeeze=False)
    axes = [a[0] for a in axes]
    t, gap = cols["time_s"], cols["gap"]
    spans = gap_spans(cols)
    missed = int(sum(g for g in gap if not math.isnan(g)))

    for i, (ax, sid) in enumerate(zip(axes, ids)):
        goal, pos = cols.get(f"servo.{sid}.goal"), cols.get(f"sv_pos.{sid}")
        if goal is not None:
            ax.step(*broken(t, goal, gap), where="post", color="tab:blue", lw=1.2, label="goal")
        if pos is not None:
            label = position_label(sid, pos, notes)
            ax.plot(*broken(t, pos, gap), color="tab:orange", lw=1.2, label=label)
            if label != "position" and i > 0:
                legend_above(ax, *ax.get_legend_handles_labels())
        limits = y_range((goal or []) + (pos or []))
        if limits:
            ax.set_ylim(*limits)
        joint = (names or {}).get(sid)
        ax.set_ylabel(f"{joint} (servo {sid})\ndegrees" if joint else f"servo {sid}\ndegrees")
        ax.grid(True, alpha=0.3)
    n = len(ids)
    if switches:
        ax = axes[n]
        for k, name in enumerate(switches):
            xs, ys = broken(t, [v * 0.8 + k for v in cols[name]], gap)
            ax.step(xs, ys, where="post", lw=1, label=f"switch {name.split('.')[1]}")
        ax.set_yticks(range(len(switches)))
        ax.set_yticklabels([s.split(".")[1] for s in switches])
        ax.set_ylim(-0.3, len(switches))
        ax.set_ylabel("switch")
        handles, labels = ax.get_legend_handles_labels()
        legend_above(ax, handles, [lb + (" (raised: closed)" if k == 0 else "") for k, lb in enumerate(labels)])
        n += 1
    if other:
        ax = axes[n]
        for name in other:
            ax.step(*broken(t, cols[name], gap), where="post", lw=1, label=name)
        legend_above(ax, *ax.get_legend_handles_labels())
        ax.grid(True, alpha=0.3)
    for ax in axes:
        for a, b in spans:
            ax.axvspan(a, b, color="tab:red", alpha=0.15, lw=0)
    if ids:
        handles, labels = axes[0].get_legend_handles_labels()
        if spans:
            from matplotlib.patches import Patch

            handles.append(Patch(color="tab:red", alpha=0.15))
            labels.append("passes missed")
        legend_above(axes[0], handles, labels)
    axes[-1].set_xlabel("host time (s)")
    rows = len(t)
    first = int(cols["loop_count"][0]) if rows else 0
    fig.suptitle(title or f"{rows} passes recorded from loop_count {first}, {missed} missed")
    return fig


PLAN_HEAD = ("tick", "time_s")
EASE_COLOUR = {"linear": "tab:gray", "smooth": "tab:green", "spline": "tab:purple"}


def read_plan(text, name):
    """A planned curve: {"joints": [(name, id, min, max)], "keyframes": [(n, line, tick, ease)],
    "cols": {name: [values]}}."""
    joints, frames, lines = [], [], []
    for line in text.splitlines():
        if line.startswith("# joint,"):
            _, j, sid, lo, hi = line.split(",")[:5]
            joints.append((j, int(sid), float(lo), float(hi)))
        elif line.startswith("# keyframe,"):
            _, n, ln, tick, ease = line.split(",")
            frames.append((int(n), int(ln), int(tick), ease))
        elif line and not line.startswith("#"):
            lines.append(line)
    rows = list(csv.reader(io.StringIO("\n".join(lines))))
    if not rows or tuple(rows[0][:2]) != PLAN_HEAD:
        raise RecordingError(f"{name}: not a planned curve (no tick,time_s header)")
    head = rows[0]
    cols = {h: [] for h in head}
    for n, row in enumerate(rows[1:], start=2):
        if len(row) != len(head):
            raise RecordingError(f"{name}: row {n}: {len(row)} cells, the header has {len(head)}")
        for h, cell in zip(head, row):
            cols[h].append(number(cell))
    return {"joints": joints, "keyframes": frames, "cols": cols}


def plan_of_motion(path, profile=None):
    """The planned curve of a motion file, from orvane-ctl (orvane.play.find_ctl: ORVANE_CTL,
    the source tree's build, or PATH), planned from rest at 60 Hz without asking a robot."""
    from .errors import Error
    from .play import find_ctl
    try:
        ctl = find_ctl()
    except Error as e:
        raise RecordingError(str(e)) from None
    cmd = [ctl, "play", path, "--dry-run", "--offline", "--curve", "-"]
    if profile:
        cmd += ["--profile", profile]
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    except OSError as e:
        raise RecordingError(f"cannot run {ctl}: {e.strerror} (set ORVANE_CTL)") from e
    if r.returncode != 0:
        raise RecordingError(r.stderr.strip() or f"{ctl} failed")
    return read_plan(r.stdout, path)


def plot_plan(plan, out, title=None):
    save(plan_figure(plan, title), out)


def plan_figure(plan, title=None):
    """The figure of a planned curve (read_plan)."""
    plt = pyplot()

    cols, joints, frames = plan["cols"], plan["joints"], plan["keyframes"]
    if not joints:
        raise RecordingError("nothing to plot: the motion moves no joint")
    fig, axes = plt.subplots(len(joints), 1, sharex=True, figsize=(10, 1.2 + 1.9 * len(joints)),
                             squeeze=False)
    axes = [a[0] for a in axes]
    t, ticks = cols["time_s"], cols["tick"]
    per_tick = (t[-1] / ticks[-1]) if ticks and ticks[-1] else 1 / 60
    for ax, (name, sid, lo, hi) in zip(axes, joints):
        curve, goal = cols[f"{name}.curve"], cols[f"{name}.goal"]
        # The curve wide and pale underneath, the interpolator's goals thin on top: where they
        # agree both show, where the straight moves cut a corner the goals stand out.
        ax.plot(t, curve, color="tab:orange", lw=3.0, alpha=0.55, label="planned curve", zorder=1)
        ax.plot(t, goal, color="tab:blue", lw=1.0, label="goal (interpolator)", zorder=2)
        at = [(tick * per_tick, ease) for _, _, tick, ease in frames]
        ax.scatter([x for x, _ in at], [curve[min(int(x / per_tick + 0.5), len(curve) - 1)] for x, _ in at],
                   c=[EASE_COLOUR.get(e, "k") for _, e in at], s=18, zorder=3)
        span = max(curve + goal) - min(curve + goal)
        margin = max(5.0, 0.15 * span)
        bottom, top = min(curve + goal) - margin, max(curve + goal) + margin
        for lim in (lo, hi):
            if bottom - margin <= lim <= top + margin:
                ax.axhline(lim, color="tab:red", ls="--", lw=0.9)
                bottom, top = min(bottom, lim - 2), max(top, lim + 2)
        ax.set_ylim(bottom, top)
        ax.set_ylabel(f"{name} (servo {sid})\ndegrees")
        ax.grid(True, alpha=0.3)
    handles, labels = axes[0].get_legend_handles_labels()
    from matplotlib.lines import Line2D

    handles += [Line2D([], [], color="tab:red", ls="--")]
    labels += ["limit"]
    for ease, colour in EASE_COLOUR.items():
        if any(e == ease for *_, e in frames):
            handles.append(Line2D([], [], marker="o", ls="", color=colour))
            labels.append(f"{ease} keyframe")
    legend_above(axes[0], handles, labels)
    axes[-1].set_xlabel("planned time (s)")
    fig.suptitle(title or f"planned curve: {len(frames)} keyframes, {t[-1]:.2f} s")
    return fig


def draw_file(path, out, title=None, profile=None):
    """Plots whatever `path` is: a motion file, a planned curve or a recording."""
    if re.search(r"\.ya?ml$", path):
        return plot_plan(plan_of_motion(path, profile), out, title or os.path.basename(path))
    if path.endswith(".mcap"):
        from . import mcap

        try:
            cols, notes = mcap.recording(path)
        except mcap.McapError as e:
            raise RecordingError(str(e)) from e
        return plot(cols, out, title, notes)
    try:
        with open(path) as f:
            text = f.read()
    except OSError as e:
        raise RecordingError(f"cannot read {path}: {e.strerror}") from e
    first = next((ln for ln in text.splitlines() if ln and not ln.startswith("#")), "")
    if first.startswith("tick,time_s"):
        return plot_plan(read_plan(text, path), out, title)
    return plot(read_recording(path), out, title, no_reading_notes(path), joint_names(path))


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m orvane.plot",
                                 description="Plot goal against position per servo from a recording, "
                                             "or a motion's planned curve.")
    ap.add_argument("csv", help="recording made by orvane-ctl record (CSV or MCAP), a motion file, or a planned curve")
    ap.add_argument("-o", "--output", help="image to write (default: the input's name with .png)")
    ap.add_argument("-p", "--profile", help="robot profile, for a motion file")
    ap.add_argument("--title", help="title over the plot")
    a = ap.parse_args(argv)
    out = a.output or re.sub(r"(\.csv|\.mcap|\.ya?ml)?$", ".png", a.csv, count=1)
    try:
        draw_file(a.csv, out, a.title, a.profile)
    except RecordingError as e:
        print(f"orvane.plot: {e}", file=sys.stderr)
        return 1
    except ImportError:
        print("orvane.plot: needs matplotlib (Debian: apt-get install python3-matplotlib, then use "
              "/usr/bin/python3)", file=sys.stderr)
        return 1
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
