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
