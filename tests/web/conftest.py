"""Fixtures of the browser tests: orvane-sim with its console, orvane-web in front of it, a
monitor host that reads the map from the far side, and headless Chromium driven by Selenium.

Paths come from the environment that ctest sets: ORVANE_SIM, ORVANE_WEB and ORVANE_ARTIFACTS.
Offsets and the monitor host come from the orvane module (host/python/). Every wait is a condition
with a generous deadline."""
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import fixtures  # noqa: E402
from fixtures import DEADLINE, ROOT, Process, free_port, offset, stop, wait_for  # noqa: E402,F401

sys.path.insert(0, os.path.join(ROOT, 'host', 'python'))
import orvane  # noqa: E402

MOTIONS = os.path.join(ROOT, 'motions')


class Sim(fixtures.Sim):
    """orvane-sim with its console on standard input."""

    def __init__(self, port=0):
        super().__init__(port=port)

    def console(self, line):
        self.p.stdin.write((line + '\n').encode())
        self.p.stdin.flush()

    def servos(self):
        """The console's table of virtual servos: id -> (goal, torque, on, pos), positions in
        0.1 degree as in the map (the console shows degrees)."""
        start = len(self.stderr())
        self.console('servos')
        text = wait_for(lambda: (lambda t: t if re.search(r'\n\s*\d+ .*\n', t) else None)(
            self.stderr()[start:]), what='the servo table')
        time.sleep(0.1)  # the rest of the table
        table = {}
        for m in re.finditer(r'^\s*(\d+)\s+(-?\d+\.\d)\u00b0\s+(\d+)\s+(on|off)\s+(-?\d+\.\d)\u00b0',
                             self.stderr()[start:], re.M):
            table[int(m.group(1))] = (round(float(m.group(2)) * 10), int(m.group(3)),
                                      m.group(4) == 'on', round(float(m.group(5)) * 10))
        return table

    def overruns(self):
        return self.stdout_bytes().count(b' ')


class Monitor(orvane.Client):
    """A host on the monitor port, through the orvane module: reads and writes the map from the
    far side; a write returns once the daemon has stored it."""

    def __init__(self, address):
        super().__init__(address, timeout=DEADLINE)

    def word(self, adr, signed=True):
        return int.from_bytes(self.read(adr, 2), 'little', signed=signed)


class Web(Process):
    def __init__(self, *robots, token='browser-test-token', extra=(), env=None):
        argv = [os.environ['ORVANE_WEB'], '--listen', '127.0.0.1:0']
        if token is not None:
            argv += ['--token', token]
        for r in robots:
            argv += ['--robot', r]
        super().__init__(argv + list(extra), stdin=subprocess.DEVNULL, env=env)
        m = wait_for(lambda: re.search(r'(http://\S+)', self.stderr()),
                     what='orvane-web to print its URL')
        self.url = m.group(1)
        self.base, _, query = self.url.partition('/?')
        self.token = query.removeprefix('token=')


def request(url, data=None, cookie=None):
    """A GET (or a POST of `data`) as a program sends it: (status, body), errors included."""
    req = urllib.request.Request(url, data=data, method='POST' if data is not None else 'GET')
    if cookie:
        req.add_header('Cookie', cookie)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def chromium():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    o = webdriver.ChromeOptions()
    o.binary_location = '/usr/bin/chromium'
    for a in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
              '--disable-background-networking', '--disable-component-update', '--disable-sync',
              # WebGL for the 3D view, drawn by SwiftShader on the processor: no GPU here or in CI.
              '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
              '--window-size=1280,1000', '--user-data-dir=' + tempfile.mkdtemp(prefix='orvane-web-')]:
        o.add_argument(a)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=o)


sim = fixtures.process_fixture(Sim, 'sim')


@pytest.fixture
def web(sim):
    w = Web(sim.address, extra=['--motions', MOTIONS, '--profile', os.path.join(MOTIONS, 'robot.yaml')])
    yield w
    w.stop()
    assert_clean_exit(w)


def assert_clean_exit(w):
    """orvane-web ended by SIGTERM exits 0, with no sanitizer report (in the sanitizer builds)."""
    assert w.p.returncode == 0, w.stderr()
    assert 'Sanitizer' not in w.stderr() and 'runtime error' not in w.stderr(), w.stderr()


@pytest.fixture(scope='module')
def browser():
    d = chromium()
    yield d
    d.quit()


def artifact(name):
    d = os.environ.get('ORVANE_ARTIFACTS', tempfile.gettempdir())
    os.makedirs(d, exist_ok=True)
    return os.path.join(d, name)


class Broker(Process):
    """Debian's mosquitto with the classroom configuration (host/mqtt/classroom), as the C++
    fixture runs it: a loopback listener on a free port, and a folder of its own for
    /etc/mosquitto/ holding the password file of `accounts` {user: password}."""

    def __init__(self, folder, accounts):
        classroom = os.environ['ORVANE_CLASSROOM_DIR']
        self.port = free_port()
        self.url = f'mqtt://127.0.0.1:{self.port}'
        conf = open(os.path.join(classroom, 'orvane.conf')).read()
        conf = conf.replace('/etc/mosquitto/', folder + '/')
        conf = conf.replace('\nlistener 1883\n', f'\nlistener {self.port} 127.0.0.1\n')
        if os.geteuid() == 0:  # as root it would become "mosquitto", who cannot read the folder
            conf += 'user root\n'
        with open(os.path.join(folder, 'orvane.conf'), 'w') as f:
            f.write(conf + 'log_dest stderr\n')
        with open(os.path.join(classroom, 'orvane.acl')) as src, \
                open(os.path.join(folder, 'orvane.acl'), 'w') as dst:
            dst.write(src.read())
        pw = os.path.join(folder, 'orvane.passwd')
        open(pw, 'w').close()
        for user, password in accounts.items():
            subprocess.run(['/usr/bin/mosquitto_passwd', '-b', pw, user, password], check=True,
                           timeout=DEADLINE, capture_output=True)
        self.conf = os.path.join(folder, 'orvane.conf')
        self.start()

    def start(self):
        """Starts it, again after stop() on the same port (it keeps nothing across)."""
        super().__init__(['/usr/sbin/mosquitto', '-c', self.conf], stdin=subprocess.DEVNULL)
        wait_for(lambda: ' running' in self.stderr(), what='mosquitto to start')

    def publish(self, user, password, topic, payload):
        subprocess.run(['/usr/bin/mosquitto_pub', '-h', '127.0.0.1', '-p', str(self.port),
                        '-u', user, '-P', password, '-q', '1', '-t', topic, '-m', payload],
                       check=True, timeout=DEADLINE, capture_output=True)


def credentials(folder, user, password):
    """A file of the broker account, as orvane-mqtt and orvane-web take it (mode 600)."""
    path = os.path.join(folder, f'{user}.cred')
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, 'w') as f:
        f.write(f'{user}\n{password}\n')
    return path
