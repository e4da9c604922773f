"""orvane: talk to an orvane robot's memory map by field name. Standard library only.

    import orvane
    with orvane.connect("localhost") as robot:
        robot.torque(True, [1])
        robot.move({1: 30.0}, ticks=60)
        robot.wait_until_still([1])
"""

from .client import (CHANNELS, DEFAULT_PORT, DEGREES_MAX, SERVO_MAX, TORQUE_ON_VALUE, Client,
                     connect)
from .errors import Closed, ConnectError, Error, OutOfRange, ProtocolError, Timeout, UnknownField
from .groups import (BEHIND, NO_GROUP, SILENT, VALID, groups_decode, groups_encode, groups_layout,
                     groups_room, reading_of, reading_why)
from .fields import FIELDS, MAP_SIZE, NO_READING, Field, decode, find_field, resolve, suggest

__all__ = [
    "CHANNELS", "DEFAULT_PORT", "DEGREES_MAX", "SERVO_MAX", "TORQUE_ON_VALUE", "Client", "connect",
    "Closed", "ConnectError", "Error", "OutOfRange", "ProtocolError", "Timeout", "UnknownField",
    "BEHIND", "NO_GROUP", "SILENT", "VALID", "groups_decode", "groups_encode", "groups_layout",
    "groups_room", "reading_of", "reading_why",
    "FIELDS", "MAP_SIZE", "NO_READING", "Field", "decode", "find_field", "resolve", "suggest",
]
