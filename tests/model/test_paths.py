"""One robot model under every tool: the same refusals, the same names, the same truth about
readings, whichever way a person reaches the robot. One table of paths and cases; each row runs
against one orvane-sim with the example arm's profile (motions/robot.yaml), and checks the map
from the far side (a monitor host of its own).

The elbow is servo 3, mounted mirrored, with soft limits -10..135 in joint degrees: servo 20 is
the joint at -20, beyond them. The twist (servo 5) is taken out of the read groups after it was
read, so its word holds an old number that is no reading.

Programs come from the environment that ctest sets: ORVANE_SIM, ORVANE_CTL, ORVANE_WEB,
ORVANE_MQTT (with ORVANE_CLASSROOM_DIR) and ORVANE_MODEL_PROBE; a path whose program this build
lacks is skipped."""
import base64
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'web'))
from conftest import (DEADLINE, MOTIONS, Broker, Monitor, Process, Sim, Web, credentials,  # noqa: E402
                      offset, wait_for)

PROFILE = os.path.join(MOTIONS, 'robot.yaml')
ELBOW, TWIST = 3, 5


def program(name):
    path = os.environ.get(name)
    if not path or not os.path.exists(path.split()[0]):
        pytest.skip(f'this build has no {name}')
    return path


class Rig:
    """The simulator, a far-side monitor, and the tools in front of it, started once."""

    def __init__(self):
        self.sim = Sim()
        self.mon = Monitor(self.sim.address)
        self.folder = tempfile.mkdtemp(prefix='orvane-model-')
        self.started = []

    def reset(self):
        """Every goal at 0, nothing moving, servo 3 holding, servo 5 read once and then left out
        of the read groups, so that its word holds an old number."""
        m = self.mon
        m.write(offset('sv_torque_on'), [1, 0])
        m.write(offset('ip_target', ELBOW), [0, 0])
        m.write(offset('ip_target', 32 + ELBOW), [100, 0])
        m.write(offset('ip_enable', 0), [1 if ch in (ELBOW, 32 + ELBOW) else 0 for ch in range(128)])
        m.write(offset('ttime'), [1])
        wait_for(lambda: m.read(offset('ttime'), 1) == b'\x00', what='the reset move to start')
        m.write(offset('ip_enable', 0), [1] * 128)
        wait_for(lambda: m.word(offset('ip_count', ELBOW)) == 0 and m.word(offset('ip_out', ELBOW)) == 0,
                 what='the elbow at rest')
        m.write(offset('rd_group', 0), [1, 1, TWIST] + [0] * 13)
        wait_for(lambda: m.word(offset('sv_pos', TWIST)) not in (-32768, 0x7FFF), what='the twist read')
        m.write(offset('rd_group', 0), [1, 1, 1] + [0] * 13)

    def elbow(self):
        """The elbow's goal as the map holds it: target and output, 0.1 servo degrees."""
        return self.mon.word(offset('ip_target', ELBOW)), self.mon.word(offset('ip_out', ELBOW))

    def start(self, p):
        self.started.append(p)
        return p

    def stop(self):
        for p in reversed(self.started):
            p.stop()
        self.mon.close()
        self.sim.stop()


# ---- orvane-ctl, as a process

def ctl(rig, *args):
    r = subprocess.run([program('ORVANE_CTL'), *args, '-r', rig.sim.address, '-p', PROFILE],
                       capture_output=True, text=True, timeout=DEADLINE)
    return r.returncode == 0, r.stdout + r.stderr


class CtlPath:
    def move(self, rig, who, deg):
        return ctl(rig, 'move', '--ms', '100', f'{who}={deg}')

    def raw_goal(self, rig, servo_deg):  # the servo's own field, in its degrees
        return ctl(rig, 'set', '--deg', 'servo.elbow.goal', str(servo_deg))

    def position(self, rig, joint):
        ok, out = ctl(rig, '-o', 'json', 'get', joint)
        v = json.loads(out.splitlines()[0])[0]
        return v['value'], v.get('why', '')

    def recorded(self, rig, joint):
        csv = os.path.join(rig.folder, 'ctl.csv')
        ok, out = ctl(rig, 'record', '--seconds', '0.5', '--fields', joint, csv)
        assert ok, out
        return open(csv).read()


# ---- orvane-web's API over HTTP, and its state over its WebSocket feed

class WebPath:
    def web(self, rig):
        if not hasattr(rig, 'web'):
            program('ORVANE_WEB')
            rig.web = rig.start(Web(rig.sim.address, extra=['--profile', PROFILE]))
        return rig.web

    def command(self, rig, body):
        w = self.web(rig)
        req = urllib.request.Request(f'{w.base}/api/command?robot=0&token={w.token}',
                                     data=json.dumps(body).encode(), method='POST',
                                     headers={'Content-Type': 'application/json'})
        try:
            with urllib.request.urlopen(req, timeout=DEADLINE) as r:
                return True, r.read().decode()
        except urllib.error.HTTPError as e:
            return False, e.read().decode()

    def move(self, rig, who, deg):
        return self.command(rig, {'op': 'move', 'goals': [[who, deg]], 'ms': 100})

    def raw_goal(self, rig, servo_deg):  # the servo by its id, in its own degrees
        return self.command(rig, {'op': 'move', 'goals': [[ELBOW, servo_deg]], 'ms': 100})

    def position(self, rig, joint):
        def twist():
            sv = [s for s in ws_state(self.web(rig))['servos'] if s['joint'] == joint]
            return sv and sv[0]['reading'] != 'valid' and sv[0]
        sv = wait_for(twist, what=f'the page to say {joint} has no reading')
        assert sv['pos'] is None
        return sv['deg'], sv['why']


def ws_state(w):
    """One state message of robot 0's feed, through a WebSocket handshake of our own."""
    host, port = w.base.removeprefix('http://').rsplit(':', 1)
    with socket.create_connection((host, int(port)), timeout=DEADLINE) as s:
        key = base64.b64encode(os.urandom(16)).decode()
        s.sendall(f'GET /ws/0?token={w.token} HTTP/1.1\r\nHost: {host}\r\nUpgrade: websocket\r\n'
                  f'Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n'.encode())
        buf = b''
        while b'\r\n\r\n' not in buf:
            buf += s.recv(4096)
        assert b' 101 ' in buf.split(b'\r\n')[0], buf
        buf = buf.split(b'\r\n\r\n', 1)[1]

        def take(n):
            nonlocal buf
            while len(buf) < n:
                buf += s.recv(65536)
            out, buf = buf[:n], buf[n:]
            return out
        head = take(2)
        n = head[1] & 0x7F
        n = int.from_bytes(take(2), 'big') if n == 126 else int.from_bytes(take(8), 'big') if n == 127 else n
        return json.loads(take(n))


# ---- orvane-mqtt with a real mosquitto, commands and state through mosquitto_pub and _sub

class MqttPath:
    def bridge(self, rig):
        if not hasattr(rig, 'broker'):
            program('ORVANE_MQTT')
            rig.broker = rig.start(Broker(rig.folder, {'teacher': 'pw-t', 'r1': 'pw-r1'}))
            rig.start(Process([os.environ['ORVANE_MQTT'], '--robot', rig.sim.address, '--broker', rig.broker.url,
                               '--id', 'r1', '--credentials', credentials(rig.folder, 'r1', 'pw-r1'),
                               '--profile', PROFILE], stdin=subprocess.DEVNULL))
            wait_for(lambda: self.sub(rig, 'orvane/r1/status', 5) == 'online', what='the bridge online')
        return rig.broker

    def sub(self, rig, topic, seconds=DEADLINE):
        r = subprocess.run(['/usr/bin/mosquitto_sub', '-h', '127.0.0.1', '-p', str(rig.broker.port),
                            '-u', 'teacher', '-P', 'pw-t', '-t', topic, '-C', '1', '-W', str(int(seconds))],
                           capture_output=True, text=True, timeout=seconds + DEADLINE)
        return r.stdout.strip()

    def command(self, rig, verb, body):
        b = self.bridge(rig)
        req = f'req{time.monotonic_ns()}'
        got = []
        # The reply comes on orvane/r1/reply; listen before asking.
        listener = subprocess.Popen(['/usr/bin/mosquitto_sub', '-h', '127.0.0.1', '-p', str(b.port), '-u',
                                     'teacher', '-P', 'pw-t', '-t', 'orvane/r1/reply', '-W', str(int(DEADLINE))],
                                    stdout=subprocess.PIPE, text=True)
        try:
            time.sleep(0.3)
            b.publish('teacher', 'pw-t', f'orvane/r1/cmd/{verb}', json.dumps({'id': req, 'ts': time.time(), **body}))
            for line in listener.stdout:
                reply = json.loads(line)
                if reply.get('id') == req:
                    got.append(reply)
                    break
        finally:
            listener.kill()
            listener.wait()
        assert got, 'no reply from the bridge'
        return got[0]['ok'], got[0].get('error', '')

    def move(self, rig, who, deg):
        return self.command(rig, 'move', {'goals': [[who, deg]], 'ms': 100})

    def raw_goal(self, rig, servo_deg):  # the issue's own body: servo 3 in its degrees
        return self.command(rig, 'move', {'goals': [[ELBOW, servo_deg]], 'ms': 100})

    def position(self, rig, joint):
        self.bridge(rig)
        state = wait_for(lambda: (lambda s: s if s and s['servo'][joint]['reading'] != 'valid' else None)(
            json.loads(self.sub(rig, 'orvane/r1/state') or 'null')), what=f'the state to say {joint} has no reading')
        sv = state['servo'][joint]
        assert sv['pos'] is None
        return sv['deg'], sv['why']


# ---- The C++ libraries, from a program of a robot builder's own (tests/model/probe.cpp)

def probe(rig, *args):
    r = subprocess.run([program('ORVANE_MODEL_PROBE'), rig.sim.address, PROFILE, *args],
                       capture_output=True, text=True, timeout=DEADLINE)
    assert r.returncode in (0, 1), r.stderr
    return r.returncode == 0, r.stdout + r.stderr


class CxxPath:
    def move(self, rig, who, deg):
        return probe(rig, 'move', who, str(deg))

    def raw_goal(self, rig, servo_deg):  # an address write of the goal channel's target
        return probe(rig, 'write', str(offset('ip_target', ELBOW)), str(round(servo_deg * 10)))

    def position(self, rig, joint):
        ok, out = probe(rig, 'get', joint)
        return (None, out.split(': ', 1)[1].split('\n')[0]) if out.startswith('none') else (float(out), '')

    def recorded(self, rig, joint):
        ok, out = probe(rig, 'record', joint, '0.5')
        assert ok, out
        return out


# ---- The Python module, as a robot builder's script uses it

def python_client(rig):
    import orvane
    host, port = rig.sim.address.rsplit(':', 1)
    return orvane.connect(host, int(port), profile=PROFILE)


def said(call):
    import orvane
    try:
        call()
        return True, ''
    except orvane.Error as e:
        return False, str(e)


class PythonPath:
    def move(self, rig, who, deg):
        with python_client(rig) as r:
            return said(lambda: r.move({who: deg}, ms=100))

    def raw_goal(self, rig, servo_deg):  # an address write of the goal channel's target
        with python_client(rig) as r:
            return said(lambda: r.write(offset('ip_target', ELBOW), round(servo_deg * 10).to_bytes(2, 'little',
                                                                                                  signed=True)))

    def position(self, rig, joint):
        import orvane
        with python_client(rig) as r:
            return r.position(joint), orvane.groups.reading_why(r.reading(joint))


PATHS = {'ctl': CtlPath(), 'web': WebPath(), 'mqtt': MqttPath(), 'c++': CxxPath(), 'python': PythonPath()}
CASES = ['move past a soft limit', 'raw goal past a soft limit', 'joint name', 'no reading',
         'recording holds no number']
ROWS = [(p, c) for p in PATHS for c in CASES if c != 'recording holds no number' or hasattr(PATHS[p], 'recorded')]


@pytest.fixture(scope='module')
def rig():
    r = Rig()
    yield r
    r.stop()


@pytest.mark.parametrize('path,case', ROWS)
def test_one_model(rig, path, case):
    p = PATHS[path]
    rig.reset()
    if case == 'move past a soft limit':
        ok, said = p.move(rig, 'elbow', 150)  # servo -150: within the servo, beyond the joint
        assert not ok, said
        assert 'elbow' in said and '-10..135' in said, said
        time.sleep(0.2)
        assert rig.elbow() == (0, 0)
    elif case == 'raw goal past a soft limit':
        ok, said = p.raw_goal(rig, 20)  # servo 20 is the elbow at -20
        assert not ok, said
        assert 'elbow at -20 degrees' in said and '-10..135' in said, said
        time.sleep(0.2)
        assert rig.elbow() == (0, 0)
    elif case == 'joint name':
        ok, said = p.move(rig, 'elbow', 30)
        assert ok, said
        wait_for(lambda: rig.elbow() == (-300, -300), what='the elbow at 30, its servo at -30')
    elif case == 'no reading':
        assert rig.mon.word(offset('sv_pos', TWIST)) not in (-32768, 0x7FFF)  # an old number
        value, why = p.position(rig, 'twist')
        assert value is None
        assert why in ('no_group', 'not in a read group'), why  # JSON's code, or said for people
    elif case == 'recording holds no number':
        rows = [line.split(',') for line in p.recorded(rig, 'twist').splitlines()
                if line and not line.startswith('#')]
        col = rows[0].index(f'sv_pos.{TWIST}')
        assert len(rows) > 2
        assert all(r[col] == '' for r in rows[1:]), rows[:4]
