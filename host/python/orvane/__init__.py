"""orvane: talk to an orvane robot's memory map by field name. Standard library only (reading a
robot profile uses PyYAML, Debian's python3-yaml).

    import orvane
    with orvane.connect("localhost", profile="motions/robot.yaml") as robot:
        robot.torque(True, ["elbow"])
        robot.move({"elbow": 45}, ms=500)     # joint degrees, held to the joint's soft limits
        robot.wait_until_reached(["elbow"])   # the move has ended and the elbow is there
        robot.play("motions/wave.yaml")       # through the motion library's planner
"""

from .client import (CHANNELS, DEFAULT_PORT, DEGREES_MAX, MOVE_TICKS_MAX, SERVO_MAX, TICK_US_DEFAULT,
                     TICK_US_MAX, TORQUE_ON_VALUE, Client, connect, split_move, tick_us_of)
from .errors import (BeyondLimits, Closed, ConnectError, Error, MotionError, NotInWriteList, NotReached,
                     OutOfRange, ProtocolError, Timeout, UnknownField, UnknownJoint)
from .fields import FIELDS, MAP_SIZE, NO_READING, Field, decode, find_field, resolve, suggest
from .groups import (BEHIND, COMM_OFF, NEVER_READ, NO_GROUP, SILENT, UNREAD, VALID, groups_decode,
                     groups_encode, groups_layout, groups_room, reading_of, reading_why)
from .play import PlayResult, PlayWarning
from .profile import Joint, Profile, ProfileError, load_profile, parse_profile
from .version import __version__

__all__ = [
    "__version__",
    "CHANNELS", "DEFAULT_PORT", "DEGREES_MAX", "MOVE_TICKS_MAX", "SERVO_MAX", "TICK_US_DEFAULT",
    "TICK_US_MAX", "TORQUE_ON_VALUE", "Client", "connect", "split_move", "tick_us_of",
    "BeyondLimits", "Closed", "ConnectError", "Error", "MotionError", "NotInWriteList", "NotReached",
    "OutOfRange", "ProtocolError", "Timeout", "UnknownField", "UnknownJoint",
    "BEHIND", "COMM_OFF", "NEVER_READ", "NO_GROUP", "SILENT", "UNREAD", "VALID", "groups_decode",
    "groups_encode", "groups_layout", "groups_room", "reading_of", "reading_why",
    "PlayResult", "PlayWarning",
    "Joint", "Profile", "ProfileError", "load_profile", "parse_profile",
    "FIELDS", "MAP_SIZE", "NO_READING", "Field", "decode", "find_field", "resolve", "suggest",
]
