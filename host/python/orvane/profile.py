"""Robot profiles (robot.yaml): joint names for servo ids, with direction, trim, soft limits and
top speed and acceleration. The same format and the same messages as the motion library's
reader; docs/motions.md describes it. Pure data and conversions, no I/O but reading the file.

YAML is read with PyYAML (Debian's python3-yaml), imported only when a profile is read, so the
rest of the module needs nothing beyond the standard library.
"""

import math
import os
import re
from dataclasses import dataclass

from .errors import Error

DEG_LIMIT = 150.0  # the servos' own range either side of centre
MAX_ID = 32        # servos with a goal channel and a position word
_FILE_MAX = 1 << 20   # bytes: a profile is a few lines
_DEPTH_MAX = 32       # nesting levels before anything walks the document
_JOINT_FIELDS = ("id", "trim", "reverse", "min", "max", "speed", "accel")
# What the motion library takes for a number: decimal or hexadecimal, nothing else.
_NUMBER = re.compile(r"[+-]?(?:0[xX][0-9a-fA-F]+|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)")
_TRUE = ("y", "yes", "true", "on")
_FALSE = ("n", "no", "false", "off")


class ProfileError(Error, ValueError):
    """A profile that cannot be used: `problems` holds every fault found, one
    "FILE:LINE: FIELD: what is wrong" each, as the C++ tools print them."""

    def __init__(self, problems):
        self.problems = list(problems)
        super().__init__("\n".join(self.problems))


def fmt_deg(d):
    """Degrees as a person writes them: "12.5", "-3", "0"."""
    s = f"{d:.2f}".rstrip("0").rstrip(".")
    return "0" if s == "-0" else s


def lround(x):
    """Rounds half away from zero, as the C++ side does."""
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


@dataclass(frozen=True)
class Joint:
    name: str
    id: int                  # servo id, 1..32
    trim: float = 0.0        # degrees added on the servo's side, after the direction
    reverse: bool = False    # the servo turns the other way from the joint
    min: float = -DEG_LIMIT  # soft limits, joint degrees
    max: float = DEG_LIMIT
    speed: float = 0.0       # top speed, degrees a second; 0: none
    accel: float = 0.0       # top acceleration, degrees a second squared; 0: none

    def servo_deg(self, deg):
        """The servo's degrees for a joint angle."""
        return (-deg if self.reverse else deg) + self.trim

    def units(self, deg):
        """The servo goal for a joint angle, in the map's 0.1-degree units."""
        return lround(self.servo_deg(deg) * 10)

    def joint_deg(self, units):
        """The joint angle a servo word (0.1-degree units) stands for."""
        d = units / 10 - self.trim
        return -d if self.reverse else d

    def check(self, deg):
        """Why the joint cannot be sent to `deg`, or "" if it can."""
        if not deg >= self.min or not deg <= self.max:
            return (f"{fmt_deg(deg)} degrees is outside the joint's limits "
                    f"{fmt_deg(self.min)}..{fmt_deg(self.max)}")
        s = self.servo_deg(deg)
        if not -DEG_LIMIT <= s <= DEG_LIMIT:
            return (f"{fmt_deg(deg)} degrees puts servo {self.id} at {fmt_deg(s)}, "
                    f"beyond its range of -150..150")
        return ""


class Profile:
    """A robot's joints. `file` is where it was read from; `text` its YAML; `urdf` the path of the
    robot's description it names (beside the profile), or ""."""

    def __init__(self, joints, file="", text="", robot="", urdf=""):
        self.joints = list(joints)
        self.file, self.text, self.robot, self.urdf = file, text, robot, urdf
        self._by_name = {j.name: j for j in self.joints}
        self._by_id = {j.id: j for j in self.joints}

    def find(self, name):
        return self._by_name.get(name)

    def by_id(self, sid):
        return self._by_id.get(sid)

    def names(self):
        return [j.name for j in self.joints]

    def __repr__(self):
        return f"<orvane.Profile {self.file or '(text)'}: {', '.join(self.names())}>"


def load_profile(path):
    """Reads a profile file; raises ProfileError listing every fault."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read(_FILE_MAX + 1)
    except OSError as e:
        raise ProfileError([f"{path}: cannot read the file: {e.strerror}"]) from None
    if len(data) > _FILE_MAX:
        raise ProfileError([f"{path}: larger than {_FILE_MAX} bytes: not a profile"])
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ProfileError([f"{path}: not valid YAML: not UTF-8 text at byte {e.start}"]) from None
    return parse_profile(text, path)


class _Reader:
    """Collects "FILE:LINE: FIELD: what" as the motion library's reader does."""

    def __init__(self, file):
        self.file, self.errors = file, []

    def fail(self, node, field, what):
        line = node.start_mark.line + 1 if node is not None else 0
        at = f"{self.file}:{line}" if line > 0 else self.file
        self.errors.append(f"{at}: " + (f"{field}: " if field else "") + what)

    def number(self, node, field):
        if _scalar(node) and _NUMBER.fullmatch(node.value):
            v = float(int(node.value, 16)) if "x" in node.value.lower() else float(node.value)
            if math.isfinite(v):
                return v
        self.fail(node, field, "needs a number")
        return None

    def flag(self, node, field):
        if _scalar(node):
            v = node.value
            if v == v.lower() or v == v.upper() or v == v.capitalize():
                if v.lower() in _TRUE:
                    return True
                if v.lower() in _FALSE:
                    return False
        self.fail(node, field, "needs true or false")
        return None

    def only(self, mapping, field, known):
        for k, _ in mapping.value:
            name = _text(k)
            if name not in known:
                at = f"{field}.{name}" if field else name
                self.fail(k, at, f"unknown field (known: {', '.join(known)})")


def _scalar(node):
    import yaml
    return isinstance(node, yaml.ScalarNode) and node.tag != "tag:yaml.org,2002:null"


def _text(node):
    import yaml
    return node.value if isinstance(node, yaml.ScalarNode) else ""


def _get(mapping, key):
    for k, v in mapping.value:
        if _text(k) == key:
            return v
    return None


def _compose(text, r):
    """The document's node tree, or None with the fault recorded. Its depth is bounded on the
    parser's flat event stream before anything walks it."""
    try:
        import yaml
    except ImportError:
        need = f"{r.file}: reading a profile needs PyYAML (Debian: python3-yaml)"
        raise ProfileError([need]) from None
    try:
        depth = 0
        for ev in yaml.parse(text, Loader=yaml.SafeLoader):
            if isinstance(ev, (yaml.MappingStartEvent, yaml.SequenceStartEvent)):
                depth += 1
                if depth > _DEPTH_MAX:
                    r.fail(ev, "", f"nested deeper than {_DEPTH_MAX} levels: not a profile")
                    return None
            elif isinstance(ev, (yaml.MappingEndEvent, yaml.SequenceEndEvent)):
                depth -= 1
        return yaml.compose(text, Loader=yaml.SafeLoader)
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        what = e.problem or e.context or "syntax error"
        r.errors.append(f"{r.file}:{mark.line + 1 if mark else 0}: not valid YAML: {what}")
    except yaml.YAMLError as e:
        r.errors.append(f"{r.file}: not valid YAML: {e}")
    return None


def _joint(r, key, v, joints):
    import yaml
    name = _text(key)
    f = "joints." + name
    if not name or not isinstance(key, yaml.ScalarNode):
        return r.fail(key, "joints", "a joint needs a name")
    if any(j.name == name for j in joints):
        return r.fail(key, f, "named twice")
    if not isinstance(v, yaml.MappingNode):
        return r.fail(v, f, "needs a map with id, and optionally trim, reverse, min, max, speed, "
                            "accel")
    r.only(v, f, _JOINT_FIELDS)
    got, ok = {}, True
    node = _get(v, "id")
    if node is None:
        r.fail(v, f + ".id", "missing: every joint needs its servo id")
        ok = False
    else:
        sid = r.number(node, f + ".id")
        if sid is None:
            ok = False
        elif sid != math.floor(sid) or not 1 <= sid <= MAX_ID:
            r.fail(node, f + ".id", "servo ids are 1 to 32")
            ok = False
        else:
            other = next((j for j in joints if j.id == int(sid)), None)
            if other is not None:
                r.fail(node, f + ".id", f"servo {fmt_deg(sid)} is joint {other.name} already")
                ok = False
        got["id"] = int(sid) if sid is not None and sid == math.floor(sid) else 0
    for field, lo, hi in (("trim", -DEG_LIMIT, DEG_LIMIT), ("min", -DEG_LIMIT, DEG_LIMIT),
                          ("max", -DEG_LIMIT, DEG_LIMIT), ("speed", 0, 1e4), ("accel", 0, 1e6)):
        node = _get(v, field)
        if node is None:
            continue
        d = r.number(node, f"{f}.{field}")
        if d is None:
            ok = False
            continue
        if not lo <= d <= hi:
            r.fail(node, f"{f}.{field}", f"outside {fmt_deg(lo)}..{fmt_deg(hi)} degrees")
            ok = False
        got[field] = d
    node = _get(v, "reverse")
    if node is not None:
        rev = r.flag(node, f + ".reverse")
        got["reverse"] = bool(rev)
        ok = ok and rev is not None
    lo, hi = got.get("min", -DEG_LIMIT), got.get("max", DEG_LIMIT)
    if ok and lo >= hi:
        r.fail(v, f, f"min {fmt_deg(lo)} is not below max {fmt_deg(hi)}")
        ok = False
    if ok:
        joints.append(Joint(name=name, **got))


def parse_profile(text, file="robot.yaml"):
    """A profile from its YAML text; `file` names it in messages. Raises ProfileError."""
    import yaml
    r = _Reader(file)
    doc = _compose(text, r) if len(text) <= _FILE_MAX else None
    if len(text) > _FILE_MAX:
        r.errors.append(f"{file}: larger than {_FILE_MAX} bytes: not a profile")
    joints, robot, urdf = [], "", ""
    if not r.errors and not isinstance(doc, yaml.MappingNode):
        r.fail(doc, "", "a profile is a map with a 'joints' map")
    if not r.errors:
        r.only(doc, "", ("robot", "urdf", "joints"))
        u = _get(doc, "urdf")
        if u is not None and not (_scalar(u) and u.value):
            r.fail(u, "urdf", "needs a text value")
        elif u is not None:  # found beside the profile, wherever the program runs
            urdf = u.value if os.path.isabs(u.value) else os.path.join(os.path.dirname(file), u.value)
        js = _get(doc, "joints")
        if js is None or not isinstance(js, yaml.MappingNode) or not js.value:
            r.fail(js if js is not None else doc, "joints", "needs a map of joint names to servos")
        else:
            for k, v in js.value:
                _joint(r, k, v, joints)
        name = _get(doc, "robot")
        robot = name.value if _scalar(name) else ""
    if r.errors:
        raise ProfileError(r.errors)
    return Profile(joints, file=file, text=text, robot=robot, urdf=urdf)
