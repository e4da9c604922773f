"""orvane-web's classroom view in a real browser: a real broker with the classroom's rules,
orvane-sim robots each behind its own orvane-mqtt, and orvane-web --broker in front of them as
the teacher. The page shows every robot and its values, a killed bridge turns its robot offline,
and "stop all" (after confirming) stops the motions playing on every robot."""
import json
import os
import signal
import subprocess
import tempfile
import time

import pytest
from selenium.webdriver.common.by import By

from conftest import (MOTIONS, Broker, Monitor, Process, Sim, Web, artifact, assert_clean_exit,
                      credentials, offset, wait_for)

ROBOTS = 4  # a classroom has 8 or more; 4 keep the cost down and show every behaviour
TEACHER = ('teacher', 'pw-teacher')

pytestmark = pytest.mark.skipif('ORVANE_MQTT' not in os.environ, reason='a build without orvane-mqtt')


def rid(i):
    return f'robot{i + 1:02d}'


class Room:
    def __init__(self):
        self.dir = tempfile.TemporaryDirectory(prefix='orvane-room-')
        self.web, self.events, self.broker, self.sims, self.bridges = None, None, None, [], []
        try:
            self._start(self.dir.name)
        except BaseException:
            self.close()  # what did start (simulators, the broker) must not outlive the test
            raise

    def _start(self, d):
        self.broker = Broker(d, dict([TEACHER] + [(rid(i), f'pw-{rid(i)}') for i in range(ROBOTS)]))
        self.sims = [Sim() for _ in range(ROBOTS)]
        self.bridges = [Process([os.environ['ORVANE_MQTT'], '--robot', s.address,
                                 '--broker', self.broker.url, '--id', rid(i),
                                 '--credentials', credentials(d, rid(i), f'pw-{rid(i)}'),
                                 '--keepalive', '2', '--motions', MOTIONS,
                                 '--profile', os.path.join(MOTIONS, 'robot.yaml')],
                                stdin=subprocess.DEVNULL)
                        for i, s in enumerate(self.sims)]
        # What every bridge tells, to tell a stopped motion from one that ended by itself.
        self.events = Process(['/usr/bin/mosquitto_sub', '-h', '127.0.0.1', '-p', str(self.broker.port),
                               '-u', TEACHER[0], '-P', TEACHER[1], '-v', '-t', 'orvane/+/event'],
                              stdin=subprocess.DEVNULL)
        self.web = Web(token='room-test-token',
                       extra=['--broker', self.broker.url, '--credentials', credentials(d, *TEACHER)])

    def heard(self, id, event):
        out = self.events.stdout_bytes().decode(errors='replace')
        return [line for line in out.splitlines()
                if line.startswith(f'orvane/{id}/event ') and
                json.loads(line.split(' ', 1)[1]).get('event') == event]

    def close(self):
        for p in [self.web] + self.bridges + [self.events] + self.sims + [self.broker]:
            if p is not None:
                p.stop()
        self.dir.cleanup()


@pytest.fixture(scope='module')
def room():
    r = Room()
    yield r
    r.close()
    assert_clean_exit(r.web)


def card(browser, i, css):
    return browser.find_element(By.CSS_SELECTOR, f'#robot-{rid(i)} {css}')


def test_every_robot_shows_online_with_its_rate_switches_and_servo_positions(room, browser):
    browser.get(room.web.url)
    wait_for(lambda: browser.find_element(By.ID, 'online').text == str(ROBOTS), what='every robot online')
    for i in range(ROBOTS):
        assert card(browser, i, '.status').text == 'online'
        assert card(browser, i, '.name').text == 'ZIDIDOVE'
        wait_for(lambda: float(card(browser, i, '.rate').text.replace('–', '0')) > 0, what=f'{rid(i)} rate')
    # A switch closed on robot 1 and a servo moved on robot 2 show on their cards only.
    room.sims[0].console('close 2')
    wait_for(lambda: 'on' in card(browser, 0, '.sw:nth-child(3)').get_attribute('class').split(),
             what='switch 2 of robot01 lit')
    assert 'on' not in card(browser, 1, '.sw:nth-child(3)').get_attribute('class').split()
    mon = Monitor(room.sims[1].address)
    mon.torque(True, [1])
    mon.move({1: 30.0}, 10)
    wait_for(lambda: card(browser, 1, '.srv[data-servo="1"] b').text == '30.0°',
             what='servo 1 of robot02 at 30.0°')
    assert card(browser, 1, '.srv[data-servo="1"] small').text == 'base'  # the bridge's profile
    assert card(browser, 0, '.srv[data-servo="1"] b').text == '0.0°'
    mon.close()
    browser.save_screenshot(artifact('orvane-web-room.png'))


def test_stop_all_after_confirming_stops_every_playing_motion(room, browser):
    browser.get(room.web.url)
    wait_for(lambda: browser.find_element(By.ID, 'online').text == str(ROBOTS), what='every robot online')
    mons = [Monitor(s.address) for s in room.sims]
    counts = lambda i: mons[i].read(offset('ip_count', 1), 32)  # noqa: E731 servo goal channels
    for i in range(ROBOTS):  # the sweep (28 s) still plays when the stop comes, even under ASan
        cmd = {'id': f'p{i}', 'ts': time.time(), 'motion': 'sweep.yaml'}
        room.broker.publish(*TEACHER, f'orvane/{rid(i)}/cmd/play', json.dumps(cmd))
    for i in range(ROBOTS):
        wait_for(lambda: room.heard(rid(i), 'motion-started'), what=f'{rid(i)} playing')
        wait_for(lambda: any(counts(i)), what=f'{rid(i)} moving')
    # Cancelling sends nothing.
    browser.find_element(By.ID, 'stop-all').click()
    browser.find_element(By.ID, 'confirm-no').click()
    time.sleep(0.3)
    assert not any(room.heard(rid(i), 'motion-stopped') for i in range(ROBOTS))
    browser.find_element(By.ID, 'stop-all').click()
    browser.find_element(By.ID, 'confirm-yes').click()
    wait_for(lambda: browser.find_element(By.ID, 'toast').text == 'stop sent to every robot',
             what='the stop confirmed')
    for i in range(ROBOTS):
        wait_for(lambda: room.heard(rid(i), 'motion-stopped'), what=f'{rid(i)} stopped')
        wait_for(lambda: not any(counts(i)), what=f'{rid(i)} still')
    time.sleep(1)  # the wave lasts 5.5 s: had it gone on, its goals would move again
    for i in range(ROBOTS):
        assert not any(counts(i)), rid(i)
        assert not room.heard(rid(i), 'motion-finished'), rid(i)
    for m in mons:
        m.close()


def test_a_cards_stop_and_identify_reach_that_robot_alone(room, browser):
    browser.get(room.web.url)
    wait_for(lambda: browser.find_element(By.ID, 'online').text == str(ROBOTS), what='every robot online')
    mons = [Monitor(s.address) for s in room.sims]
    counts = lambda i: mons[i].read(offset('ip_count', 1), 32)  # noqa: E731 servo goal channels
    stops = lambda i: len(room.heard(rid(i), 'motion-stopped'))  # noqa: E731 so far
    before = [stops(i) for i in range(ROBOTS)]
    for i in (0, 1):
        cmd = {'id': f'card{i}', 'ts': time.time(), 'motion': 'sweep.yaml'}
        room.broker.publish(*TEACHER, f'orvane/{rid(i)}/cmd/play', json.dumps(cmd))
    for i in (0, 1):
        # The card says what the robot plays, from its bridge's state.
        wait_for(lambda: card(browser, i, '.doing').text.startswith('playing sweep.yaml'),
                 what=f'{rid(i)} shown playing')
        wait_for(lambda: any(counts(i)), what=f'{rid(i)} moving')
    card(browser, 0, '.stop').click()
    wait_for(lambda: browser.find_element(By.ID, 'toast').text == f'stop sent to {rid(0)}',
             what='the stop taken')
    wait_for(lambda: stops(0) > before[0], what=f'{rid(0)} stopped')
    wait_for(lambda: not any(counts(0)), what=f'{rid(0)} still')
    wait_for(lambda: card(browser, 0, '.doing').text == 'stopped sweep.yaml', what=f'{rid(0)} shown stopped')
    assert card(browser, 1, '.doing').text.startswith('playing sweep.yaml')
    wait_for(lambda: any(counts(1)), what=f'{rid(1)} still moving')  # the sweep pauses between moves
    assert stops(1) == before[1], 'the other robot stopped too'
    room.broker.publish(*TEACHER, f'orvane/{rid(1)}/cmd/stop', '')
    wait_for(lambda: not any(counts(1)), what=f'{rid(1)} still')

    # Identify: robot03's LED boards blink (all on, all off), then show what they showed before.
    shown = [0] * 16
    shown[3], shown[9] = 40, 77
    mons[2].set_leds({3: 40, 9: 77})
    wait_for(lambda: mons[2].leds() == shown, what='the LEDs set')
    time.sleep(0.5)  # the bridge has polled them since
    card(browser, 2, '.identify').click()
    seen = set()
    wait_for(lambda: seen.add(tuple(mons[2].leds())) or {(255,) * 16, (0,) * 16} <= seen,
             step=0.02, what='the LEDs blinking')
    assert all(tuple(mons[i].leds()) not in ((255,) * 16, ) for i in (0, 1, 3)), 'another robot blinked'
    wait_for(lambda: mons[2].leds() == shown, timeout=20, what='the LEDs as they were')
    for m in mons:
        m.close()


def test_play_on_the_robots_picked(room, browser):
    browser.get(room.web.url)
    wait_for(lambda: browser.find_element(By.ID, 'online').text == str(ROBOTS), what='every robot online')
    assert browser.find_element(By.ID, 'play-selected').get_attribute('disabled') is not None
    for i in (1, 2):
        card(browser, i, '.pick').click()
    sel = browser.find_element(By.ID, 'play-motion')
    wait_for(lambda: 'wave.yaml' in [o.text for o in sel.find_elements(By.TAG_NAME, 'option')],
             what='the motions both offer')
    sel.find_element(By.XPATH, "option[. = 'wave.yaml']").click()
    before = {i: len(room.heard(rid(i), 'motion-started')) for i in range(ROBOTS)}
    browser.find_element(By.ID, 'play-selected').click()
    for i in (1, 2):
        wait_for(lambda: len(room.heard(rid(i), 'motion-started')) > before[i], what=f'{rid(i)} playing')
    time.sleep(0.5)
    for i in (0, 3):
        assert len(room.heard(rid(i), 'motion-started')) == before[i], f'{rid(i)} was not picked'
    for i in (1, 2):  # wave.yaml lasts 5.5 s
        wait_for(lambda: room.heard(rid(i), 'motion-finished'), what=f'{rid(i)} done')


def test_a_lost_broker_leaves_every_robot_as_last_heard_until_it_is_back(room, browser):
    browser.get(room.web.url)
    wait_for(lambda: browser.find_element(By.ID, 'online').text == str(ROBOTS), what='every robot online')
    log = len(room.web.stderr())
    room.broker.stop()  # it sends every bridge's will on its way out
    wait_for(lambda: browser.find_element(By.ID, 'broker').text == 'broker lost', what='broker lost')
    time.sleep(0.5)
    for i in range(ROBOTS):
        assert card(browser, i, '.status').text == 'online (last heard)', rid(i)
        assert 'stale' in browser.find_element(By.ID, f'robot-{rid(i)}').get_attribute('class').split()
    room.broker.start()
    wait_for(lambda: browser.find_element(By.ID, 'broker').text == 'broker connected', what='broker back')
    for i in range(ROBOTS):
        wait_for(lambda: card(browser, i, '.status').text == 'online', what=f'{rid(i)} back')
    told = room.web.stderr()[log:]
    assert told.count('connection lost') == 1 and told.count(': connected') == 1, told


def test_a_killed_bridge_turns_its_robot_offline(room, browser):
    browser.get(room.web.url)
    wait_for(lambda: browser.find_element(By.ID, 'online').text == str(ROBOTS), what='every robot online')
    room.bridges[ROBOTS - 1].p.send_signal(signal.SIGKILL)
    # Only the broker can tell, from the bridge's last will (--keepalive 2: within about 3 s).
    last = ROBOTS - 1
    wait_for(lambda: card(browser, last, '.status').text == 'offline', what=f'{rid(last)} offline')
    assert 'stale' in browser.find_element(By.ID, f'robot-{rid(last)}').get_attribute('class').split()
    assert browser.find_element(By.ID, 'online').text == str(ROBOTS - 1)
    assert card(browser, 0, '.status').text == 'online'
