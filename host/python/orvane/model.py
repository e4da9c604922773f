"""The robot model: which servo a name means, a goal in the map's units, and whether it may be
sent. Every path of the Client that makes a servo move goes through these checks: moves by joint
or by servo id, sets of goal fields, and raw writes and channel moves that touch a goal. Pure
functions on a Profile (None: no profile); no I/O, callable from any thread.

With a profile, a goal beyond a joint's soft limits, or one that puts its servo beyond its
-150..150 degrees, raises OutsideLimits before anything is sent. Values given next to a joint
name are joint degrees; next to a servo id, the servo's own degrees.
"""

import math
import re

from .errors import NoSuchJoint, OutOfRange, OutsideLimits
from .profile import DEG_LIMIT, MAX_ID, fmt_deg, lround

UNITS_MAX = 1500  # a servo goal's range in 0.1 degree
# The goal words a raw write may reach: ip_target (a move's targets) and ip_out (what the servo
# exchange sends next), goal channels 1..32 of each.
GOAL_WORDS = (0x0A00, 0x0C00)
# Field names that name a servo: "servo.X.goal", "sv_pos.X", "X.goal", "X.torque".
_JOINTISH = re.compile(r"(?:servo|sv_pos)\.([^.]+)(?:\.[a-z_]+)?|([^.]+)\.(?:goal|torque)")


def servo_of(profile, who):
    """(servo id, its joint or None) for a servo id (int), a joint name or an id as text."""
    if isinstance(who, bool):
        raise OutOfRange(f"servo {who!r} is neither a servo id nor a joint name")
    if isinstance(who, int):
        if not 1 <= who <= MAX_ID:
            raise OutOfRange(f"servo id {who} out of range 1..32")
        return who, profile.by_id(who) if profile else None
    if isinstance(who, str):
        joint = profile.find(who) if profile else None
        if joint is not None:
            return joint.id, joint
        if who.isascii() and who.isdigit() and len(who) <= 9:
            return servo_of(profile, int(who))
        raise NoSuchJoint(who, profile.names() if profile else None)
    raise OutOfRange(f"servo {who!r} is neither a servo id nor a joint name")


def by_joint(who, joint):
    """True when `who` names the servo by its joint, so its values are joint degrees."""
    return joint is not None and isinstance(who, str) and who == joint.name


def _refuse(profile, joint, sid, deg, why, who=None):
    at = who if who is not None else f"servo {sid} is joint {joint.name}"
    raise OutsideLimits(f"{at}: {why} ({profile.file})", joint.name, sid, deg, joint.min, joint.max)


def goal_units(profile, who, deg, check_limits=True):
    """(servo id, goal in 0.1 degree) for a goal of `deg` degrees, after the model's checks:
    the servo's -150..150 always, the joint's soft limits with a profile unless check_limits is
    False. Raises OutOfRange (OutsideLimits for the limits) or NoSuchJoint."""
    sid, joint = servo_of(profile, who)
    number = isinstance(deg, (int, float)) and not isinstance(deg, bool) and math.isfinite(deg)
    if by_joint(who, joint):
        if not number:
            raise OutOfRange(f"goal {deg!r} for joint {who} is not a number of degrees")
        if check_limits:
            why = joint.check(deg)
            if why:
                _refuse(profile, joint, sid, deg, why, who)
        units = joint.units(deg)
        if abs(units) > UNITS_MAX:
            raise OutOfRange(f"{who}: {fmt_deg(deg)} degrees puts servo {sid} at "
                             f"{fmt_deg(units / 10)}, beyond its range of -150..150")
        return sid, units
    if not number or abs(deg) > DEG_LIMIT:
        raise OutOfRange(f"goal {deg} degrees for servo {sid} out of range -150.0..150.0")
    units = lround(deg * 10)
    if check_limits and joint is not None:
        check_units(profile, sid, units)
    return sid, units


def check_units(profile, sid, units):
    """Refuses a goal word for servo `sid` (0.1-degree units) that the profile does not allow."""
    if profile is None:
        return
    joint = profile.by_id(sid)
    if joint is None:
        if abs(units) > UNITS_MAX:
            deg = units / 10
            raise OutsideLimits(f"servo {sid}: {fmt_deg(deg)} degrees is beyond its range of -150..150 "
                                f"({profile.file})", None, sid, deg, -DEG_LIMIT, DEG_LIMIT)
        return
    deg = joint.joint_deg(units)
    why = joint.check(deg)
    if why:
        _refuse(profile, joint, sid, deg, why)


def goal_writes(adr, data, now):
    """The goal words a raw write of `data` at `adr` changes: [(servo id, new word)], the words'
    other bytes taken from `now`, a function (base) -> the 64 bytes of channels 1..32 there."""
    out = []
    end = adr + len(data)
    for base in GOAL_WORDS:
        lo, hi = base + 2, base + 2 + 2 * MAX_ID
        if end <= lo or adr >= hi:
            continue
        words = bytearray(now(base))
        for at in range(max(adr, lo), min(end, hi)):
            words[at - lo] = data[at - adr]
        for sid in range(1, MAX_ID + 1):
            w = base + 2 * sid
            if w + 2 > adr and w < end:
                out.append((sid, int.from_bytes(words[2 * sid - 2:2 * sid], "little", signed=True)))
    return out


def joint_field(profile, name):
    """A field name that names a servo by its joint: (kind, joint, field) with kind "position"
    ("elbow": the joint's position), "goal" ("elbow.goal": its goal, joint degrees) or "field"
    (the servo's own field, "elbow.torque", "servo.elbow.goal", "sv_pos.elbow", as
    "servo.3.torque"...). None when the name holds no joint; NoSuchJoint when it names a servo
    by a name that is no joint ("knee.goal", "servo.knee.goal")."""
    for j in profile.joints if profile is not None else ():
        if name == j.name:
            return "position", j, f"sv_pos.{j.id}"
        if name == j.name + ".goal":
            return "goal", j, f"servo.{j.id}.goal"
        if name == j.name + ".torque":
            return "field", j, f"servo.{j.id}.torque"
        for view in ("servo.", "sv_pos."):
            head = view + j.name
            if name == head or name.startswith(head + "."):
                return "field", j, f"{view}{j.id}{name[len(head):]}"
    m = _JOINTISH.fullmatch(name)
    who = m and (m.group(1) or m.group(2))
    if who and not who.isdigit():
        raise NoSuchJoint(who, profile.names() if profile is not None else None)
    return None
