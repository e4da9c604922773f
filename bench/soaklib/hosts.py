"""Hosts that come and go on the monitor port, as a day brings them: polite ones that read and
write, pipelining ones, and ones that reset, half-close, never read or send garbage. Each checks
every answer it gets; the tallies are shared and guarded by one lock.

The map's last page (SCRATCH) belongs to the soak: no daemon field lives there, so whatever a
host writes there must read back unchanged from any connection."""

import random
import socket
import struct
import threading
import time

SCRATCH, SLOT = 0x0F00, 16
CHECKER_SLOTS = range(0, 4)  # the checker's own slots; churn hosts take the others
CHURN_SLOTS = range(4, 16)
DEADLINE = 20.0
KINDS = ["polite", "pipeline", "reset", "halfclose", "neverread", "garbage"]



def reset(s):
    """Closes with a reset instead of a goodbye, as a host that crashed does."""
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()

class Tally:
    """Counts shared by every host thread and the checker."""

    def __init__(self):
        self.lock = threading.Lock()
        self.n = {}
        self.problems = []  # (time, text), the first few kept whole

    def add(self, key, k=1):
        with self.lock:
            self.n[key] = self.n.get(key, 0) + k

    def get(self, key):
        with self.lock:
            return self.n.get(key, 0)

    def problem(self, key, text):
        with self.lock:
            self.n[key] = self.n.get(key, 0) + 1
            if len(self.problems) < 50:
                self.problems.append((time.strftime("%H:%M:%S"), f"{key}: {text}"))


def dump_ok(line, adr, n, text):
    """Whether line (without CR LF) is the answer to a dump of n bytes at adr: 'R' form (text
    False) or one line of the 'r' form (n <= 16); returns the bytes or None."""
    want = 6 + 3 * n + (1 + n if text else 0)
    if len(line) != want or line[0:1] != b"#" or line[5:6] != b" ":
        return None
    try:
        if int(line[1:5], 16) != adr or line[1:5] != line[1:5].lower():
            return None
        hexpart = line[6:6 + 3 * n]
        out = bytes(int(hexpart[3 * i:3 * i + 2], 16) for i in range(n))
        if any(hexpart[3 * i + 2:3 * i + 3] != b" " for i in range(n)):
            return None
        if any(hexpart[3 * i:3 * i + 2] != b"%02x" % out[i] for i in range(n)):
            return None
    except ValueError:
        return None
    if text and line[6 + 3 * n:7 + 3 * n] != b" ":
        return None
    return out


class Lines:
    """A connection's incoming lines, with a deadline on each."""

    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def line(self, deadline=DEADLINE):
        end = time.monotonic() + deadline
        while b"\n" not in self.buf:
            left = end - time.monotonic()
            if left <= 0:
                raise TimeoutError("no line within the deadline")
            self.sock.settimeout(left)
            got = self.sock.recv(65536)
            if not got:
                raise EOFError("closed")
            self.buf += got
        line, _, self.buf = self.buf.partition(b"\n")
        return line


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), DEADLINE)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s, Lines(s)


def banner(t, lines):
    b = lines.line()
    if not b.startswith(b"#orvane-") or b.endswith(b"\r"):
        t.problem("malformed", f"banner {b[:60]!r}")


def rand_span(rng):
    n = rng.choice([1, 2, 4, 16, rng.randint(1, 64), rng.randint(1, 4096)])
    return rng.randint(0, 4096 - n), n


def check_dump(t, line, adr, n, text):
    t.add("reads")
    if not line.endswith(b"\r") or dump_ok(line[:-1], adr, n, text) is None:
        t.problem("malformed", f"answer to {'r' if text else 'R'} {adr:x} {n:x}: {line[:60]!r}")
        return None
    return dump_ok(line[:-1], adr, n, text)


class Churn:
    """Starts one host of a given kind at a time on a thread of its own; slots for the polite
    hosts' writes are handed out so that no two hosts write the same bytes."""

    def __init__(self, port, tally, seed):
        self.port, self.t = port, tally
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.free = list(CHURN_SLOTS)
        self.expect = {}  # slot -> bytes a host wrote and saw stored, for the checker
        self.running = []

    def start(self, kind=None):
        with self.lock:
            kind = kind or self.rng.choices(KINDS, [6, 3, 2, 2, 1, 2])[0]
            seed = self.rng.getrandbits(32)
            self.running = [th for th in self.running if th.is_alive()]
            th = threading.Thread(target=self._run, args=(kind, random.Random(seed)), daemon=True)
            self.running.append(th)
        th.start()
        return kind

    def busy(self):
        with self.lock:
            return any(th.is_alive() for th in self.running)

    def _run(self, kind, rng):
        self.t.add("hosts." + kind)
        try:
            getattr(self, "_" + kind)(rng)
        except (OSError, EOFError, TimeoutError) as e:
            # A host the daemon should have served: the polite kinds never see their connection end.
            self.t.problem("host_failed", f"{kind}: {e!r}")

    def _polite(self, rng):
        s, lines = connect(self.port)
        with s:
            banner(self.t, lines)
            for _ in range(rng.randint(1, 5)):
                adr, n = rand_span(rng)
                s.sendall(b"R %x %x\n" % (adr, n))
                check_dump(self.t, lines.line(), adr, n, False)
            with self.lock:
                slot = self.free.pop(rng.randrange(len(self.free))) if self.free else None
            if slot is not None:
                try:
                    data = bytes(rng.getrandbits(8) for _ in range(SLOT))
                    adr = SCRATCH + SLOT * slot
                    s.sendall(b"W %x %s\nR %x %x\n" % (adr, data.hex(" ").encode(), adr, SLOT))
                    self.t.add("writes")
                    got = check_dump(self.t, lines.line(), adr, SLOT, False)
                    if got is not None and got != data:
                        self.t.problem("lost_write", f"slot {slot}: wrote {data.hex()} read {got.hex()}")
                    with self.lock:
                        self.expect[slot] = data
                finally:
                    with self.lock:
                        self.free.append(slot)
            s.sendall(b"q\n")
            s.settimeout(DEADLINE)
            if s.recv(100) != b"":
                self.t.problem("malformed", "bytes after quit")

    def _pipeline(self, rng):
        s, lines = connect(self.port)
        with s:
            banner(self.t, lines)
            asks = []
            for _ in range(rng.randint(10, 80)):
                text = rng.random() < 0.3
                adr, n = rand_span(rng)
                if text:
                    n = min(n, 16)
                asks.append((adr, n, text))
            s.sendall(b"".join(b"%s %x %x\n" % (b"r" if x else b"R", a, n) for a, n, x in asks))
            for adr, n, text in asks:
                check_dump(self.t, lines.line(), adr, n, text)

    def _reset(self, rng):
        s, lines = connect(self.port)
        s.sendall(b"R 0 1000\n" * rng.randint(1, 20))
        if rng.random() < 0.5:
            time.sleep(rng.random() * 0.2)
        reset(s)

    def _halfclose(self, rng):
        s, lines = connect(self.port)
        with s:
            banner(self.t, lines)
            asks = [rand_span(rng) for _ in range(rng.randint(1, 5))]
            s.sendall(b"".join(b"R %x %x\n" % a for a in asks))
            s.shutdown(socket.SHUT_WR)
            for adr, n in asks:
                check_dump(self.t, lines.line(), adr, n, False)
            try:
                extra = lines.line()
                self.t.problem("malformed", f"line after the answers of a half-closed host: {extra[:60]!r}")
            except EOFError:
                pass  # the daemon closed its side once it had answered: as it should

    def _neverread(self, rng):
        s, _ = connect(self.port)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.setblocking(False)
        sent, ask = 0, b"R 0 1000\n" * 64
        end = time.monotonic() + rng.uniform(10, 40)
        while time.monotonic() < end:
            try:
                sent += s.send(ask)
            except BlockingIOError:
                time.sleep(0.5)
        if rng.random() < 0.5:
            reset(s)
        else:
            s.close()

    def _garbage(self, rng):
        s, lines = connect(self.port)
        with s:
            banner(self.t, lines)
            # No 'W' or 'w' anywhere: garbage must not write the map. Tabs, zero bytes, CRs,
            # overlong lines and stray quits are all fair.
            alphabet = bytes(b for b in range(1, 256) if b not in b"\nWw")
            out = []
            for _ in range(rng.randint(1, 30)):
                n = rng.choice([0, 1, 5, 40, 300, 2047, 2048, 5000])
                out.append(bytes(rng.choice(alphabet) for _ in range(n)) + b"\n")
            got = b""
            try:  # a stray quit ends the connection early, with a reset if lines were left
                s.sendall(b"".join(out))
                s.settimeout(2.0)
                while len(got) < 1 << 22:
                    b = s.recv(65536)
                    if not b:
                        break
                    got += b
            except (TimeoutError, socket.timeout, ConnectionError):
                pass
            for line in got.split(b"\n")[:-1]:
                self.t.add("garbage_answers")
                if not line.startswith(b"#") or not line.endswith(b"\r"):
                    self.t.problem("malformed", f"answer to garbage: {line[:60]!r}")
