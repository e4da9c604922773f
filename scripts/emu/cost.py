"""What the robot package costs the robot's CPU: `scripts/orvane-emu cost`.

Boots the package on the emulated board (QEMU's raspi0, whose clock counts instructions at 2 ns
each, so that a thread's run time in the guest is an estimate of its instructions that does not
depend on how busy the host is), puts it in one state after another (the daemon idle, a host
polling it, orvane-web with and without a page, orvane-mqtt at rest and while a motion plays,
everything together) and reads, over a fixed window of the guest's own time, every thread's run
time from the guest's /proc/PID/task/*/schedstat through the measuring agent (scripts/emu/agent).
Prints the tables of docs/performance.md."""
import bisect
import collections
import datetime
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'host', 'python'))
import orvane  # noqa: E402

CLO = 0x20003004  # the BCM2835's free-running microsecond counter
WEB_TOKEN = 'emu-cost-page'  # orvane-web wants 8 characters at least
BRIDGE_ID = 'emu'
SETTLE = 5.0  # guest seconds between a change of state and its window

# A state is the set of activities that run in it, started in this order and stopped in reverse.
ORDER = ('web', 'page', 'mqtt', 'host', 'motion')
STATES = [
    ('idle', 'daemon idle, no host', ()),
    ('host', 'daemon, one host polling at 10 Hz', ('host',)),
    ('motion', 'daemon, a host playing a motion', ('motion',)),
    ('mqtt', 'orvane-mqtt at rest', ('mqtt',)),
    ('mqtt-motion', 'orvane-mqtt, a motion playing', ('mqtt', 'motion')),
    ('web', 'orvane-web, no page', ('web',)),
    ('page', 'orvane-web, one page open', ('web', 'page')),
    ('rest', 'the package at rest: daemon, bridge, web without a page', ('web', 'mqtt')),
    ('all', 'everything: a page open, the bridge, a motion, a host at 10 Hz',
     ('web', 'page', 'mqtt', 'host', 'motion')),
]
TARGETS = [  # (state, what, limit in % of the CPU)
    ('idle', 'the daemon idle', 'daemon', 0.5),
    ('rest', 'the package at rest', 'package', 2.0),
    ('all', 'a page open and a motion playing', 'package', 10.0),
]
LOOP_TARGET = 59.5

# Programs by the guest's name for their process (15 characters at most).
PROGRAMS = {'orvane': 'daemon', 'orvane-web': 'orvane-web', 'orvane-mqtt': 'orvane-mqtt',
            'orvane-page-rea': 'page reader'}
PACKAGE = ('daemon', 'orvane-web', 'orvane-mqtt')
# Threads that the name does not tell, by the order the program starts them.
ROLES = {'daemon': ('control loop', 'tick', 'output writer', 'servo'),
         'orvane-web': ('I/O', 'poller'),
         'orvane-mqtt': ('bridge', 'signals', 'broker link', 'broker link'),
         'page reader': ('reader',)}
NAMED = {'dbgs0': 'monitor listener', 'dbgs1': 'monitor connections'}
# ARM EABI system call numbers (the guest's), for the trace's counts.
SYSCALLS = {3: 'read', 4: 'write', 142: '_newselect', 162: 'nanosleep', 168: 'poll',
            177: 'rt_sigtimedwait', 224: 'gettid', 240: 'futex', 258: 'timer_settime',
            263: 'clock_gettime', 265: 'clock_nanosleep', 268: 'tgkill', 289: 'send',
            291: 'recv', 292: 'recvfrom', 290: 'sendto', 296: 'sendmsg', 297: 'recvmsg',
            336: 'ppoll', 346: 'epoll_pwait', 252: 'epoll_wait', 251: 'epoll_ctl',
            403: 'clock_gettime64', 407: 'clock_nanosleep_time64', 409: 'timer_settime64',
            413: 'pselect6_time64', 414: 'ppoll_time64', 421: 'rt_sigtimedwait_time64',
            422: 'futex_time64', 441: 'epoll_pwait2', 54: 'ioctl', 221: 'fcntl64', 6: 'close',
            5: 'open', 322: 'openat', 20: 'getpid'}


# -- the guest's counters
class Snap:
    """One reading of the agent's snap: the guest's clocks and every task's run time."""

    def __init__(self, text):
        self.clo = self.uptime = self.idle = None
        self.tasks = {}  # tid -> (pid, run_ns, wait_ns, slices, process name, thread name)
        for line in text.splitlines():
            w = line.split('\t') if line.startswith('task\t') else line.split()
            if w[:1] == ['clo'] and len(w) == 2:
                self.clo = int(w[1], 16)
            elif w[:1] == ['uptime'] and len(w) == 3:
                self.uptime, self.idle = float(w[1]), float(w[2])
            elif w[:1] == ['task'] and len(w) == 8:
                self.tasks[int(w[2])] = (int(w[1]), int(w[3]), int(w[4]), int(w[5]), w[6], w[7])
        if self.clo is None or self.uptime is None or not self.tasks:
            raise ValueError(f'not a snap of the agent: {text[:200]!r}')

    def pids(self, program):
        return sorted({t[0] for t in self.tasks.values() if PROGRAMS.get(t[4]) == program})


def thread_roles(tasks, program):
    """{tid: role} for one process's tasks [(tid, thread name)], in the order it made them."""
    roles, unnamed = {}, list(ROLES.get(program, ()))
    for tid, name in sorted(tasks):
        if name in NAMED and program == 'daemon':
            roles[tid] = NAMED[name]
        elif unnamed:
            roles[tid] = unnamed.pop(0)
        else:
            roles[tid] = 'other threads'
    return roles


def usage(s0, s1):
    """Shares of the emulated CPU between two snaps, in %: {program: {role: share}}, with the
    rest of the guest's tasks (kernel threads, init, the agent) as 'kernel and the rest'.
    A thread that began between the snaps counts from zero; one that ended is not counted."""
    window_ns = ((s1.clo - s0.clo) & 0xFFFFFFFF) * 1000
    if window_ns <= 0:
        raise ValueError('the guest clock did not advance between the snaps')
    by_pid = collections.defaultdict(list)
    for tid, t in s1.tasks.items():
        by_pid[t[0]].append((tid, t[5]))
    out = collections.defaultdict(lambda: collections.defaultdict(float))
    for pid, tasks in by_pid.items():
        program = PROGRAMS.get(s1.tasks[tasks[0][0]][4])
        roles = thread_roles(tasks, program) if program else {}
        for tid, _ in tasks:
            before = s0.tasks.get(tid)
            ran = s1.tasks[tid][1] - (before[1] if before and before[0] == pid else 0)
            out[program or 'kernel and the rest'][roles.get(tid, 'all')] += 100.0 * ran / window_ns
    return out


def guest_busy(s0, s1):
    """% of the guest's time that its CPU was not idle (the kernel's own idle accounting)."""
    up = s1.uptime - s0.uptime
    return 100.0 * (1 - (s1.idle - s0.idle) / up) if up > 0 else float('nan')


def total(shares, programs):
    return sum(sum(shares.get(p, {}).values()) for p in programs)


# -- the trace: tick-to-pass and system calls
class Trace:
    """The agent's trace: the threads it covered and their switches, wake-ups and calls."""

    def __init__(self, text, seconds):
        self.seconds = seconds
        self.tids = {}  # tid -> (pid, thread name)
        self.events = []  # (kind, time in s, tid[, nr])
        self.ok = not text.startswith(('no tracer', 'unknown'))
        for line in text.splitlines():
            w = line.split()
            if w[:1] == ['tid'] and len(w) == 4:
                self.tids[int(w[2])] = (int(w[1]), w[3])
            elif w[:1] in (['S'], ['W']) and len(w) == 3:
                self.events.append((w[0], float(w[1]), int(w[2])))
            elif w[:1] in (['I'], ['B']) and len(w) == 2:
                self.events.append((w[0], float(w[1]), 0))
            elif w[:1] == ['C'] and len(w) == 4 and w[3].lstrip('-').isdigit():
                self.events.append(('C', float(w[1]), int(w[2]), int(w[3])))

    def threads_of(self, pid, program):
        """{tid: role} of one process's threads."""
        return thread_roles([(t, n) for t, (p, n) in self.tids.items() if p == pid], program)

    def tick_to_pass(self, tick, loop):
        """Delays in µs from the tick thread's wake-up, and from its start, to the control
        loop's next start: [(woken, started)], one per pass."""
        out, woken, started = [], None, None
        for e in self.events:
            if e[0] == 'W' and e[2] == tick and woken is None:
                woken = e[1]
            elif e[0] == 'S' and e[2] == tick and woken is not None and started is None:
                started = e[1]
            elif e[0] == 'S' and e[2] == loop and started is not None:
                out.append(((e[1] - woken) * 1e6, (e[1] - started) * 1e6))
                woken = started = None
        return out

    def idle_within(self, a, b):
        """Seconds that the CPU was idle between times a and b."""
        if not hasattr(self, '_idle'):
            self._idle, start = [], None
            for e in self.events:
                if e[0] == 'I' and start is None:
                    start = e[1]
                elif e[0] == 'B' and start is not None:
                    self._idle.append((start, e[1]))
                    start = None
            self._starts = [x[0] for x in self._idle]
        total = 0.0
        for s, e in self._idle[max(0, bisect.bisect_right(self._starts, a) - 1):]:
            if s >= b:
                break
            total += max(0.0, min(e, b) - max(s, a))
        return total

    def ticks(self, tick, period_us):
        """The tick's timing: (ticks per second, the same without the emulator's lateness,
        intervals in µs). The tick thread re-arms its timer for one period from its re-arm call,
        so each tick is due a period after the last call: time the guest's CPU spent idle past
        that is the emulator's (its clock follows the host's while the guest idles, and a host
        that does not run the emulator in time makes the tick late), not the guest's."""
        wakes, rearm, idle_late = [], None, 0.0
        for e in self.events:
            if e[0] == 'C' and e[2] == tick and e[3] in (258, 409):
                rearm = e[1]
            elif e[0] == 'W' and e[2] == tick:
                if rearm is not None and wakes:
                    idle_late += self.idle_within(rearm + period_us / 1e6, e[1])
                wakes.append(e[1])
                rearm = None
        if len(wakes) < 2:
            return float('nan'), float('nan'), []
        span = wakes[-1] - wakes[0]
        n = len(wakes) - 1
        return n / span, n / (span - idle_late), [(b - a) * 1e6 for a, b in zip(wakes, wakes[1:])]

    def calls(self, tid):
        """{system call name: calls per second} of one thread."""
        c = collections.Counter(SYSCALLS.get(e[3], f'#{e[3]}') for e in self.events
                                if e[0] == 'C' and e[2] == tid)
        return {k: v / self.seconds for k, v in c.most_common()}


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100 * (len(v) - 1))))] if v else float('nan')


# -- the host's side
class Agent:
    """The guest's measuring agent, one command per connection through the forward."""

    def __init__(self, port):
        self.port = port

    def __call__(self, line, timeout=120):
        with socket.create_connection(('127.0.0.1', self.port), timeout=timeout) as s:
            s.sendall((line + '\n').encode())
            data = b''
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data.decode(errors='replace')
                data += chunk

    def wait_up(self, deadline=60):
        end = time.monotonic() + deadline
        while True:
            try:
                if self('log none', timeout=10) is not None:
                    return
            except OSError:
                pass
            if time.monotonic() > end:
                raise RuntimeError(f'no measuring agent on 127.0.0.1:{self.port}')
            time.sleep(0.5)


class HostPoller(threading.Thread):
    """A host that reads what a page shows (the map's 0x20-0xff and 0xc00-0xdbf) ten times a
    second of the guest's time, over the monitor forward. The emulator may run slower than the
    host's clock, so the polls are paced by the daemon's pass counter: one every six passes, the
    sleep between them from the passes per host second seen so far."""

    PASSES = 6

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.polls, self.stopping, self.error = port, 0, threading.Event(), None

    def run(self):
        try:
            with orvane.Client('127.0.0.1', self.port, timeout=30) as c:
                every, last = 0.1, None  # host seconds between polls' starts
                while not self.stopping.is_set():
                    start = time.monotonic()
                    head = c.read(0x20, 0xE0)
                    c.read(0xC00, 0x1C0)
                    self.polls += 1
                    count = int.from_bytes(head[0x60:0x64], 'little')
                    if last and count != last[1]:
                        # Halfway to the pace this poll's passes show: steady, and quick enough.
                        pace = (start - last[0]) * self.PASSES / ((count - last[1]) & 0xFFFFFFFF)
                        every = min(1.0, max(0.02, (every + pace) / 2))
                    last = (start, count)
                    self.stopping.wait(max(0.0, start + every - time.monotonic()))
        except (OSError, orvane.Error) as e:
            self.error = e

    def stop(self):
        self.stopping.set()
        self.join(30)


class MotionLoop(threading.Thread):
    """A host playing the example sweep with orvane-ctl over the monitor forward, again and
    again until stopped."""

    def __init__(self, ctl, port):
        super().__init__(daemon=True)
        self.ctl, self.port = ctl, port
        self.stopping, self.proc, self.plays, self.failures = threading.Event(), None, 0, []

    def run(self):
        while not self.stopping.is_set():
            self.proc = subprocess.Popen(
                [self.ctl, '--robot', f'127.0.0.1:{self.port}', '--timeout', '30', 'play',
                 os.path.join(ROOT, 'motions', 'sweep.yaml'),
                 '--profile', os.path.join(ROOT, 'motions', 'robot.yaml')],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            err = self.proc.communicate()[1]
            if self.proc.returncode == 0:
                self.plays += 1
            elif not self.stopping.is_set():
                self.failures.append(err.strip()[-200:])
                self.stopping.wait(2)

    def stop(self):
        self.stopping.set()
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
        self.join(60)


class Broker:
    """mosquitto on a free loopback port, and a subscriber that counts the bridge's state
    messages."""

    def __init__(self, folder):
        self.port = free_port()
        conf = os.path.join(folder, 'mosquitto.conf')
        with open(conf, 'w') as f:
            f.write(f'listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n')
        self.proc = subprocess.Popen(['mosquitto', '-c', conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        end = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(('127.0.0.1', self.port), timeout=2).close()
                break
            except OSError:
                if time.monotonic() > end or self.proc.poll() is not None:
                    raise RuntimeError('mosquitto did not start')
                time.sleep(0.2)
        self.states = 0
        self.sub = subprocess.Popen(
            ['mosquitto_sub', '-h', '127.0.0.1', '-p', str(self.port), '-t',
             f'orvane/{BRIDGE_ID}/state'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, start_new_session=True)
        threading.Thread(target=self.count, daemon=True).start()

    def count(self):
        for _ in self.sub.stdout:
            self.states += 1

    def stop(self):
        for p in (self.sub, self.proc):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Run:
    """One board and what the states need around it."""

    def __init__(self, emu, deb, ctl, reader, window, settle=SETTLE, log=sys.stderr):
        self.emu, self.window, self.settle, self.log = emu, window, settle, log
        self.ctl = ctl
        self.dir = tempfile.mkdtemp(prefix='orvane-emu-cost-')
        self.broker = Broker(self.dir)
        self.board = emu.Board(deb=deb, agent_port=free_port(), broker_port=self.broker.port,
                               extra=[reader], log=log)
        self.agent = Agent(self.board.agent_port)
        self.active = {}
        self.mon = None

    def say(self, text):
        if self.log:
            print(f'orvane-emu cost: {text}', file=self.log, flush=True)

    def start(self):
        self.board.start()
        self.agent.wait_up()
        self.mon = orvane.Client('127.0.0.1', self.board.port, timeout=30)
        # The emulator has no I2C controller: with the LED boards on, each board's write waits
        # out its 50 ms time-out once a second, and the loop loses six passes a second to that.
        self.mon.set('led_on', 0)
        self.tick_us = self.mon.get('tick_period')
        return self

    def stop(self):
        for what in reversed(ORDER):
            if what in self.active:
                self.leave(what)
        if self.mon:
            self.mon.close()
        self.board.stop()
        self.broker.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- states
    def enter(self, what):
        if what == 'web':
            self.agent(f'start web orvane-web --listen 127.0.0.1:8080 --token {WEB_TOKEN} '
                       '--robot 127.0.0.1:6498')
            self.active[what] = True
        elif what == 'page':
            self.agent(f'start page orvane-page-reader 127.0.0.1:8080 {WEB_TOKEN} 0')
            self.active[what] = True
        elif what == 'mqtt':
            self.agent(f'start mqtt orvane-mqtt --robot 127.0.0.1 --id {BRIDGE_ID} '
                       f'--broker mqtt://{self.emu.GUEST_BROKER}')
            self.active[what] = True
        elif what == 'host':
            self.active[what] = HostPoller(self.board.port)
            self.active[what].start()
        elif what == 'motion':
            self.active[what] = MotionLoop(self.ctl, self.board.port)
            self.active[what].start()

    def leave(self, what):
        a = self.active.pop(what)
        if what in ('web', 'page', 'mqtt'):
            self.agent(f'stop {what}')
        else:
            a.stop()

    def become(self, wanted):
        for what in reversed(ORDER):
            if what in self.active and what not in wanted:
                self.leave(what)
        for what in ORDER:
            if what in wanted and what not in self.active:
                self.enter(what)

    # -- the guest's clock and counters
    def clo(self):
        return self.board.read32(CLO, 1)[0]

    def wait_guest(self, seconds):
        """Waits until the guest's clock has advanced by `seconds`; the host's seconds taken."""
        start, t0 = self.clo(), time.monotonic()
        deadline = t0 + 20 * seconds + 120
        while ((self.clo() - start) & 0xFFFFFFFF) < seconds * 1e6:
            if time.monotonic() > deadline:
                raise RuntimeError(f'the guest clock did not advance {seconds} s')
            time.sleep(0.25)
        return time.monotonic() - t0

    def loop_sample(self):
        return self.mon.get('loop_count'), self.clo()

    def measure(self, key, title, wanted, trace=0.0):
        self.say(f'{key}: {title}')
        self.become(wanted)
        self.wait_guest(self.settle)
        if bad := self.problems():
            raise RuntimeError(f'{key}: ' + '; '.join(bad))
        counters = self.counters()
        lc0, c0 = self.loop_sample()
        s0 = Snap(self.agent('snap'))
        host_t0 = time.monotonic()
        self.wait_guest(self.window)
        s1 = Snap(self.agent('snap'))
        host_s = time.monotonic() - host_t0
        lc1, c1 = self.loop_sample()
        guest_s = ((c1 - c0) & 0xFFFFFFFF) / 1e6
        counted = {k: (v - counters[k]) / guest_s for k, v in self.counters().items()}
        r = {'key': key, 'title': title, 'shares': usage(s0, s1), 'busy': guest_busy(s0, s1),
             'loop': (lc1 - lc0) / guest_s, 'guest_s': guest_s, 'host_s': host_s,
             'counted': counted, 'problems': self.problems(), 'tick_us': self.tick_us}
        if trace:
            pids = [p for prog in PACKAGE for p in s1.pids(prog)]
            text = self.agent(f'trace {trace} ' + ' '.join(map(str, pids)), timeout=120 + trace * 20)
            r['trace'] = Trace(text, trace)
            r['pids'] = {prog: s1.pids(prog) for prog in PACKAGE}
        return r

    def counters(self):
        """What flowed, so that a window shows the state it claims: host polls, state messages
        on the broker, pages' messages (the reader's last report), motions played."""
        c = {'state messages': self.broker.states}
        if 'host' in self.active:
            c['host polls'] = self.active['host'].polls
        if 'page' in self.active:
            m = re.findall(r'messages (\d+)', self.agent('log page'))
            c['page messages'] = int(m[-1]) if m else 0
        return c

    def problems(self):
        out = []
        for what, a in self.active.items():
            if isinstance(a, HostPoller) and a.error:
                out.append(f'host poller: {a.error}')
            if isinstance(a, MotionLoop) and a.failures:
                out.append(f'motion: {a.failures[-1]}')
            if what in ('web', 'page', 'mqtt'):
                log = self.agent(f'log {what}')
                if f'{what} not running' in log:
                    out.append(f'{what} ended: ' + ' / '.join(log.splitlines()[-3:]))
        return out


# -- the tables
def fmt(v, digits=2):
    return '-' if v is None or v != v else f'{v:.{digits}f}'


def summary_table(results):
    rows = ['| State | daemon | orvane-web | orvane-mqtt | robot package | page reader '
            '| kernel and the rest | whole guest busy | loop passes/s | what flowed (per guest second) |',
            '|---|---|---|---|---|---|---|---|---|---|']
    for r in results:
        sh = r['shares']
        flowed = ', '.join(f'{k} {v:.1f}' for k, v in r['counted'].items() if v or k != 'state messages')
        rows.append(f"| {r['title']} | {fmt(total(sh, ['daemon']))} | "
                    f"{fmt(total(sh, ['orvane-web']) if 'orvane-web' in sh else None)} | "
                    f"{fmt(total(sh, ['orvane-mqtt']) if 'orvane-mqtt' in sh else None)} | "
                    f"**{fmt(total(sh, PACKAGE))}** | "
                    f"{fmt(total(sh, ['page reader']) if 'page reader' in sh else None)} | "
                    f"{fmt(total(sh, ['kernel and the rest']))} | {fmt(r['busy'], 1)} | {fmt(r['loop'])} | {flowed or '-'} |")
    return '\n'.join(rows)


def thread_table(results):
    rows = ['| State | daemon\'s threads | orvane-web\'s | orvane-mqtt\'s |', '|---|---|---|---|']
    for r in results:
        cells = []
        for prog in PACKAGE:
            th = r['shares'].get(prog)
            cells.append(', '.join(f'{k} {v:.3f}' for k, v in sorted(th.items(), key=lambda kv: -kv[1]))
                         if th else '-')
        rows.append(f"| {r['title']} | " + ' | '.join(cells) + ' |')
    return '\n'.join(rows)


def trace_table(results):
    rows = ['| State | tick-to-pass from the tick thread\'s start: p50 / p99 / max (µs) '
            '| from its wake-up by the timer | ticks/s: measured, without the emulator\'s lateness '
            '(interval p50, µs) | system calls per second, by thread |',
            '|---|---|---|---|---|']
    for r in results:
        t = r.get('trace')
        if not t:
            continue
        if not t.ok:
            rows.append(f"| {r['title']} | the guest's kernel has no tracer | | | |")
            continue
        d, rate = [], (float('nan'), float('nan'), [])
        for pid in r['pids']['daemon']:
            role = {v: k for k, v in t.threads_of(pid, 'daemon').items()}
            if 'tick' in role and 'control loop' in role:
                d = t.tick_to_pass(role['tick'], role['control loop'])
                rate = t.ticks(role['tick'], r['tick_us'])
        woken = [x[0] for x in d]
        started = [x[1] for x in d]
        calls = []
        for prog in PACKAGE:
            for pid in r['pids'][prog]:
                per_role = collections.defaultdict(collections.Counter)
                for tid, role in t.threads_of(pid, prog).items():
                    per_role[role].update(t.calls(tid))
                for role, c in per_role.items():
                    if c:
                        top = ', '.join(f'{k} {v:.0f}' for k, v in c.most_common(4))
                        calls.append(f'{prog} {role}: {sum(c.values()):.0f} ({top})')
        r['tick_rate'] = rate[1]
        rows.append(f"| {r['title']} | {fmt(percentile(started, 50), 0)} / "
                    f"{fmt(percentile(started, 99), 0)} / {fmt(max(started) if started else None, 0)} | "
                    f"{fmt(percentile(woken, 50), 0)} / {fmt(percentile(woken, 99), 0)} / "
                    f"{fmt(max(woken) if woken else None, 0)} | {fmt(rate[0])}, {fmt(rate[1])} "
                    f"({fmt(percentile(rate[2], 50), 0)}) | {'; '.join(calls)} |")
    return '\n'.join(rows)


def targets_table(results):
    by = {r['key']: r for r in results}
    rows = ['| Target | Measured | Limit | |', '|---|---|---|---|']
    for key, what, whose, limit in TARGETS:
        if key in by:
            v = total(by[key]['shares'], ['daemon'] if whose == 'daemon' else PACKAGE)
            rows.append(f'| {what}: {whose} | {v:.2f} % | {limit} % | '
                        f'{"met" if v <= limit else "**missed**"} |')
    if results:
        low = min(results, key=lambda r: r['loop'])
        rows.append(f"| loop passes per second of guest time, every state | lowest {low['loop']:.2f} "
                    f"({low['title']}) | ≥ {LOOP_TARGET} | "
                    f"{'met' if low['loop'] >= LOOP_TARGET else '**missed**'} |")
        own = [r for r in results if r.get('tick_rate') == r.get('tick_rate') and 'tick_rate' in r]
        if own:
            low = min(own, key=lambda r: r['tick_rate'])
            rows.append(f"| the same without the emulator's lateness (traced ticks) | lowest "
                        f"{low['tick_rate']:.2f} ({low['title']}) | ≥ {LOOP_TARGET} | "
                        f"{'met' if low['tick_rate'] >= LOOP_TARGET else '**missed**'} |")
    return '\n'.join(rows)


def qemu_version():
    try:
        out = subprocess.run(['qemu-system-arm', '--version'], stdout=subprocess.PIPE,
                             text=True, check=True).stdout
        return out.splitlines()[0].replace('QEMU emulator version ', '')
    except (OSError, subprocess.CalledProcessError, IndexError):
        return 'unknown'


def report(results, window, load0, load1, deb):
    when = datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')
    ratio = sum(r['guest_s'] for r in results) / max(1e-9, sum(r['host_s'] for r in results))
    head = (f'## The robot package on the emulated BCM2835 ({when})\n\n'
            f'QEMU {qemu_version()}, `-M raspi0 -icount shift=1,sleep=on` (2 ns of guest time per '
            f'instruction); package {os.path.basename(deb)}; windows of {window:g} s of guest '
            f'time, {SETTLE:g} s after each change of state; guest time ran at {ratio:.2f} of '
            f"the host's; host load average {load0:.1f} at the start, {load1:.1f} at the end.\n\n"
            'Share of the emulated CPU (%), from the guest\'s schedstat:\n')
    parts = [head, summary_table(results), '', 'By thread (%):', '', thread_table(results)]
    traced = trace_table(results)
    if traced.count('\n') > 1:
        parts += ['', 'The kernel\'s tracer, a window of its own after the state\'s:', '', traced]
    parts += ['', 'Targets:', '', targets_table(results)]
    problems = [f"{r['title']}: {p}" for r in results for p in r['problems']]
    if problems:
        parts += ['', 'Problems seen: ' + '; '.join(problems)]
    return '\n'.join(parts) + '\n'


def main(emu, argv):
    import argparse
    ap = argparse.ArgumentParser(
        prog='orvane-emu cost',
        description='What each program of the robot package costs the emulated BCM2835, state '
                    'by state; prints the tables of docs/performance.md.')
    ap.add_argument('--window', type=float, default=30, help='guest seconds per state (default 30)')
    ap.add_argument('--states', default=','.join(s[0] for s in STATES),
                    help='states to measure, in order (default all: '
                         + ','.join(s[0] for s in STATES) + ')')
    ap.add_argument('--trace', default=','.join(s[0] for s in STATES),
                    help='states also traced for 10 guest seconds after their window: '
                         'tick-to-pass, the tick rate, system calls (default all; "" for none)')
    ap.add_argument('--deb', help='robot package (default: the newest in dist/)')
    ap.add_argument('--arm-build', default=os.path.join(ROOT, 'build-armv6'),
                    help='the robot build, for the page reader (default build-armv6)')
    a = ap.parse_args(argv)
    states = [s for key in a.states.split(',') for s in STATES if s[0] == key]
    if not states or len(states) != len(a.states.split(',')):
        ap.error(f'--states: choose from {", ".join(s[0] for s in STATES)}')
    traced = set(filter(None, a.trace.split(',')))
    subprocess.run([os.path.join(ROOT, 'scripts', 'deps.sh'), 'mosquitto', 'mosquitto-clients',
                    'socat'], check=True)
    reader = os.path.join(a.arm_build, 'bench', 'orvane-page-reader')
    subprocess.run([os.path.join(ROOT, 'scripts', 'arm-build.sh'), a.arm_build,
                    'orvane-page-reader'], check=True, stdout=sys.stderr)
    ctl = os.path.join(ROOT, 'build', 'host', 'ctl', 'orvane-ctl')
    if not os.access(ctl, os.X_OK):
        ap.error(f'no {ctl}: build it first (ninja -C build orvane-ctl orvane-chain)')
    deb = a.deb or emu.robot_deb()
    load0 = os.getloadavg()[0]
    run = Run(emu, deb, ctl, reader, a.window)
    results = []
    try:
        run.start()
        for key, title, wanted in states:
            results.append(run.measure(key, title, wanted, trace=10 if key in traced else 0))
    except (emu.BootHang, RuntimeError, OSError, orvane.Error) as e:
        print(f'orvane-emu cost: {e}', file=sys.stderr)
        if results:
            print(report(results, a.window, load0, os.getloadavg()[0], deb))
        return 1
    finally:
        run.stop()
    print(report(results, a.window, load0, os.getloadavg()[0], deb))
    return 0
