"""Errors of the orvane module. Each message is one line that says what failed."""


class Error(Exception):
    """Base of every error the module raises."""


class ConnectError(Error, ConnectionError):
    """The robot cannot be reached: name not found, connection refused, no route."""


class Timeout(Error, TimeoutError):
    """No answer within the time-out; the connection is closed afterwards."""


class Closed(Error, ConnectionError):
    """The robot closed the connection."""


class ProtocolError(Error):
    """An answer that is not what the monitor protocol says."""


class UnknownField(Error, LookupError):
    """No field of that name; `suggestion` holds the nearest name, or ''."""

    def __init__(self, name, suggestion=""):
        self.name = name
        self.suggestion = suggestion
        hint = f" (did you mean '{suggestion}'?)" if suggestion else ""
        super().__init__(f"unknown field '{name}'{hint}")

    def __str__(self):
        return self.args[0]


class OutOfRange(Error, ValueError):
    """An index, value, address or count outside what the map allows, or a field the daemon
    writes. Nothing has been sent when this is raised."""


class NotInWriteList(OutOfRange):
    """Servos outside the write list (wr_ids), which would get neither goals nor torque: `ids`
    are the servos refused, `write_list` the list as read. Nothing has been written."""

    def __init__(self, ids, write_list):
        self.ids, self.write_list = list(ids), list(write_list)
        who = (f"servo {ids[0]} is" if len(ids) == 1
               else "servos " + ", ".join(str(i) for i in ids) + " are")
        wl = "wr_ids " + " ".join(str(i) for i in write_list) if write_list else "wr_ids is empty"
        super().__init__(f"{who} not in the write list ({wl}): nothing would reach "
                         + ("it" if len(ids) == 1 else "them"))


class NotReached(Timeout):
    """Servos that did not come within the tolerance of their goals in time; `ids` names them."""

    def __init__(self, message, ids):
        self.ids = list(ids)
        super().__init__(message)


class BeyondLimits(OutOfRange):
    """A goal beyond a joint's soft limits (or its servo's -150..150 degrees) with a profile
    loaded: `joint` and `id` name it, `value` is the goal in the joint's degrees, `min` and `max`
    the limits; `refusals` has one line for each servo refused. Nothing has been sent;
    check_limits=False is the one way past."""

    def __init__(self, message, joint, sid, value, lo, hi):
        self.joint, self.id, self.value, self.min, self.max = joint, sid, value, lo, hi
        self.refusals = [message]
        super().__init__(message)


class UnknownJoint(OutOfRange, LookupError):
    """A servo named by a joint the profile does not have (or by a name without a profile):
    `name` is the name given, `joints` the profile's joints. Nothing has been sent."""

    def __init__(self, name, joints=None):
        self.name, self.joints = name, list(joints or [])
        if joints is not None:
            super().__init__(f"no such joint '{name}' (joints: {', '.join(self.joints)})")
        else:
            super().__init__(f"no such joint '{name}': without a profile servos are named by "
                             f"their ids 1..32")


class MotionError(Error, ValueError):
    """A motion (or its profile) refused by the planner before anything was sent: `problems`
    lists every fault, one "FILE:LINE: FIELD: what is wrong" each, then the summary."""

    def __init__(self, problems):
        self.problems = list(problems)
        super().__init__("\n".join(self.problems))
