"""Every example in the README and docs/*.md, run: each fenced sh block and each transcript ('$ '
lines with what they print) in a folder of its own against an orvane-sim of its own, so that a
tool that changes shows here as a failing test. Examples that cannot run on a build machine are
in SKIP, with the reason, and are reported as skipped.

A transcript's printed lines must all appear, in order, in what the commands print; '...' stands
for any lines, or for the rest of a line; VARIABLE says which parts of a line are measured (a
count of passes, a build date) and may differ. The robot's address in them is localhost:6498."""
import glob
import os
import re
import shlex
import socket
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from fixtures import DEADLINE, ROOT, Sim, wait_for  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, 'host', 'python'))
import orvane  # noqa: E402

BUILD = os.environ.get('ORVANE_BUILD', os.path.join(ROOT, 'build'))

# What cannot run here, by the start of a command (a regular expression), and why.
SKIP = [
    (r'\./run-(sim|tests|web)\b', 'builds the tree and holds its terminal; the suite is what it runs'),
    (r'.*\b(sudo|systemctl|journalctl|sudoedit) ', "on the robot or the teacher's PC, as root, with their services"),
    (r'.*\b(10|192\.168)\.\d+\.\d+', 'another host'),
    (r'scp |.*robot\.local', 'copies to the robot'),
    (r'(scripts/|bench/|cmake |cd build|ctest |build/tests/)', 'builds or runs suites and benchmarks: CI runs them'),
    (r'build/daemon/orvane\b', "the robot's daemon: it needs the robot's devices"),
    (r'(token=|(\S*/)?orvane-web )', 'serves on a fixed port; the browser tests start orvane-web on a free one'),
    (r'(mosquitto|openssl |install -m|printf .*(credentials|teacher)|mkdir -p ~/.config|for n in|  pw=|'
     r'  sudo|done$)', "sets up the classroom's broker; tests/mqtt starts its own"),
    (r'orvane-mqtt ', 'needs a broker and the robot at another address'),
    (r'/usr/bin/python3 -m venv|pip install', 'makes a virtual environment: package_version builds the '
     'module the same way'),
    (r'orvane-ctl watch loop_count sv_pos\.1', 'runs until Ctrl-C; watch --count runs just below'),
    (r'orvane-ctl teach ', "interactive: keys and the simulator's console (MotionCtl.Teach* run it)"),
    (r'.*\bmirror --leader', 'runs until Ctrl-C, between two robots: the mirror tests run it between two '
     'orvane-sim on free ports'),
    (r'orvane-ctl record2motion demo\.', 'reads the demonstration that the mirror above records'),
    (r'build/sim/orvane-sim .*--port \d', 'serves on a fixed port; the tests start orvane-sim on a free one'),
    (r'.*\b[\w-]+\.local\b', 'another host'),
]

# Measured parts of printed lines: (pattern, stand-in), applied to what the docs show and to what
# the commands print alike.
VARIABLE = [
    (r'passes/s \(tick [\d.]+ Hz\)', 'passes/s'),
    (r'[\d.]+ passes/s', 'RATE passes/s'),
    (r'\d+ passes(\b.*)?$', 'N passes'),
    (r'recorded \d+ rows in \d+ polls: passes \d+\.\.\d+, \d+ missed in \d+ gaps', 'recorded ROWS'),
    (r'built \w+ +\d+ \d+ [\d:]+', 'built DATE'),
    (r'^#orvane-6 \(.*\)', '#orvane-6 (DATE)'),
    (r'^\d+\.\d+\t\d+$', 'SAMPLE'),
    (r'\(\d+\.\d s\)', '(SECONDS)'),
    (r'at most [\d.]+ degrees from', 'at most D degrees from'),
    (r'^played (\S+): .*', r'played \1: ...'),
]


def examples():
    """(file:line, [(command, [printed lines] or None)], {file: text}) for every example in the
    docs; the files are those its page shows with '$ cat FILE', for the commands that use them."""
    found = []
    for path in [os.path.join(ROOT, 'README.md')] + sorted(glob.glob(os.path.join(ROOT, 'docs', '*.md'))):
        page = []
        lines = open(path, encoding='utf-8').read().split('\n')
        i = 0
        while i < len(lines):
            m = re.match(r'^```(\w*)\s*$', lines[i])
            if not m:
                i += 1
                continue
            j = i + 1
            while j < len(lines) and not lines[j].startswith('```'):
                j += 1
            body, where = lines[i + 1:j], f'{os.path.relpath(path, ROOT)}:{i + 1}'
            if any(ln.startswith('$ ') for ln in body):
                page.append((where, transcript(body)))
            elif m.group(1) in ('sh', 'shell', 'bash'):
                page.append((where, [(c, None) for c in commands(body)]))
            i = j + 1
        shown = {shlex.split(c)[1]: '\n'.join(w) + '\n' for _, steps in page for c, w in steps
                 if w is not None and re.match(r'^cat \S+$', c)}
        found += [(where, steps, shown) for where, steps in page]
    return found


def commands(body):
    """The commands of an sh block: one a line, a trailing backslash joins the next."""
    out, cur = [], ''
    for ln in body:
        cur += ln.rstrip('\\') + ' ' if ln.endswith('\\') else ln
        if not ln.endswith('\\'):
            if cur.strip() and not cur.lstrip().startswith('#'):
                out.append(cur)
            cur = ''
    return out


def transcript(body):
    out = []
    for ln in body:
        if ln.startswith('$ '):
            out.append((ln[2:], []))
        elif out:
            out[-1][1].append(ln)
    return out


def skip_reason(cmd):
    for pattern, why in SKIP:
        if re.match(pattern, cmd.strip()):
            return why
    return None


def normal(line):
    """A line as compared: measured parts stood in for, and columns (aligned on a terminal, tabs
    in a pipe) as single spaces."""
    line = line.rstrip()
    for pattern, to in VARIABLE:
        line = re.sub(pattern, to, line)
    return re.sub(r'\s+', ' ', line)


def matches(want, got):
    """Every line of `want` in `got`, in order; '...' skips any lines, 'text ...' is a prefix."""
    got = [normal(g) for g in got]
    at = 0
    for w in want:
        w = normal(re.sub(r'\s+#\s.*$', '', w) if w.startswith('$') else w)
        if w == '...' or not w.strip():
            continue
        prefix = w.split(' ... ')[0] if ' ... ' in w else w[:-4] if w.endswith(' ...') else None
        while at < len(got) and not (got[at].startswith(prefix) if prefix else got[at] == w):
            at += 1
        if at == len(got):
            return w
        at += 1
    return None


def talk(address, lines):
    """What `nc` shows for these protocol lines: the banner and the daemon's answers."""
    host, port = address.split(':')
    s = socket.create_connection((host, int(port)), timeout=DEADLINE)
    f = s.makefile('rwb')
    shown = [f.readline().decode(errors='replace').rstrip('\n')]
    for ln in lines:
        f.write((ln + '\n').encode())
        f.flush()
        if ln[0] in 'rR':
            shown.append(f.readline().decode(errors='replace').rstrip('\n'))
    s.close()
    return shown


def first_readings(address):
    """Waits until every servo of the read groups has been read: a robot that has just started
    has read none, and the examples show one that has been running."""
    host, port = address.split(':')
    with orvane.Client(host, int(port), timeout=DEADLINE) as c:
        ids = [sid for group in c.groups() for sid in group]
        wait_for(lambda: all(orvane.reading_of(c.groups(), c.positions(), sid)[0] == orvane.VALID for sid in ids),
                 what=f'the first readings of servos {ids}')


# The simulator as the docs' own set-up has it: ./run-sim reads every servo.
SIM_ARGS = {'README.md': ['--read-all'], 'docs/motions.md': ['--read-all']}


def run(case, tmp_path):
    """Runs an example; the commands run and those skipped with why."""
    where, steps, files = case
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    sim = Sim('--no-console', *SIM_ARGS.get(where.split(':')[0], []))
    first_readings(sim.address)
    for name in ('motions', 'host', 'build'):
        os.symlink(os.path.join(ROOT, name) if name != 'build' else BUILD, tmp_path / name)
    env = {**os.environ, 'ORVANE_ROBOT': sim.address, 'HOME': str(tmp_path),
           'PATH': os.pathsep.join([os.path.join(BUILD, 'host', 'ctl'), os.path.join(BUILD, 'sim'),
                                    os.environ['PATH']])}
    local = lambda cmd: cmd.replace('localhost 6498', sim.address.replace(':', ' ')).replace(
        'localhost:6498', sim.address)
    shell = lambda script: subprocess.run(['bash', '-c', script], cwd=tmp_path, env=env, capture_output=True,
                                          text=True, timeout=120)
    skipped = [f'{c.strip()}: {skip_reason(c)}' for c, _ in steps if skip_reason(c)]
    steps = [(local(c), want) for c, want in steps if not skip_reason(c)]
    try:
        if steps and steps[0][1] is None:  # an sh block: one shell, as a reader pastes it
            r = shell('set -e\n' + '\n'.join(c for c, _ in steps) + '\nwait\n')
            assert r.returncode == 0, f'{where}: exit {r.returncode}:\n{r.stdout}{r.stderr}'
        for cmd, want in steps if steps and steps[0][1] is not None else []:
            if cmd.startswith('nc '):
                typed = [re.split(r'\s{2,}', ln)[0] for ln in want if re.match(r'^[rRwW] [0-9a-fA-F]', ln)]
                got = talk(sim.address, typed)
                want = [ln for ln in want if not re.match(r'^[rRwW] [0-9a-fA-F]', ln)]
            else:  # on a terminal, as the reader ran it
                r = shell('script -qefc ' + shlex.quote(cmd) + ' /dev/null')
                got = (r.stdout + r.stderr).replace('\r', '').replace(sim.address, 'localhost:6498').split('\n')
            missing = matches(want, got)
            assert missing is None, f'{where}: {cmd}\nthe docs show\n  {missing}\nwhich it does not print:\n' + \
                '\n'.join(got)
    finally:
        sim.stop()
    return len(steps), skipped


CASES = examples()


@pytest.mark.parametrize('case', CASES, ids=[c[0] for c in CASES])
def test_doc_example(case, tmp_path):
    ran, skipped = run(case, tmp_path)
    if not ran:
        pytest.skip('; '.join(skipped))
