"""The churn hosts' checks against a stand-in monitor on loopback that answers well or in one
particular wrong way: each fault must land in its own tally, and a sound monitor in none."""
import os
import random
import socket
import sys
import threading

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from soaklib import hosts  # noqa: E402


class FakeMonitor:
    """A loopback monitor over a 4096-byte map for 'R' dumps, 'W' writes and 'q', with one fault."""

    def __init__(self, fault):
        self.fault, self.map = fault, bytearray(random.Random(2).randbytes(4096))
        self.ls = socket.create_server(("127.0.0.1", 0))
        self.port = self.ls.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                c, _ = self.ls.accept()
            except OSError:
                return
            threading.Thread(target=self.conn, args=(c,), daemon=True).start()

    def conn(self, c):
        with c:
            c.sendall(b"#orvane-6 (Jan  1 2026 00:00:00)\n")
            for line in c.makefile("rb"):
                w = line.split()
                if not w or w[0] == b"q":
                    return
                if w[0] == b"W" and self.fault != "drop_writes":
                    adr = int(w[1], 16)
                    for i, b in enumerate(w[2:]):
                        self.map[adr + i] = int(b, 16)
                elif w[0] in (b"R", b"r"):
                    adr, n = int(w[1], 16), int(w[2], 16)
                    body = b"".join(b"%02x " % b for b in self.map[adr:adr + n])
                    if self.fault == "upper":
                        body = body.upper()
                    if w[0] == b"r":
                        body += b" " + bytes(b if b >= 32 else 46 for b in self.map[adr:adr + n])
                    c.sendall(b"#%04x %s%s" % (adr, body, b"\n" if self.fault == "no_cr" else b"\r\n"))

    def close(self):
        self.ls.close()


@pytest.mark.parametrize("fault, kind, want", [
    (None, "polite", set()),
    (None, "pipeline", set()),
    ("drop_writes", "polite", {"lost_write"}),
    ("upper", "pipeline", {"malformed"}),
    ("no_cr", "polite", {"malformed"}),
])
def test_hosts_tally_each_fault_of_the_monitor(fault, kind, want):
    m = FakeMonitor(fault)
    try:
        t = hosts.Tally()
        c = hosts.Churn(m.port, t, 1)
        getattr(c, "_" + kind)(random.Random(5))
        got = {k for k in ("malformed", "lost_write", "host_failed") if t.get(k)}
        assert got == want, t.problems
        assert t.get("reads") > 0
    finally:
        m.close()
