"""orvane-web's Foxglove endpoint and orvane-ctl's MCAP recordings, checked with the reference
implementations of others: npm's @foxglove/ws-protocol client and @mcap/core reader, and ajv for
every message against its channel's JSON Schema (tests/web/node/, installed from its lockfile
into the build folder; ORVANE_NODE_MODULES)."""
import json
import os
import random
import signal
import subprocess
import urllib.request

import pytest

from conftest import DEADLINE, MOTIONS, Monitor, Process, Sim, artifact, offset, wait_for

NODE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'node')
PROFILE = os.path.join(MOTIONS, 'robot.yaml')
TOPICS = {'/joint_states': 'foxglove.JointStates', '/switches': 'orvane.Switches', '/leds': 'orvane.Leds',
          '/loop': 'orvane.Loop', '/events': 'foxglove.Log', '/motion/plan': 'orvane.MotionPlan',
          # the profile names the arm's URDF: its description and the links' poses for the 3D panel
          '/robot_description': 'std_msgs/String', '/tf': 'foxglove.FrameTransforms'}
pytestmark = pytest.mark.skipif('ORVANE_NODE_MODULES' not in os.environ or 'ORVANE_CTL' not in os.environ,
                                reason='needs the test packages from npm and orvane-ctl')


def node(script, *args):
    return ['node', os.path.join(NODE_DIR, script), *map(str, args)]


def node_env():
    return {'NODE_PATH': os.environ['ORVANE_NODE_MODULES']}


class Fox(Process):
    """The reference client on a script of steps (fox_client.cjs); its events as dicts."""

    def __init__(self, url, steps, headers=None):
        super().__init__(node('fox_client.cjs', url, json.dumps(steps), json.dumps(headers or {})),
                         stdin=subprocess.DEVNULL, env=node_env())

    def events(self):
        return [json.loads(line) for line in self.stdout_bytes().decode().splitlines() if line.startswith('{')]

    def finish(self):
        wait_for(lambda: self.p.poll() is not None, timeout=120, what='the Foxglove client to end')
        return self.events()

    def messages(self, topic):
        return [e for e in self.events() if e['ev'] == 'message' and e['topic'] == topic]


def fox_url(web, robot='', token=None):
    return web.base.replace('http://', 'ws://') + '/foxglove' + robot + f'?token={token or web.token}'


def mcap_check(path, *args):
    """@mcap/core's reading of a file (of its first N bytes with --cut N; a list with --cuts)."""
    out = subprocess.run(node('mcap_check.cjs', path, *args), env={**os.environ, **node_env()},
                         capture_output=True, timeout=120, check=True)
    got = [json.loads(line) for line in out.stdout.splitlines()]
    return got if '--cuts' in args else got[0]


def ctl(sim, *args, timeout=120):
    return subprocess.run([os.environ['ORVANE_CTL'], '-r', sim.address, *args], capture_output=True,
                          text=True, timeout=timeout)


def test_endpoint_advertises_the_channels_and_streams_the_map_until_unsubscribed(sim, web):
    mon = Monitor(sim.address)
    mon.read_servos([1, 3])
    mon.torque(True, [1, 3])
    fox = Fox(fox_url(web), [{'subscribe': ['/joint_states', '/switches', '/loop']},
                             {'until': {'topic': '/joint_states', 'count': 5}},
                             {'wait': 2500}, {'unsubscribe': ['/joint_states']}, {'wait': 4000}])
    wait_for(lambda: len(fox.messages('/joint_states')) >= 5, what='joint states')
    mon.move({3: -30.0}, 40)  # the elbow, mounted mirrored: joint +30 degrees
    sim.console('close 2')
    events = fox.finish()
    assert not [e for e in events if e['ev'] in ('invalid', 'unparsable', 'badSchema', 'timeout')], events

    info = next(e for e in events if e['ev'] == 'serverInfo')
    assert info['name'].startswith('orvane-web') and 'clientPublish' in info['capabilities']
    advertised = next(e for e in events if e['ev'] == 'advertise')['channels']
    assert {c['topic']: c['schemaName'] for c in advertised} == TOPICS
    assert all(c['encoding'] == 'json' and c['schemaEncoding'] == 'jsonschema' for c in advertised)

    joints = fox.messages('/joint_states')
    elbow = [next(j for j in m['data']['joints'] if j['name'] == 'elbow') for m in joints]
    # Every position is one the map held: the servo's reading, as joint degrees and radians.
    settled = mon.word(offset('sv_pos', 3)) / 10
    assert settled == -30.0
    assert elbow[-1]['servo_position'] == settled and elbow[-1]['degrees'] == 30.0
    assert abs(elbow[-1]['position'] - 30.0 * 3.141592653589793 / 180) < 1e-4
    assert elbow[-1]['goal_degrees'] == 30.0 and elbow[-1]['servo_goal'] == -30.0
    degrees = [e['degrees'] for e in elbow]
    assert all(b >= a - 0.1 for a, b in zip(degrees, degrees[1:])), degrees  # it only rises
    assert any(0 < d < 30 for d in degrees), 'no sample caught the elbow between its ends'
    assert any('velocity' in e and e['velocity'] > 0 for e in elbow)
    # A servo in no read group: no position, and why.
    shoulder = next(j for j in joints[-1]['data']['joints'] if j['name'] == 'shoulder')
    assert 'position' not in shoulder and shoulder['reading'] == 'no_group' and shoulder['why']
    # One message per poll, in the order of the passes read.
    passes = [m['data']['loop_count'] for m in joints]
    assert passes == sorted(passes)
    assert any(m['data']['closed'][2] for m in fox.messages('/switches'))

    # What the server had queued before it read the unsubscribe may still come; nothing after.
    gone = next(e for e in events if e['ev'] == 'unsubscribed')['at']
    assert not [m for m in joints if m['at'] > gone + 2000], 'messages after unsubscribe'
    assert [m for m in fox.messages('/loop') if m['at'] > gone + 2000], 'the other subscription stopped too'
    mon.close()


@pytest.mark.parametrize('robot,token,headers,result', [
    ('', 'wrong-token-1', {}, 'refused 403'),
    ('', '', {}, 'refused 403'),
    ('/7', None, {}, 'refused 404'),
    ('', None, {'Origin': 'http://elsewhere.example'}, 'open'),   # the token in the URL suffices
    ('/0', None, {}, 'open'),
])
def test_endpoint_takes_the_pages_token_and_refuses_everything_else(sim, web, robot, token, headers, result):
    url = fox_url(web, robot, token)
    if token == '':
        url = url.split('?')[0]
    events = Fox(url, [], headers).finish()
    got = next(f"refused {e['status']}" if e['ev'] == 'refused' else 'open'
               for e in events if e['ev'] in ('refused', 'serverInfo'))
    assert got == result, events


def test_cookie_alone_from_another_origin_is_refused(sim, web):
    cookie = f'orvane_web_{web.base.rsplit(":", 1)[1]}={web.token}'
    url = fox_url(web).split('?')[0]
    events = Fox(url, [], {'Cookie': cookie, 'Origin': 'http://elsewhere.example'}).finish()
    assert any(e['ev'] == 'refused' and e['status'] == 403 for e in events), events
    events = Fox(url, [], {'Cookie': cookie}).finish()
    assert any(e['ev'] == 'serverInfo' for e in events), events


def test_client_publishes_a_stop_and_moves_within_the_joints_limits_only(sim, web):
    mon = Monitor(sim.address)
    goal3 = offset('servo.#.goal', 3)
    steps = [{'advertise': '/cmd/move'}, {'advertise': '/cmd/stop'}, {'advertise': '/cmd/other'},
             {'publish': '/cmd/move', 'data': {'goals': {'elbow': 20}, 'ms': 200}},
             {'untilStatus': 'move: done'},
             {'wait': 1500},  # "done" is the move taken; the daemon spends its 200 ms on it after
             {'publish': '/cmd/move', 'data': {'goals': {'elbow': 140}, 'ms': 200}},   # limit 135
             {'untilStatus': 'limits'},
             {'publish': '/cmd/move', 'data': {'goals': {'knee': 1}, 'ms': 200}},
             {'publish': '/cmd/move', 'data': '[[[[[[[[[[[[1]]]]]]]]]]]]'},
             {'publish': '/cmd/stop', 'data': 'not json at all'},
             {'untilStatus': 'stop:'}]
    events = Fox(fox_url(web), steps).finish()
    said = [e['message'] for e in events if e['ev'] == 'status']
    assert 'move: done' in said and 'stop: stopped' in said, said
    assert any('/cmd/other' in s and 'not taken' in s for s in said)
    assert any('no joint named "knee"' in s for s in said)
    assert any('deeper' in s for s in said)
    assert any("leaves the joint's limits" in s for s in said)
    assert mon.word(goal3) == -200  # elbow 20 joint degrees, mirrored; the refused 140 never came
    mon.close()


def post(web, body):
    req = urllib.request.Request(f'{web.base}/api/command?robot=0&token={web.token}', method='POST',
                                 data=json.dumps(body).encode(), headers={'Content-Type': 'application/json'})
    with urllib.request.urlopen(req, timeout=DEADLINE) as r:
        return json.load(r)


def test_motion_played_from_the_page_shows_as_events_and_its_plan(sim, web):
    fox = Fox(fox_url(web), [{'subscribe': ['/events', '/motion/plan', '/loop']}, {'wait': 60000}])
    # /loop is subscribed last: once it comes, the server has taken the other two.
    wait_for(lambda: fox.messages('/loop'), what='the subscriptions')
    assert post(web, {'op': 'play', 'motion': 'wave.yaml'}) == {'ok': True}
    wait_for(lambda: any('done' in m['data']['message'] for m in fox.messages('/events')), timeout=60,
             what='the motion to end')
    fox.stop()
    said = [m['data']['message'] for m in fox.messages('/events')]
    assert said.index('motion wave.yaml started') < said.index('motion wave.yaml done'), said
    plans = fox.messages('/motion/plan')
    assert len(plans) == 1 and plans[0]['data']['motion'] == 'wave.yaml' and plans[0]['valid']
    assert {j['id'] for j in plans[0]['data']['joints']} >= {2, 3, 4}


def record(sim, tmp_path, *args, name='run.mcap'):
    path = str(tmp_path / name)
    r = ctl(sim, 'record', '-p', PROFILE, *args, path)
    assert r.returncode == 0, r.stderr
    rows = int(r.stderr.split('recorded ')[1].split(' rows')[0])
    return path, rows


def test_mcap_recording_holds_the_endpoints_channels_one_message_per_pass(sim, web, tmp_path):
    mon = Monitor(sim.address)
    mon.read_servos([1, 2, 3])
    path, rows = record(sim, tmp_path, '--play', os.path.join(MOTIONS, 'wave.yaml'))
    got = mcap_check(path, '--messages', '/events')
    assert got['error'] is None and got['done'] and got['footer'] and not got['invalid'], got['invalid']
    assert got['header']['library'].startswith('orvane-ctl ')
    assert got['logTimesInOrder']
    # The same channels as the live endpoint, schema for schema.
    live = next(e for e in Fox(fox_url(web), []).finish() if e['ev'] == 'advertise')['channels']
    recorded = {c['topic']: (c['schemaName'], c['schemaEncoding'], c['messageEncoding']) for c in got['channels']}
    assert recorded == {c['topic']: (c['schemaName'], 'jsonschema', 'json') for c in live}
    schemas = {s['name']: s['data'] for s in got['schemas']}
    assert all(schemas[c['schemaName']] == c['schema'] for c in live)
    # One message per pass recorded on each sampled channel; the motion's plan once.
    for topic in ('/joint_states', '/switches', '/leds', '/loop'):
        assert got['counts'][topic] == rows, (topic, got['counts'])
    assert got['counts']['/motion/plan'] == 1
    said = [m['data']['message'] for m in got['messages']]
    assert 'motion wave.yaml started' in said and 'motion wave.yaml done' in said, said

    # Our own readers: the Python plot and record2motion.
    png = artifact('ecosystem-recording.png')
    env = {**os.environ, 'PYTHONPATH': os.path.join(MOTIONS, '..', 'host', 'python')}
    subprocess.run(['/usr/bin/python3', '-m', 'orvane.plot', path, '-o', png], check=True, env=env, timeout=120)
    r = ctl(sim, 'record2motion', path, str(tmp_path / 'mine.yaml'), '-p', PROFILE)
    assert r.returncode == 0 and 'keyframes' in r.stdout, r.stderr
    mon.close()


def test_mcap_cut_at_any_byte_reads_up_to_its_last_whole_record(sim, tmp_path):
    path, rows = record(sim, tmp_path, '--seconds', '1')
    whole = mcap_check(path)
    ends, size = whole['ends'], whole['size']
    rng = random.Random(32)
    cuts = [9, ends[0] + 3, ends[5], ends[-3] - 1] + [rng.randrange(8, size) for _ in range(6)]
    for cut, got in zip(cuts, mcap_check(path, '--cuts', ','.join(map(str, cuts)))):
        assert got['error'] is None, (cut, got['error'])
        assert got['records'] == len([e for e in ends if e <= cut]), cut
        assert not got['done'] and not got['invalid']
    # Our own readers take the file cut inside its last records too.
    with open(path, 'rb') as f, open(tmp_path / 'cut.mcap', 'wb') as g:
        g.write(f.read(ends[-3] - 1))
    env = {**os.environ, 'PYTHONPATH': os.path.join(MOTIONS, '..', 'host', 'python')}
    p = subprocess.run(['/usr/bin/python3', '-m', 'orvane.plot', str(tmp_path / 'cut.mcap'),
                        '-o', str(tmp_path / 'cut.png')], env=env, capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    r = ctl(sim, 'record2motion', str(tmp_path / 'cut.mcap'), str(tmp_path / 'cut.yaml'))
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize('sig,clean', [(signal.SIGINT, True), (signal.SIGKILL, False)])
def test_recording_ended_by_a_signal_keeps_every_pass_recorded(sim, tmp_path, sig, clean):
    path = str(tmp_path / 'run.mcap')
    rec = Process([os.environ['ORVANE_CTL'], '-r', sim.address, 'record', '--seconds', '60', path],
                  stdin=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists(path) and os.path.getsize(path) > 20000, what='a recording under way')
    rec.p.send_signal(sig)
    rec.p.wait(DEADLINE)
    got = mcap_check(path)
    assert got['error'] is None and not got['invalid']
    assert got['footer'] == clean and got['done'] == clean
    assert got['counts']['/joint_states'] >= 2
    if clean:
        assert rec.p.returncode == 0, rec.stderr()
        assert got['counts']['/joint_states'] == int(rec.stderr().split('recorded ')[1].split(' rows')[0])
