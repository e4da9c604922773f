"""orvane: talk to an orvane robot's memory map by field name. Standard library only.

    import orvane
    with orvane.connect("localhost") as robot:
        robot.torque(True, [1])
        robot.move({1: 30.0}, ticks=60)
        robot.wait_until_reached([1])   # the move has ended and servo 1 is there
"""

from .client import (CHANNELS, DEFAULT_PORT, DEGREES_MAX, MOVE_TICKS_MAX, SERVO_MAX, TICK_US_MAX,
                     TICK_US_START, TORQUE_ON_VALUE, Client, connect, split_move, tick_us_of)
from .errors import (Closed, ConnectError, Error, NotInWriteList, NotReached, OutOfRange,
                     ProtocolError, Timeout, UnknownField)
from .fields import FIELDS, MAP_SIZE, NO_READING, Field, decode, find_field, resolve, suggest
from .groups import (BEHIND, NO_GROUP, SILENT, VALID, groups_decode, groups_encode, groups_layout,
                     groups_room, reading_of, reading_why)
from .version import __version__

__all__ = [
    "__version__",
    "CHANNELS", "DEFAULT_PORT", "DEGREES_MAX", "MOVE_TICKS_MAX", "SERVO_MAX", "TICK_US_MAX",
    "TICK_US_START", "TORQUE_ON_VALUE", "Client", "connect", "split_move", "tick_us_of",
    "Closed", "ConnectError", "Error", "NotInWriteList", "NotReached", "OutOfRange", "ProtocolError",
    "Timeout", "UnknownField",
    "BEHIND", "NO_GROUP", "SILENT", "VALID", "groups_decode", "groups_encode", "groups_layout",
    "groups_room", "reading_of", "reading_why",
    "FIELDS", "MAP_SIZE", "NO_READING", "Field", "decode", "find_field", "resolve", "suggest",
]
