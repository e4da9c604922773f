"""A connection to the daemon's monitor port, with the map's fields by name.

Every command names its address and count (the daemon's remembered ones are shared by every
host); dumps are parsed from their hex fields; writes get no answer, so a cheap read follows
them; every wait is bounded by the time-out. One Client may be used from several threads: each
operation holds the client's lock for its own commands.
"""

import math
import socket
import threading
import time

from .errors import (Closed, ConnectError, NotInWriteList, NotReached, OutOfRange, ProtocolError,
                     Timeout)
from .fields import MAP_SIZE, decode, resolve
from .groups import UNREAD, VALID, groups_decode, groups_encode, groups_layout, groups_room, reading_of
from .model import (IMAGE_SPANS, by_joint, change_refusals, goal_units, joint_field, refuse_all,
                    servo_of, touches_watched)
from .play import play as _play
from .profile import Profile, load_profile, lround

DEFAULT_PORT = 6498
CHANNELS = 128
SERVO_MAX = 32
DEGREES_MAX = 150.0
TORQUE_ON_VALUE = 100
TTIME_MAX = 255              # ticks one trigger can start (one byte of ttime)
MOVE_TICKS_MAX = 2**31 - 1   # a longer move than TTIME_MAX is chained from triggers
TICK_US_DEFAULT = 16667      # the daemon's period, kept while tick_period holds one it ignores
TICK_US_MAX = 999999         # the longest period the daemon takes

_ONE, _TICK_PERIOD, _SV_TORQUE_ON, _SW_IN = 0x0010, 0x0040, 0x0048, 0x0060
_EXIT_REQ, _POWEROFF_REQ, _LOOP_COUNT, _WR_COUNT = 0x0050, 0x0051, 0x0080, 0x00A1
_IP_TARGET, _IP_ENABLE, _TTIME, _IP_COUNT = 0x0A00, 0x0B00, 0x0B80, 0x0D00
_SV_POS, _LED_A, _RD_GROUP, _IP_OUT = 0x0D80, 0x0C80, 0x00C0, 0x0C00
_WRITE_CHUNK = 256  # bytes per write line, far below the daemon's 2047 characters


def _whole(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _check_span(adr, n):
    if not _whole(adr) or not _whole(n):
        raise OutOfRange(f"address {adr!r} and count {n!r} must be whole numbers")
    if adr < 0 or n < 0 or adr >= MAP_SIZE or n > MAP_SIZE - adr:
        raise OutOfRange(f"bytes {adr}..{adr + n} lie beyond the map (0..4095)")


def _read_cmd(adr, n):
    return f"R {adr:04x} {n:04x}\n"


def _write_cmds(adr, data):
    lines = []
    for i in range(0, len(data), _WRITE_CHUNK):
        chunk = data[i:i + _WRITE_CHUNK]
        lines.append(f"W {adr + i:04x} " + " ".join(f"{b:02x}" for b in chunk) + "\n")
    return "".join(lines)


def _parse_dump(line, adr, n):
    """The bytes of an 'R' answer "#aaaa hh hh ... " for n bytes at adr, or None."""
    if len(line) != 6 + 3 * n or line[0] != "#" or line[5] != " ":
        return None
    hexdigits = "0123456789abcdef"
    if any(c not in hexdigits for c in line[1:5]) or int(line[1:5], 16) != adr & 0xFFFF:
        return None
    out = bytearray(n)
    for i in range(n):
        pair = line[6 + 3 * i:8 + 3 * i]
        if any(c not in hexdigits for c in pair) or line[8 + 3 * i] != " ":
            return None
        out[i] = int(pair, 16)
    return bytes(out)


def tick_us_of(tick_period):
    """The period the daemon runs at while the map's tick_period reads `tick_period`: it takes
    1..TICK_US_MAX and keeps its last valid period for anything else, which no host can read, so
    the start-up period stands in."""
    return tick_period if 1 <= tick_period <= TICK_US_MAX else TICK_US_DEFAULT


def split_move(ticks):
    """How a move of `ticks` passes is played as triggers of at most 255 ticks: a list of
    (part_ticks, fraction) per part, `fraction` being how far along the straight line from start
    to goal the part ends (1.0 for the last). The motion playback of the C++ tools splits alike."""
    parts = (ticks + TTIME_MAX - 1) // TTIME_MAX
    out, done = [], 0
    for p in range(1, parts + 1):
        until = ticks * p // parts
        out.append((until - done, 1.0 if p == parts else until / ticks))
        done = until
    return out


def _split_robot(robot, port):
    if robot.startswith("["):
        host, _, rest = robot[1:].partition("]")
        if rest.startswith(":"):
            port = rest[1:]
        elif rest:
            raise ConnectError(f"bad robot address '{robot}'")
    elif robot.count(":") == 1:
        host, port = robot.split(":")
    else:
        host = robot
    try:
        port = int(port)
        if not 1 <= port <= 65535:
            raise ValueError
    except ValueError:
        raise ConnectError(f"bad port in robot address '{robot}'") from None
    return host or "localhost", port


class Client:
    """One monitor connection. Use orvane.connect() to make one."""

    def __init__(self, host="localhost", port=DEFAULT_PORT, timeout=3.0, profile=None):
        self.host, self.port = _split_robot(host, port)
        self.robot = f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"
        self.timeout = timeout
        self.banner = ""
        self.profile = profile
        self._sock = None
        self._buf = b""
        self._lock = threading.RLock()
        self.reconnect()

    @property
    def profile(self):
        """The robot's profile (orvane.Profile), or None: servos by id, no soft limits. Set it to
        a Profile, a file's path, or None."""
        return self._profile

    @profile.setter
    def profile(self, p):
        self._profile = p if p is None or isinstance(p, Profile) else load_profile(p)

    # -- connection
    def reconnect(self):
        with self._lock:
            self.close()
            try:
                self._sock = socket.create_connection((self.host, self.port), self.timeout)
            except socket.timeout:
                raise Timeout(f"cannot reach robot at {self.robot}: timed out") from None
            except socket.gaierror as e:
                raise ConnectError(f"cannot reach robot at {self.robot}: {e.strerror}") from None
            except OSError as e:
                why = (e.strerror or str(e)).lower()
                raise ConnectError(f"cannot reach robot at {self.robot}: {why}") from None
            self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                banner = self._line(time.monotonic() + self.timeout)
            except Timeout:
                self.close()
                raise Timeout(f"no banner from {self.robot}: timed out") from None
            except Closed:
                raise Closed(f"connection closed by the robot at {self.robot} before its banner") from None
            if not banner.startswith("#"):
                self.close()
                raise ProtocolError(f"{self.robot} is not an orvane monitor (banner '{banner[:40]}')")
            self.banner = banner

    def close(self):
        with self._lock:
            if self._sock is not None:
                self._sock.close()
            self._sock = None
            self._buf = b""

    @property
    def connected(self):
        return self._sock is not None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _connected(self):
        if self._sock is None:
            raise Closed(f"not connected to {self.robot}")
        return self._sock

    def _io(self, op, timed_out):
        """Runs a socket call; a failure closes the connection and raises the library's error."""
        try:
            return op()
        except socket.timeout:
            self.close()
            raise Timeout(timed_out) from None
        except OSError as e:
            self.close()
            why = (e.strerror or str(e)).lower()
            raise Closed(f"connection closed by the robot at {self.robot} ({why})") from None

    def _send(self, text, end):
        sock = self._connected()

        def send():
            sock.settimeout(max(end - time.monotonic(), 0.001))
            sock.sendall(text.encode("ascii"))
        self._io(send, f"the robot at {self.robot} takes no more commands: timed out")

    def _line(self, end):
        while b"\n" not in self._buf:
            sock = self._connected()
            left = end - time.monotonic()
            if left <= 0:
                self.close()
                raise Timeout(f"no answer from the robot at {self.robot}: timed out")

            def recv():
                sock.settimeout(left)
                return sock.recv(16384)
            got = self._io(recv, f"no answer from the robot at {self.robot}: timed out")
            if not got:
                self.close()
                raise Closed(f"connection closed by the robot at {self.robot}")
            self._buf += got
        line, _, self._buf = self._buf.partition(b"\n")
        # Dump text columns may hold any byte; only 'R' answers are parsed, from their hex fields.
        return line.rstrip(b"\r").decode("latin-1")

    def _answer(self, adr, n, end):
        line = self._line(end)
        data = _parse_dump(line, adr, n)
        if data is None:
            self.close()
            raise ProtocolError(f"unexpected answer from {self.robot}: '{line[:60]}'")
        return data

    # -- raw map access
    def read(self, adr, n):
        """n bytes of the map from adr, as bytes."""
        _check_span(adr, n)
        if n == 0:
            return b""
        with self._lock:
            end = time.monotonic() + self.timeout
            self._send(_read_cmd(adr, n), end)
            return self._answer(adr, n, end)

    def _write_lines(self, lines):
        """Sends lines, then a cheap read whose answer shows that the daemon carried them out."""
        with self._lock:
            end = time.monotonic() + self.timeout
            self._send(lines + _read_cmd(_ONE, 1), end)
            self._answer(_ONE, 1, end)

    def write(self, adr, data, check_limits=True):
        """Writes bytes at adr; returns once the daemon has stored them. With a profile, a write
        that would send a servo beyond its joint's limits (a goal channel's target or output, a
        trigger, a servo's torque, sv_torque_on, the write list) raises BeyondLimits and writes
        nothing, unless check_limits is False."""
        data = bytes(data)
        _check_span(adr, len(data))
        with self._lock:
            if check_limits and self._profile is not None and touches_watched(adr, len(data)):
                self._check_change([(adr, data)])
            self._write_lines(_write_cmds(adr, data))

    def _check_change(self, writes, outputs=None):
        """Refuses writes [(adr, bytes)], after which channels {ch: value} end at `outputs`,
        that the profile does not allow (model.change_refusals), from the map as it is."""
        now = bytearray(MAP_SIZE)
        for at, n in IMAGE_SPANS:
            now[at:at + n] = self.read(at, n)
        after = bytearray(now)
        for adr, data in writes:
            after[adr:adr + len(data)] = data
        for ch, v in (outputs or {}).items():
            after[_IP_OUT + 2 * ch:_IP_OUT + 2 * ch + 2] = v.to_bytes(2, "little", signed=True)
        refuse_all(change_refusals(self._profile, now, after))

    # -- fields by name
    def get(self, name, index=None):
        """A field's value: int, str for text, bytes for byte records: the map's own, raw (an
        sv_pos word is returned whatever it holds; position() says whether it is a reading).
        With a profile, "elbow" is the joint's position and "elbow.goal" its goal, in joint
        degrees (None while the position is no reading), and a joint name stands for its servo's
        index in the servo's fields ("elbow.torque", "sv_pos.elbow", "servo.elbow.goal")."""
        jf = joint_field(self._profile, name) if index is None and isinstance(name, str) else None
        if jf and jf[0] == "position":
            return self.position(name)
        if jf:
            f, i, off, label = resolve(jf[2])
            v = decode(f, self.read(off, f.width))
            return jf[1].joint_deg(v) if jf[0] == "goal" else v
        f, i, off, label = resolve(name, index)
        return decode(f, self.read(off, f.width))

    def set(self, name, value, index=None, check_write_list=True, *, check_limits=True):
        """Sets a field. Channel views (servo.3.goal, led.a.2) are set by a one-tick move of
        their channel alone; a servo's (servo.7.goal) is refused, as by move, while the servo is
        outside the write list, unless check_write_list is False. With a profile, "elbow.goal"
        takes joint degrees, and every goal (servo.3.goal, elbow.goal, ip_target.3) is held to
        the joints' limits unless check_limits is False."""
        jf = joint_field(self._profile, name) if index is None and isinstance(name, str) else None
        if jf and jf[0] == "position":
            raise OutOfRange(f"'{name}' is the joint's position, which the daemon writes; "
                             f"set '{name}.goal'")
        if jf and jf[0] == "goal":
            self.move({jf[1].name: value}, 1, check_write_list, check_limits=check_limits)
            return
        if jf:
            name = jf[2]
        f, i, off, label = resolve(name, index)
        if f.writer == "daemon":
            raise OutOfRange(f"'{label}' is written by the daemon; a host cannot set it")
        if f.type == "text":
            text = str(value).encode("latin-1")
            if len(text) >= f.width or b"\0" in text:
                raise OutOfRange(f"text for '{label}' longer than {f.width - 1} bytes or holding a zero byte")
            self.write(off, text.ljust(f.width, b"\0"))
            return
        if f.type == "bytes":
            data = bytes(value)
            if len(data) > f.width:
                raise OutOfRange(f"{len(data)} bytes for '{label}', which holds {f.width}")
            self.write(off, data)
            return
        if isinstance(value, bool) or not isinstance(value, int):
            raise OutOfRange(f"value {value!r} for '{label}' is not a whole number")
        if not f.min <= value <= f.max:
            raise OutOfRange(f"value {value} for '{label}' out of range {f.min}..{f.max}")
        if f.writer == "move":
            with self._lock:
                if check_write_list and f.name.startswith("servo."):
                    self._check_listed([i])
                self.move_channels({f.channel_of(i): value}, 1, check_limits)
        else:
            self.write(off, value.to_bytes(f.width, "little", signed=f.type == "int"), check_limits)

    # -- moves
    def _check_listed(self, ids):
        wl = self.write_list()
        out = []
        for sid in ids:
            if sid not in wl and sid not in out:
                out.append(sid)
        if out:
            raise NotInWriteList(out, wl)

    def move(self, goals, ticks=None, check_write_list=True, *, ms=None, check_limits=True):
        """Moves servos over `ticks` passes (1..MOVE_TICKS_MAX) or `ms` milliseconds (ticks at
        the period the daemon runs at). `goals` maps servo ids to their degrees
        (-150.0..150.0) and, with a profile, joint names to joint degrees: {"elbow": 45, 1: 10}.
        With a profile every goal is held to its joint's soft limits (BeyondLimits; nothing is
        sent) unless check_limits is False. Only the named servos' goal channels move. Returns
        once the move has started; a move longer than 255 ticks is chained (see split_move) and
        returns once its last part has started. Servos outside the write list raise
        NotInWriteList unless check_write_list is False."""
        targets = {}
        for who, deg in goals.items():
            sid, units = goal_units(self._profile, who, deg, check_limits)
            if sid in targets:
                raise OutOfRange(f"servo {sid} named twice")
            targets[sid] = units
        ticks = self._duration(ticks, ms)
        if check_write_list and targets:
            self._check_listed(list(targets))
        self.move_channels(targets, ticks, check_limits=False)

    def _duration(self, ticks, ms):
        if ticks is not None and ms is not None:
            raise OutOfRange("give a move's length in ticks or in ms, not both")
        if ms is not None:
            number = isinstance(ms, (int, float)) and not isinstance(ms, bool)
            if not number or not math.isfinite(ms) or ms <= 0:
                raise OutOfRange(f"move of {ms} ms: its length must be a number above 0")
            return self.ticks_for(ms)
        if ticks is None:
            raise OutOfRange("a move needs its length: ticks=N or ms=N")
        _check_ticks(ticks)
        return ticks

    def move_channels(self, targets, ticks, check_limits=True):
        """The same on interpolator channels {channel: raw value}; no write-list check. With a
        profile, a move that would send a servo beyond its joint's limits, or switch on the
        torque of one whose goal is beyond them, raises BeyondLimits unless check_limits is
        False; a servo may always be held where it is."""
        _check_ticks(ticks)
        want = bytearray(CHANNELS)
        for ch, v in targets.items():
            if not isinstance(ch, int) or not 0 <= ch < CHANNELS:
                raise OutOfRange(f"channel {ch} out of range 0..127")
            if not isinstance(v, int) or not -0x8000 <= v <= 0x7FFF:
                raise OutOfRange(f"value {v} for channel {ch} out of range -32768..32767")
            want[ch] = 1
        if not targets:
            return
        if check_limits and self._profile is not None and any(1 <= c <= 2 * SERVO_MAX for c in targets):
            writes = [(_IP_TARGET + 2 * ch, v.to_bytes(2, "little", signed=True))
                      for ch, v in targets.items()]
            writes += [(_IP_ENABLE, bytes(want)), (_TTIME, bytes([min(ticks, TTIME_MAX)]))]
            with self._lock:
                self._check_change(writes, targets)
        if ticks > TTIME_MAX:
            self._move_chained(targets, ticks)
            return
        with self._lock:
            # Every other channel sits out this one trigger, so that none restarts from its
            # output toward a stale target or loses a move of its own; enables go back after.
            was = self.read(_IP_ENABLE, CHANNELS)
            lines = _write_cmds(_IP_ENABLE, want) if was != want else ""
            for ch, v in targets.items():
                lines += _write_cmds(_IP_TARGET + 2 * ch, v.to_bytes(2, "little", signed=True))
            lines += _write_cmds(_TTIME, bytes([ticks]))
            self._write_lines(lines)
            end = time.monotonic() + self.timeout
            while self.read(_TTIME, 1)[0] != 0:
                if time.monotonic() >= end:
                    restore = _write_cmds(_IP_ENABLE, was) if was != want else ""
                    self._write_lines(_write_cmds(_TTIME, b"\0") + restore)
                    raise Timeout(f"the robot at {self.robot} did not start the move: timed out")
                time.sleep(0.001)
            if was != want:
                self.write(_IP_ENABLE, was)
            self._next_pass()

    def _move_chained(self, targets, ticks):
        """A move longer than one trigger: parts along the straight line from the outputs the
        channels have now, each started once the one before has ended. The lock is let go
        between parts, as in wait_until_still. The targets are checked already."""
        tick = self.tick_us() / 1e6
        out = self.read(0x0C00, 2 * CHANNELS)
        start = {ch: int.from_bytes(out[2 * ch:2 * ch + 2], "little", signed=True) for ch in targets}
        parts = split_move(ticks)
        for n, (part_ticks, frac) in enumerate(parts, 1):
            part = {ch: v if n == len(parts) else lround(start[ch] + (v - start[ch]) * frac)
                    for ch, v in targets.items()}
            self.move_channels(part, part_ticks, check_limits=False)
            if n < len(parts):
                self._wait_part(next(iter(targets)), tick)

    def _wait_part(self, ch, tick):
        """Sleeps through most of a part, as ip_count says, and polls every eighth of a tick
        during its last pass, so the next trigger lands before the following pass."""
        last, give_up = None, time.monotonic() + max(self.timeout, 4 * tick)
        while True:
            left = self.read(_IP_COUNT + ch, 1)[0]
            if left == 0:
                return
            now = time.monotonic()
            if left != last:
                last, give_up = left, now + max(self.timeout, 4 * tick)
            elif now >= give_up:
                raise Timeout(f"the move on {self.robot} made no progress: timed out")
            nap = tick * (left - 1) - tick / 2 if left > 1 else tick / 8
            time.sleep(min(max(nap, 0.0005), 0.05))

    def _next_pass(self):
        """Waits until a control-loop pass has ended after this call: the pass that clears ttime
        or ip_count writes the outputs a moment later."""
        before = self.read(_LOOP_COUNT, 4)
        end = time.monotonic() + self.timeout
        while self.read(_LOOP_COUNT, 4) == before:
            if time.monotonic() >= end:
                raise Timeout(f"the control loop of {self.robot} does not run: timed out")
            time.sleep(0.002)

    def wait_until_still(self, ids=None, stall=3.0):
        """Waits until ip_count of the channels (servo ids or joint names are their goal
        channels; all if None) is 0. Raises Timeout if their counts make no progress for `stall`
        seconds."""
        chans = list(range(CHANNELS)) if not ids else [
            servo_of(self._profile, c)[0] if isinstance(c, str) else c for c in ids]
        for ch in chans:
            if not isinstance(ch, int) or isinstance(ch, bool) or not 0 <= ch < CHANNELS:
                raise OutOfRange(f"channel {ch} out of range 0..127")
        step = min(max(self.tick_us() / 2e6, 0.005), 0.05)
        last, give_up = None, time.monotonic() + stall
        while True:
            counts = self.read(_IP_COUNT, CHANNELS)
            left = sum(counts[ch] for ch in chans)
            if left == 0:
                with self._lock:
                    self._next_pass()
                return
            now = time.monotonic()
            if left != last:
                last, give_up = left, now + stall
            elif now >= give_up:
                raise Timeout(f"the move on {self.robot} made no progress: timed out")
            time.sleep(step)

    def wait_until_reached(self, ids, tolerance=1.0, timeout=3.0):
        """Waits until the servos' moves have ended (as wait_until_still), then until each
        servo's present position lies within `tolerance` degrees of its goal. Servos without a
        reading (see reading()) are not waited for: they are returned, as given. Raises
        NotReached, naming the servos still away from their goals, once `timeout` seconds have
        passed after the moves' end. Joint names show joint degrees, servo ids their own."""
        given = list(ids)
        servos = [servo_of(self._profile, who) for who in given]
        if not isinstance(tolerance, (int, float)) or not 0 <= tolerance <= 2 * DEGREES_MAX:
            raise OutOfRange(f"tolerance {tolerance} degrees out of range 0..300")
        if not given:
            return []
        self.wait_until_still([sid for sid, _ in servos])
        step = min(max(self.tick_us() / 2e6, 0.005), 0.05)
        give_up = time.monotonic() + timeout
        while True:
            groups, pos, comm = self._readings()
            goal = self.read(0x0C02, 2 * SERVO_MAX)
            unread, away, where = [], [], []
            for who, (sid, joint) in zip(given, servos):
                g = int.from_bytes(goal[2 * sid - 2:2 * sid], "little", signed=True)
                v = pos[sid - 1]
                if reading_of(groups, pos, sid, comm)[0] != VALID:
                    unread.append(who)
                elif abs(v - g) > round(tolerance * 10):
                    away.append(who)
                    at, of = ((joint.joint_deg(v), joint.joint_deg(g)) if by_joint(who, joint)
                              else (v / 10, g / 10))
                    where.append(f"{who} at {at:.1f} of {of:.1f}")
            if not away:
                return unread
            if time.monotonic() >= give_up:
                noun = "joint" if isinstance(away[0], str) else "servo"
                who = (f"{noun} {away[0]}" if len(away) == 1
                       else f"{noun}s " + ", ".join(str(i) for i in away))
                goals = "its goal" if len(away) == 1 else "their goals"
                detail = where[0].split(" ", 1)[1] if len(away) == 1 else ", ".join(where)
                raise NotReached(f"{who} on {self.robot} did not reach {goals} within {timeout:.1f} s "
                                 f"(tolerance {tolerance:.1f} degrees): {detail}", away)
            time.sleep(step)

    def tick_us(self):
        """The tick the daemon runs at, in microseconds: tick_us_of the map's tick_period."""
        return tick_us_of(self.get("tick_period"))

    def ticks_for(self, ms):
        """Ticks for a duration in milliseconds at the period the daemon ticks at (tick_us()):
        1..MOVE_TICKS_MAX, what move takes."""
        period = self.tick_us()
        return min(max(1, (round(ms * 1000) + period // 2) // period), MOVE_TICKS_MAX)

    def play(self, path, profile=None, speed=1.0, repeat=None, fit=False, ease=None, stop=None):
        """Plays a motion file (docs/motions.md) on this robot and returns once it has ended,
        with a PlayResult. The motion library plans and plays it, through orvane-ctl (see
        orvane.play), over a connection of its own: `profile` (a path or a Profile; by default
        this client's) gives the joints; `speed`, `repeat`, `fit` and `ease` are orvane-ctl
        play's options. A file that cannot be played raises MotionError listing every fault, and
        nothing moves. Ctrl-C (KeyboardInterrupt) stops it: the servos hold where they are, then
        the KeyboardInterrupt goes on; setting the threading.Event `stop` does the same from
        another thread, and the result says stopped."""
        return _play(self, path, profile, speed, repeat, fit, ease, stop)

    # -- servos, switches, LEDs
    def write_list(self):
        b = self.read(_WR_COUNT, 31)
        return list(b[1:1 + min(b[0], 30)])

    def torque(self, on, ids=None, check_write_list=True, *, check_limits=True):
        """Torque of servos, by id or joint name (the write list's when ids is None): on gives
        each the value TORQUE_ON_VALUE and makes sure sv_torque_on is set; off gives 0. Named
        servos outside the write list raise NotInWriteList unless check_write_list is False.
        With a profile, switching on a servo whose goal lies beyond its joint's limits raises
        BeyondLimits (it would go there) unless check_limits is False."""
        named = [servo_of(self._profile, who)[0] for who in ids or []]
        if check_write_list and named:
            self._check_listed(named)
        ids = named or self.write_list()
        targets = {32 + sid: TORQUE_ON_VALUE if on else 0 for sid in ids if 1 <= sid <= SERVO_MAX}
        with self._lock:
            if on and check_limits and self._profile is not None:
                self._check_change([(_SV_TORQUE_ON, b"\1\0")], targets)
            if on and self.read(_SV_TORQUE_ON, 2) == b"\0\0":
                self.write(_SV_TORQUE_ON, b"\1\0", check_limits=False)
            self.move_channels(targets, 1, check_limits=False)

    def position(self, who):
        """Present position of a servo (id: its degrees) or joint (name: joint degrees), or None
        while it has no reading: only a servo the daemon asks, and that answered, has one
        (reading() says why not)."""
        sid, joint = servo_of(self._profile, who)
        groups, pos, comm = self._readings()
        if reading_of(groups, pos, sid, comm)[0] != VALID:
            return None
        return joint.joint_deg(pos[sid - 1]) if by_joint(who, joint) else pos[sid - 1] / 10

    def pose(self):
        """Every joint's position, {name: joint degrees or None}, with a profile; without one,
        {id: degrees or None} for the servos of the write list."""
        groups, pos, comm = self._readings()
        whos = (self._profile.joints if self._profile is not None
                else [sid for sid in self.write_list() if 1 <= sid <= SERVO_MAX])
        out = {}
        for who in whos:
            sid = who if isinstance(who, int) else who.id
            v = pos[sid - 1] if reading_of(groups, pos, sid, comm)[0] == VALID else None
            if isinstance(who, int):
                out[sid] = None if v is None else v / 10
            else:
                out[who.name] = None if v is None else who.joint_deg(v)
        return out

    def positions(self):
        """The 32 sv_pos words as the map holds them, servo 1 first, whether they are readings
        or not (reading_of() tells)."""
        b = self.read(_SV_POS, 64)
        return [int.from_bytes(b[2 * i:2 * i + 2], "little", signed=True) for i in range(32)]

    # -- read groups
    def groups(self):
        """The read groups as the daemon polls them: four lists of ids."""
        return groups_decode(self.read(_RD_GROUP, 64))

    def set_groups(self, groups):
        """Writes all four read groups at once (fewer lists: the rest not polled). Each servo
        that no group polled before gets 0x7FFF in its sv_pos word first, so that until the
        daemon has asked it, its old word is not taken for a reading (NEVER_READ)."""
        data = groups_encode(groups)
        with self._lock:
            had = {sid for ids in self.groups() for sid in ids}
            lines = ""
            for sid in dict.fromkeys(sid for ids in groups for sid in ids):
                if 1 <= sid <= SERVO_MAX and sid not in had:
                    lines += _write_cmds(_SV_POS + 2 * (sid - 1), UNREAD.to_bytes(2, "little"))
            self._write_lines(lines + _write_cmds(_RD_GROUP, data))

    def read_servos(self, ids):
        """Lays the servos (ids or joint names) out in the read groups, as few groups as keep a
        cycle within a tick, replacing what they held; returns the layout written (ids)."""
        ids = [servo_of(self._profile, who)[0] for who in ids]
        g = groups_layout(ids, groups_room(self.tick_us(), len(self.write_list())))
        self.set_groups(g)
        return g

    def reading(self, who):
        """Whether a servo's (or joint's) position is current: (state, group, blocker), with
        state VALID, NO_GROUP, SILENT, BEHIND, NEVER_READ or COMM_OFF; see
        orvane.groups.reading_of."""
        sid, _ = servo_of(self._profile, who)
        groups, pos, comm = self._readings()
        return reading_of(groups, pos, sid, comm)

    def _readings(self):
        """What the reading rule needs: the groups, then the position words (a servo that has
        just joined a group is judged by its newer word), and whether sv_comm_on is set."""
        comm = self.get("sv_comm_on") != 0
        groups = self.groups()
        return groups, self.positions(), comm

    def switches(self):
        """The five switches, sw_in 0..4: True = closed."""
        b = self.read(_SW_IN, 10)
        return [b[2 * i] != 0 or b[2 * i + 1] != 0 for i in range(5)]

    def leds(self):
        """The 16 LED bytes: board A 0..7, then board B 0..7."""
        b = self.read(_LED_A, 32)
        return [b[2 * i] for i in range(16)]

    def set_leds(self, values):
        """Sets LEDs {0..15: value 0..255}."""
        targets = {}
        for i, v in values.items():
            if not isinstance(i, int) or not 0 <= i <= 15:
                raise OutOfRange(f"LED {i} out of range 0..15")
            if not isinstance(v, int) or not 0 <= v <= 255:
                raise OutOfRange(f"LED value {v} out of range 0..255")
            targets[64 + i] = v
        self.move_channels(targets, 1)

    # -- ending the daemon
    def _request_end(self, adr, what):
        with self._lock:
            end = time.monotonic() + self.timeout
            self._send(_write_cmds(adr, b"\1"), end)
            try:
                while True:
                    self._line(end)  # nothing comes; the connection closes as the daemon ends
            except Closed:
                return
            except Timeout:
                raise Timeout(f"the robot at {self.robot} did not {what}: timed out") from None

    def request_exit(self):
        """Asks the daemon to end and waits until it has closed the connection."""
        self._request_end(_EXIT_REQ, "end")

    def request_poweroff(self):
        """Asks the daemon to power the board off and waits until it has closed the connection."""
        self._request_end(_POWEROFF_REQ, "power off")


def _check_ticks(ticks):
    if not _whole(ticks) or not 1 <= ticks <= MOVE_TICKS_MAX:
        raise OutOfRange(f"move of {ticks} ticks out of range 1..{MOVE_TICKS_MAX}")


def connect(host="localhost", port=DEFAULT_PORT, timeout=3.0, profile=None):
    """Connects to the robot at host (or "host:port") and reads its banner; `profile` (a file's
    path or an orvane.Profile) gives the servos joint names and soft limits. Use it as a context
    manager: `with orvane.connect("robot.local") as r: r.move({1: 30.0}, ms=500)`."""
    return Client(host, port, timeout, profile)
