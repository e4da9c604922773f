"""Playing a motion file on the robot through orvane-ctl, the project's one planner.

The motion library (C++) reads motion files, plans them and plays them on the daemon's
interpolator; orvane-ctl is its front end. Python runs that program rather than a planner of its
own, so that a motion plays, is refused and stops exactly as it does from the command line. The
program is found in ORVANE_CTL, then in the source tree's build folder (when this module runs
from the tree), then on PATH (the orvane-tools package installs it as /usr/bin/orvane-ctl).
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import warnings
from dataclasses import dataclass

from .errors import Closed, ConnectError, Error, MotionError, OutOfRange, Timeout
from .profile import Profile

_PREFIX = "orvane-ctl: "
_PLAYED = re.compile(r"^played .*: (\d+) moves, (\d+) ticks planned, (\d+) passes"
                     r"(?: \((\d+) started late and shortened(?:, (\d+) of them left out)?\))?$")
_STOPPED = re.compile(r"^interrupted: stopped after (\d+) of (\d+) moves")
_STOP_WAIT = 30.0  # seconds for orvane-ctl to hold the servos and end once asked to stop
EASES = ("linear", "smooth", "spline")


class PlayWarning(UserWarning):
    """What orvane-ctl warns of before a motion plays (servos without torque, ...)."""


@dataclass(frozen=True)
class PlayResult:
    moves: int           # moves started
    planned: int         # moves in the plan
    ticks: int           # ticks of the plan (0 when stopped)
    passes: int          # control-loop passes the play took (0 when stopped)
    stopped: bool        # stopped by the `stop` event; the servos hold where they were
    warnings: tuple      # orvane-ctl's warnings, as also given to warnings.warn
    late: int = 0        # moves whose trigger a busy host wrote after their planned pass: shortened
    skipped: int = 0     # of those, points on a keyframe's way already past, left out


def find_ctl():
    """The orvane-ctl to run: ORVANE_CTL, the source tree's build, or the one on PATH."""
    if os.environ.get("ORVANE_CTL"):
        return os.environ["ORVANE_CTL"]
    here = os.path.dirname(os.path.abspath(__file__))  # host/python/orvane in a source tree
    root = os.path.dirname(os.path.dirname(os.path.dirname(here)))
    tree = os.path.join(root, "build", "host", "ctl", "orvane-ctl")
    if os.path.isfile(os.path.join(root, "host", "ctl", "main.cpp")) and os.access(tree, os.X_OK):
        return tree
    found = shutil.which("orvane-ctl")
    if found:
        return found
    raise Error("cannot find orvane-ctl, which plays motions: install the orvane-tools package, "
                "build the source tree (./run-sim does), or name it in ORVANE_CTL")


def _profile_file(profile, made):
    """A file to hand to orvane-ctl for `profile` (a path or a Profile); a Profile that has no
    file of its own is written to a temporary one, added to `made`."""
    if profile is None:
        return None
    if not isinstance(profile, Profile):
        return os.fspath(profile)
    if profile.file and os.path.isfile(profile.file):
        return profile.file
    f = tempfile.NamedTemporaryFile("w", suffix=".yaml", prefix="orvane-profile-", delete=False)
    with f:
        f.write(profile.text)
    made.append(f.name)
    return f.name


def _command(client, path, profile, speed, repeat, fit, ease):
    if isinstance(speed, bool) or not isinstance(speed, (int, float)) or not 0.01 <= speed <= 100:
        raise OutOfRange(f"speed {speed!r} out of range 0.01..100")
    if repeat is not None and (isinstance(repeat, bool) or not isinstance(repeat, int)
                               or not 1 <= repeat <= 10000):
        raise OutOfRange(f"repeat {repeat!r} out of range 1..10000")
    if ease is not None and ease not in EASES:
        raise OutOfRange(f"ease '{ease}' is not linear, smooth or spline")
    timeout = min(max(float(client.timeout), 0.1), 3600.0)
    cmd = [find_ctl(), "-r", client.robot, "-t", f"{timeout:g}", "play", os.fspath(path),
           "--speed", repr(float(speed))]
    if profile:
        cmd += ["--profile", profile]
    if repeat is not None:
        cmd += ["--repeat", str(repeat)]
    if fit:
        cmd.append("--fit")
    if ease is not None:
        cmd += ["--ease", ease]
    return cmd


def _failure(status, said):
    """The exception for orvane-ctl's failure, from its status and its lines (prefix removed)."""
    last = said[-1] if said else f"orvane-ctl ended with status {status}"
    if status < 0:
        return Error(f"orvane-ctl was ended by signal {-status}")
    if last.endswith("nothing was sent") or "; nothing was sent" in last:
        return MotionError(said)
    for text, kind in (("timed out", Timeout), ("connection closed", Closed),
                       ("cannot reach", ConnectError)):
        if text in last:
            return kind(last)
    return Error(last)


def _stop(proc):
    """Asks orvane-ctl to stop as Ctrl-C does (it holds the moving servos where they are and
    ends), and waits for it; kills it only if it does not end."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
    try:
        proc.wait(_STOP_WAIT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def play(client, path, profile=None, speed=1.0, repeat=None, fit=False, ease=None, stop=None):
    """Plays the motion file `path` on the robot `client` is connected to; see Client.play."""
    made = []
    try:
        prof = _profile_file(client.profile if profile is None else profile, made)
        cmd = _command(client, path, prof, speed, repeat, fit, ease)
        # The profile is the one given here or none: not one the environment names for the tool.
        env = {k: v for k, v in os.environ.items() if k != "ORVANE_PROFILE"}
        try:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True, errors="replace", env=env)
        except OSError as e:
            raise Error(f"cannot run {cmd[0]}: {e.strerror} (set ORVANE_CTL)") from None
        out, err = [], []
        readers = [threading.Thread(target=_collect, args=(f, to), daemon=True)
                   for f, to in ((proc.stdout, out), (proc.stderr, err))]
        for t in readers:
            t.start()
        warned = 0
        try:
            while True:
                try:
                    proc.wait(0.05)
                    break
                except subprocess.TimeoutExpired:
                    pass
                if stop is not None and stop.is_set():
                    _stop(proc)
                    break
                warned = _warn(err, warned)
        except BaseException as e:  # Ctrl-C above all: the servos are held before it goes on
            _stop(proc)
            for t in readers:
                t.join(5)
            said = [line[len(_PREFIX):].rstrip("\n") for line in err
                    if line.startswith(_PREFIX) and not line.startswith(_PREFIX + "warning: ")]
            if said and hasattr(e, "add_note"):
                e.add_note(said[-1])  # "interrupted: stopped after 1 of 2 moves, ..."
            raise
        for t in readers:
            t.join()
        _warn(err, warned)
        said = [line[len(_PREFIX):].rstrip("\n") for line in err if line.startswith(_PREFIX)]
        said_warnings = tuple(s[len("warning: "):] for s in said if s.startswith("warning: "))
        said = [s for s in said if not s.startswith("warning: ")]
        if proc.returncode == 0:
            m = _PLAYED.match(out[-1].strip()) if out else None
            if not m:
                raise Error(f"orvane-ctl played, but said {''.join(out).strip()!r}")
            moves, ticks, passes, late, skipped = (int(x or 0) for x in m.groups())
            return PlayResult(moves, moves + skipped, ticks, passes, False, said_warnings, late, skipped)
        m = _STOPPED.match(said[-1]) if said else None
        # Stopped before it had its stop in place (it was still reading the files, nothing sent),
        # orvane-ctl ends by the signal itself.
        if stop is not None and stop.is_set() and (m or proc.returncode == -signal.SIGINT):
            moves, planned = (int(m.group(1)), int(m.group(2))) if m else (0, 0)
            return PlayResult(moves, planned, 0, 0, True, said_warnings)
        raise _failure(proc.returncode, said)
    finally:
        for name in made:
            os.unlink(name)


def _collect(f, lines):
    for line in f:
        lines.append(line)


def _warn(err, done):
    """Gives warnings.warn each warning line of orvane-ctl's not given yet; returns the count."""
    lines = list(err)
    for line in lines[done:]:
        if line.startswith(_PREFIX + "warning: "):
            warnings.warn(line[len(_PREFIX + "warning: "):].rstrip("\n"), PlayWarning, stacklevel=4)
    return len(lines)
