"""The robot model: which servo a name means, a goal in the map's units, and whether it may be
sent. Every path of the Client that makes a servo move goes through these checks: moves by joint
or by servo id, sets of goal fields, and raw writes and channel moves that touch a goal. Pure
functions on a Profile (None: no profile); no I/O, callable from any thread.

With a profile, a goal beyond a joint's soft limits, or one that puts its servo beyond its
-150..150 degrees, raises BeyondLimits before anything is sent. Values given next to a joint
name are joint degrees; next to a servo id, the servo's own degrees.
"""

import math
import re

from .errors import BeyondLimits, OutOfRange, UnknownJoint
from .profile import DEG_LIMIT, MAX_ID, fmt_deg, lround

UNITS_MAX = 1500  # a servo goal's range in 0.1 degree
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
        raise UnknownJoint(who, profile.names() if profile else None)
    raise OutOfRange(f"servo {who!r} is neither a servo id nor a joint name")


def by_joint(who, joint):
    """True when `who` names the servo by its joint, so its values are joint degrees."""
    return joint is not None and isinstance(who, str) and who == joint.name


def _refuse(profile, joint, sid, deg, why, who):
    raise BeyondLimits(f"{who}: {why} ({profile.file})", joint.name, sid, deg, joint.min, joint.max)


def goal_units(profile, who, deg, check_limits=True):
    """(servo id, goal in 0.1 degree) for a goal of `deg` degrees, after the model's checks:
    the servo's -150..150 always, the joint's soft limits with a profile unless check_limits is
    False. Raises OutOfRange (BeyondLimits for the limits) or UnknownJoint."""
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


def goal_refusal(profile, sid, units):
    """Why servo `sid` must not be sent the goal `units` (0.1 degree): beyond its joint's soft
    limits or its range. "" when it may, and always without a profile."""
    if profile is None:
        return ""
    joint = profile.by_id(sid)
    if joint is None:
        if abs(units) > UNITS_MAX:
            return f"servo {sid}: {fmt_deg(units / 10)} degrees is beyond its range of -150..150"
        return ""
    why = joint.check(joint.joint_deg(units))
    return f"servo {sid} is joint {joint.name}: {why}" if why else ""


def _refusal(profile, sid, units, why, how=""):
    joint = profile.by_id(sid)
    deg = joint.joint_deg(units) if joint else units / 10
    lo, hi = (joint.min, joint.max) if joint else (-DEG_LIMIT, DEG_LIMIT)
    return BeyondLimits(f"{why}{how} ({profile.file})", joint.name if joint else None, sid, deg,
                         lo, hi)


def check_units(profile, sid, units):
    """Refuses a goal word for servo `sid` (0.1-degree units) that the profile does not allow."""
    why = goal_refusal(profile, sid, units)
    if why:
        raise _refusal(profile, sid, units, why)


def refuse_all(refusals):
    """Raises the first of a list of BeyondLimits, naming every one, if there is any."""
    if refusals:
        first = refusals[0]
        first.refusals = [str(r) for r in refusals]
        first.args = ("; ".join(first.refusals),)
        raise first


# What a raw write is checked against: the bytes of the map that say which goal each servo is
# sent and whether it holds it. A write that touches none of them is not looked into.
_TORQUE_ON, _WR_COUNT, _WR_IDS, _TARGET, _ENABLE, _TTIME, _OUT = (
    0x0048, 0x00A1, 0x00A2, 0x0A00, 0x0B00, 0x0B80, 0x0C00)
WATCHED = ((_TORQUE_ON, 2), (_WR_COUNT, 31), (_TARGET + 2, 4 * MAX_ID), (_ENABLE + 1, 2 * MAX_ID),
           (_TTIME, 1), (_OUT + 2, 4 * MAX_ID))
# The reads that cover WATCHED: (address, count).
IMAGE_SPANS = ((0x0040, 0x80), (_TARGET, _OUT + 2 + 4 * MAX_ID - _TARGET))


def touches_watched(adr, n):
    return any(adr < at + size and at < adr + n for at, size in WATCHED)


def _word(img, adr):
    return int.from_bytes(img[adr:adr + 2], "little", signed=True)


def _holds(img, sid, trigger):
    """Whether servo sid holds its goal in the map `img` (a move's torque ramp counted when
    `trigger` starts one): in the write list, sv_torque_on set, its torque channel not 0."""
    listed = sid in img[_WR_IDS:_WR_IDS + min(img[_WR_COUNT], 30)]
    ch = MAX_ID + sid
    ramp = trigger and img[_ENABLE + ch] and _word(img, _TARGET + 2 * ch) != 0
    return listed and _word(img, _TORQUE_ON) != 0 and (_word(img, _OUT + 2 * ch) != 0 or ramp)


def change_refusals(profile, now, after):
    """What a change of the map from `now` to `after` (the map's bytes, at least those of
    IMAGE_SPANS) would do beyond the profile's limits, as a list of BeyondLimits: a goal
    channel's target or output set beyond its servo's limits; a trigger that starts a move of an
    enabled goal channel to a target beyond them; a servo made to hold a goal beyond them (its
    torque channel, sv_torque_on, the write list). A goal that does not change is never
    refused, so a servo may always be held where it is."""
    out = []
    if profile is None:
        return out
    trigger = after[_TTIME] != 0 and after[_TTIME] != now[_TTIME]
    for sid in range(1, MAX_ID + 1):
        tgt, was_tgt = _word(after, _TARGET + 2 * sid), _word(now, _TARGET + 2 * sid)
        goal, was_goal = _word(after, _OUT + 2 * sid), _word(now, _OUT + 2 * sid)
        checks = ((tgt != was_tgt and tgt != was_goal, tgt, ""), (goal != was_goal, goal, ""),
                  (trigger and after[_ENABLE + sid] != 0 and tgt != goal, tgt,
                   "; a trigger would move it there"),
                  (_holds(after, sid, trigger) and not _holds(now, sid, False), goal,
                   "; with torque it would go there"))
        for changed, units, how in checks:
            why = goal_refusal(profile, sid, units) if changed else ""
            if why:
                out.append(_refusal(profile, sid, units, why, how))
                break
    return out


def joint_field(profile, name):
    """A field name that names a servo by its joint: (kind, joint, field) with kind "position"
    ("elbow": the joint's position), "goal" ("elbow.goal": its goal, joint degrees) or "field"
    (the servo's own field, "elbow.torque", "servo.elbow.goal", "sv_pos.elbow", as
    "servo.3.torque"...). None when the name holds no joint; UnknownJoint when it names a servo
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
        raise UnknownJoint(who, profile.names() if profile is not None else None)
    return None
