"""orvane-web in a real browser against orvane-sim: what the page shows follows the simulated
robot, the controls reach it, and the gateway survives the robot going away."""
import json
import os
import signal
import subprocess
import threading
import time

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

from conftest import (DEADLINE, MOTIONS, Monitor, Sim, Web, artifact, assert_clean_exit, chromium, free_port,
                      offset, request, wait_for)


def open_page(browser, web):
    browser.get(web.url)
    wait_for(lambda: browser.find_element(By.ID, 'status').text == 'connected', what='"connected"')


def classes(browser, element_id):
    return browser.find_element(By.ID, element_id).get_attribute('class').split()


def test_closing_switch_0_lights_its_tile(sim, web, browser):
    open_page(browser, web)
    assert 'on' not in classes(browser, 'sw-0')
    sim.console('close 0')
    wait_for(lambda: 'on' in classes(browser, 'sw-0'), what='tile 0 lit')
    assert 'on' not in classes(browser, 'sw-1')
    sim.console('open 0')
    wait_for(lambda: 'on' not in classes(browser, 'sw-0'), what='tile 0 dark')


def test_servo_1_slider_moves_the_goal_in_the_map_and_the_servo(sim, web, browser):
    open_page(browser, web)
    browser.find_element(By.ID, 'torque-all-on').click()
    mon = Monitor(sim.address)
    wait_for(lambda: mon.word(offset('servo.#.torque', 1)) > 0, what='torque on')
    slider = browser.find_element(By.CSS_SELECTOR, '#servo-1 .slider')
    ActionChains(browser).click_and_hold(slider).move_by_offset(slider.size['width'] // 4, 0) \
        .release().perform()
    # The goal channel reaches the slider's value in the map, and the virtual servo is told it.
    want = round(float(slider.get_attribute('value')) * 10)
    assert want > 0
    wait_for(lambda: mon.word(offset('servo.#.goal', 1)) == want, what=f'goal {want} in the map')
    wait_for(lambda: sim.servos()[1][0] == want, what=f'goal {want} at servo 1')
    wait_for(lambda: browser.find_element(By.CSS_SELECTOR, '#servo-1 .pos').text ==
             f'{want / 10:.1f}°', what='the position on the page')
    assert mon.word(offset('servo.#.goal', 2)) == 0  # only servo 1 moved
    browser.find_element(By.CSS_SELECTOR, '#servo-1 .plot')
    time.sleep(1)  # let the plot draw the move
    browser.save_screenshot(artifact('orvane-web.png'))
    mon.close()


def test_led_value_reaches_the_board_channel_and_its_swatch(sim, web, browser):
    open_page(browser, web)
    browser.find_element(By.ID, 'led-b-2').click()
    box = browser.find_element(By.ID, 'led-number')
    box.clear()
    box.send_keys('77\t')  # leaving the field commits it
    mon = Monitor(sim.address)
    wait_for(lambda: mon.word(offset('led.b.#', 2)) == 77, what='LED B2 at 77 in the map')
    wait_for(lambda: browser.find_element(By.ID, 'led-b-2').text == '77', what='swatch B2')
    assert mon.word(offset('led.a.#', 2)) == 0
    mon.close()


def test_led_editor_shows_the_selected_leds_value_from_the_start(sim, browser):
    mon = Monitor(sim.address)
    mon.set_leds({0: 255, 9: 40})
    w = Web(sim.address)
    try:
        open_page(browser, w)
        for box in ('led-value', 'led-number'):  # LED A0 is selected, nothing clicked
            wait_for(lambda: browser.find_element(By.ID, box).get_attribute('value') == '255',
                     what=f'{box} at 255')
        browser.find_element(By.ID, 'led-b-1').click()
        wait_for(lambda: browser.find_element(By.ID, 'led-number').get_attribute('value') == '40',
                 what='B1 at 40')
    finally:
        w.stop()
        mon.close()
    assert_clean_exit(w)


def test_servo_in_no_read_group_says_so_and_read_it_puts_it_in_one(sim, web, browser):
    mon = Monitor(sim.address)
    open_page(browser, web)
    pos2 = lambda: browser.find_element(By.CSS_SELECTOR, '#servo-2 .pos').text  # noqa: E731
    wait_for(lambda: pos2() == 'no reading: not in a read group', what='why servo 2 has no reading')
    assert not browser.find_element(By.ID, 'read-1').is_displayed()
    browser.find_element(By.ID, 'read-2').click()
    wait_for(lambda: sorted(sum(mon.groups(), [])) == [1, 2], what='servos 1 and 2 in the groups')
    wait_for(lambda: pos2().endswith('°'), what='a reading of servo 2')
    assert not browser.find_element(By.ID, 'read-2').is_displayed()
    mon.close()


def test_profile_names_the_rows_and_shows_and_bounds_them_in_joint_degrees(sim, web, browser):
    open_page(browser, web)
    name = lambda i: browser.find_element(By.CSS_SELECTOR, f'#servo-{i} .id').text  # noqa: E731
    wait_for(lambda: name(6) == '#6 gripper', what='row 6 named after its joint')
    assert name(3) == '#3 elbow'
    bounds = lambda i: [float(browser.find_element(By.CSS_SELECTOR, f'#servo-{i} .slider')  # noqa: E731
                              .get_attribute(a)) for a in ('min', 'max')]
    assert bounds(6) == [0, 60]
    assert bounds(3) == [-10, 135]  # the joint's own limits, in its degrees
    # Next to a joint's name, the joint's degrees: the mirrored elbow's servo at -30 is the joint
    # at 30, and the wrist's servo at its trim, 2.5, is the joint at 0.
    mon = Monitor(sim.address)
    mon.move({3: -30.0, 4: 2.5}, ticks=1)
    goal = lambda i: browser.find_element(By.CSS_SELECTOR, f'#servo-{i} .goal').text  # noqa: E731
    wait_for(lambda: goal(3) == '30.0°' and goal(4) == '0.0°', what='goals in joint degrees')
    assert browser.find_element(By.CSS_SELECTOR, '#servo-3 .slider').get_attribute('value') == '30'
    mon.close()


def test_silent_servo_greys_its_row_until_it_answers(sim, web, browser):
    mon = Monitor(sim.address)
    group = offset('rd_group', 0)
    mon.write(group, [1, 2, 1, 3])  # read group 0: enabled, servos 1 and 3
    open_page(browser, web)
    wait_for(lambda: 'noreading' not in classes(browser, 'servo-3'), what='a reading of servo 3')
    sim.console('silence 3')
    wait_for(lambda: 'noreading' in classes(browser, 'servo-3'), what='row 3 greyed')
    assert browser.find_element(By.CSS_SELECTOR, '#servo-3 .pos').text == \
        'no reading: in read group 0 but silent'
    assert not browser.find_element(By.ID, 'read-3').is_displayed()  # in a group already
    assert 'noreading' not in classes(browser, 'servo-1')
    sim.console('answer 3')
    wait_for(lambda: 'noreading' not in classes(browser, 'servo-3'), what='row 3 back')
    mon.close()


@pytest.mark.parametrize('button', ['exit', 'poweroff'])
def test_exit_and_poweroff_need_their_confirmation_and_then_end_the_daemon(sim, web, browser, button):
    open_page(browser, web)
    browser.find_element(By.ID, button).click()
    wait_for(lambda: browser.find_element(By.ID, 'confirm').is_displayed(), what='the confirmation')
    browser.find_element(By.ID, 'confirm-no').click()
    time.sleep(0.5)
    assert sim.p.poll() is None
    browser.find_element(By.ID, button).click()
    wait_for(lambda: browser.find_element(By.ID, 'confirm').is_displayed(), what='the confirmation')
    browser.find_element(By.ID, 'confirm-yes').click()
    wait_for(lambda: sim.p.poll() is not None, what='the daemon to end')
    assert sim.p.returncode == 0  # the simulator's power-off only says so on its standard error
    if button == 'poweroff':
        wait_for(lambda: b'KT4_SDREQ' in sim.stdout_bytes(), what='the power-off line')
    else:
        assert b'KT4_SDREQ' not in sim.stdout_bytes()
    wait_for(lambda: browser.find_element(By.ID, 'status').text == 'reconnecting', what='"reconnecting"')


def test_playlist_plays_a_motion_live_and_stops_another(sim, web, browser):
    open_page(browser, web)
    motion = lambda name: browser.find_element(By.CSS_SELECTOR, f'.motion[data-motion="{name}"]')
    status = lambda: browser.find_element(By.ID, 'motion-status').text
    wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, '.motion'), what='the playlist')
    names = [b.get_attribute('data-motion') for b in browser.find_elements(By.CSS_SELECTOR, '.motion')]
    assert names == ['reach.yaml', 'sweep.yaml', 'wave.yaml']  # robot.yaml is the profile, not a motion
    motion('wave.yaml').click()
    wait_for(lambda: status().startswith('playing wave.yaml: move'), what='"playing"')
    assert not motion('sweep.yaml').is_enabled()
    # The wave raises the shoulder (servo 2) to 60 degrees, and the page shows it on the way (its
    # plot keeps ten seconds: a loaded machine may render no state of the 2.4 s it is held there).
    wait_for(lambda: 60.0 in browser.execute_script('return window.orvane.goals(2)')['goal'],
             what='the shoulder raised')
    browser.save_screenshot(artifact('orvane-web-motion.png'))
    wait_for(lambda: status() == 'wave.yaml: done', what='the wave done')
    mon = Monitor(sim.address)
    assert mon.word(offset('servo.#.goal', 2)) == 0  # and back at rest

    motion('sweep.yaml').click()
    wait_for(lambda: status().startswith('playing sweep.yaml'), what='the sweep playing')
    browser.find_element(By.ID, 'motion-stop').click()
    wait_for(lambda: status() == 'sweep.yaml: stopped', what='the sweep stopped')
    held = mon.read(offset('ip_out', 0), 64)
    time.sleep(0.3)
    assert mon.read(offset('ip_out', 0), 64) == held  # the servos stay where they were
    assert motion('wave.yaml').is_enabled()
    mon.close()


def planned(sim, name):
    """The planner's curve of a motion from where the robot rests now (orvane-ctl's dry run),
    in the joint's degrees as the page shows them next to the joints' names: servo id -> degrees
    by tick, and the ticks where its keyframes end."""
    out = subprocess.run([os.environ['ORVANE_CTL'], '-r', sim.address, 'play', os.path.join(MOTIONS, name),
                          '-p', os.path.join(MOTIONS, 'robot.yaml'), '--dry-run', '--curve', '-'],
                         capture_output=True, text=True, timeout=DEADLINE, check=True).stdout
    joints, ends, rows = {}, [], []
    for line in out.splitlines():
        cells = line.removeprefix('# ').split(',')
        if cells[0] == 'joint':  # joint,NAME,ID,MIN,MAX,TRIM,REVERSE
            joints[cells[1]] = int(cells[2])
        elif cells[0] == 'keyframe':  # keyframe,N,LINE,TICK,EASE
            ends.append(int(cells[3]))
        else:
            rows.append(cells)
    head = rows[0]
    curve = {}
    for name, sid in joints.items():
        c = head.index(f'{name}.curve')
        curve[sid] = [float(r[c]) for r in rows[1:]]
    return curve, ends


@pytest.mark.skipif('ORVANE_CTL' not in os.environ, reason='a build without orvane-ctl')
def test_playlist_motion_shows_its_planned_curve_until_it_ends_or_is_stopped(sim, web, browser):
    open_page(browser, web)
    held = lambda: browser.execute_script('return window.orvane.plan()')
    now = lambda: browser.execute_script('return window.orvane.now()')  # the plots' clock
    status = lambda: browser.find_element(By.ID, 'motion-status').text
    wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, '.motion'), what='the playlist')
    assert held() is None  # nothing plays, nothing planned is drawn
    # reach.yaml has spline keyframes between smooth ones: the page holds the planner's curve
    # for each joint it moves.
    want, ends = planned(sim, 'reach.yaml')
    clicked = now()
    browser.find_element(By.CSS_SELECTOR, '.motion[data-motion="reach.yaml"]').click()
    key = browser.find_element(By.ID, 'plan-key')
    p = wait_for(lambda: (lambda h: h if h and all(r['spt'] for r in h['rows'].values()) and key.is_displayed()
                          else None)(held()), what='the planned curve on the page, with its key')
    seen = now()
    assert sorted(int(i) for i in p['rows']) == sorted(want)
    keys = set()
    for sid, row in p['rows'].items():
        w = want[int(sid)]
        assert row['ticks'] == len(w) - 1 == ends[-1]
        ticks = [min(i * row['every'], row['ticks']) for i in range(len(row['v']))]
        assert ticks[-1] == row['ticks']
        for i in {0, len(ticks) // 5, len(ticks) // 2, len(ticks) * 4 // 5, len(ticks) - 1}:
            assert abs(row['v'][i] - w[ticks[i]]) <= 0.02, (sid, ticks[i], row['v'][i], w[ticks[i]])
        for tick, deg in row['keys']:
            assert tick in ends and abs(deg - w[tick]) <= 0.02, (sid, tick, deg)
            keys.add(tick)
        # Tick 0 lies on the page's clock where the motion started: after the click, by the
        # time the page had the plan (half a second either way for the clocks' reading).
        assert clicked - 0.5 <= row['t0'] <= seen + 0.5, (clicked, row['t0'], seen)
    assert keys == set(ends)  # every keyframe marked on the joints it names
    time.sleep(0.5)
    browser.save_screenshot(artifact('orvane-web-plan.png'))
    wait_for(lambda: status() == 'reach.yaml: done', what='reach done')
    wait_for(lambda: held() is None, what='the planned curve gone at the end')
    assert not browser.find_element(By.ID, 'plan-key').is_displayed()

    browser.find_element(By.CSS_SELECTOR, '.motion[data-motion="sweep.yaml"]').click()
    wait_for(lambda: held() and held()['serial'] != p['serial'], what="the sweep's planned curve")
    browser.find_element(By.ID, 'motion-stop').click()
    wait_for(lambda: status() == 'sweep.yaml: stopped', what='the sweep stopped')
    wait_for(lambda: held() is None, what='the planned curve gone once stopped')


@pytest.mark.skipif('ORVANE_CTL' not in os.environ, reason='a build without orvane-ctl')
def test_planned_curve_lies_on_the_measured_goals_where_the_daemon_plays_it(sim, web, browser):
    # The wave's first keyframe brings the shoulder from 40 degrees back to 0 in a second: the
    # page's planned curve, placed by the pass the motion started at, and its measured goals,
    # placed by the passes they were read in, agree there within what a pass moves.
    mon = Monitor(sim.address)
    mon.torque(True, [2])
    mon.move({2: 40}, ticks=1)
    open_page(browser, web)
    want, ends = planned(sim, 'wave.yaml')
    browser.find_element(By.CSS_SELECTOR, '.motion[data-motion="wave.yaml"]').click()
    held = lambda: browser.execute_script('return window.orvane.plan()')
    p = wait_for(lambda: (lambda h: h if h and h['rows'].get('2', {}).get('spt') else None)(held()),
                 what='the planned curve on the page')
    first = ends[0]
    # Every goal the page measured in the first keyframe, once it has passed, with the plan as
    # placed at that moment (the page's clock may have been set back meanwhile, moving both).
    both = lambda: browser.execute_script('return [window.orvane.plan(), window.orvane.goals(2)]')
    p, g = wait_for(lambda: (lambda b: b if b[0] and b[1]['t'][-1] > b[0]['rows']['2']['t0'] +
                             (first + 10) * b[0]['rows']['2']['spt'] else None)(both()),
                    what='the first keyframe measured')
    row = p['rows']['2']
    seen = 0
    for t, goal in zip(g['t'], g['goal']):
        tick = round((t - row['t0']) / row['spt'])
        if 0 <= tick <= first:
            step = max(abs(want[2][min(tick + 1, first)] - want[2][tick]), abs(want[2][tick] - want[2][max(tick - 1, 0)]))
            assert abs(goal - want[2][tick]) <= 1.3 + step, (tick, goal, want[2][tick])  # moves of 3 ticks on the curve
            seen += 1
    assert seen >= 5, g
    wait_for(lambda: browser.find_element(By.ID, 'motion-status').text == 'wave.yaml: done', what='the wave done')
    mon.close()


def test_killed_and_restarted_robot_shows_reconnecting_then_live_data(browser):
    port = free_port()
    sim = Sim(port)
    web = Web(sim.address)
    try:
        open_page(browser, web)
        sim.stop(signal.SIGKILL)
        t0 = time.monotonic()
        wait_for(lambda: browser.find_element(By.ID, 'status').text == 'reconnecting',
                 what='"reconnecting"')
        print(f'reconnecting shown {time.monotonic() - t0:.2f} s after the kill')
        sim = Sim(port)
        sim.console('close 2')
        wait_for(lambda: browser.find_element(By.ID, 'status').text == 'connected', what='"connected"')
        wait_for(lambda: 'on' in classes(browser, 'sw-2'), what='live data from the new daemon')
    finally:
        web.stop()
        sim.stop()


def test_requests_without_the_token_get_403_and_bad_ones_4xx_and_change_nothing(sim, web):
    base, port = web.base, web.base.rsplit(':', 1)[1]
    for url, cookie in [(base + '/', None), (base + '/app.js', None),
                        (base + '/?token=wrong-token-here', None),
                        (base + '/api/robots?token=browser-test-token-', None),
                        (base + '/api/robots', f'orvane_web_{port}=wrong-token-here'),
                        (base + '/api/robots', 'orvane_web_1=browser-test-token'),
                        (base + '/api/motions', None), (base + '/api/plan?robot=0', None)]:
        status, body = request(url, cookie=cookie)
        assert (status, body) == (403, b'forbidden\n'), url
    status, _ = request(base + '/api/command?robot=0', b'{"op":"torque","on":true}')
    assert status == 403

    mon = Monitor(sim.address)
    region = (offset('ip_target', 0), offset('ttime') + 1 - offset('ip_target', 0))
    before = mon.read(*region)
    cookie = f'orvane_web_{port}={web.token}'
    for body, target in [(b'{"op":"move","goals":[[1,151]],"ms":100}', 'robot=0'),
                         (b'{"op":"move","goals":[[1,10]],"ms":100}', 'robot=1'),
                         (b'{"op":"leds","leds":[[0,300]]}', 'robot=0'),
                         (b'{"op":"move","goals":[[3,20]],"ms":100}', 'robot=0'),  # elbow's limits
                         (b'{"op":"read","ids":[33]}', 'robot=0'),
                         (b'{"op":"exit"}', 'robot=0'),
                         (b'{"op":"play","motion":"../motions/wave.yaml"}', 'robot=0'),
                         (b'{"op":"play","motion":"robot.yaml"}', 'robot=0'),  # the profile
                         (b'{not json', 'robot=0'),
                         (b'x' * 20000, 'robot=0')]:
        status, _ = request(f'{base}/api/command?{target}', body, cookie)
        assert 400 <= status < 500, (body[:40], status)
    for path in ['/nothing', '/api/plan?robot=0', '/api/plan?robot=1', '/api/plan?robot=x']:
        assert request(base + path, cookie=cookie)[0] == 404, path  # no robot 1, no motion playing
    assert mon.read(*region) == before
    status, answer = request(base + '/api/command?robot=0', b'{"op":"torque","on":true}', cookie)
    assert (status, json.loads(answer)) == (200, {'ok': True})
    mon.close()


def test_token_may_come_from_the_environment_out_of_sight_of_ps(sim):
    w = Web(sim.address, token=None, env={'ORVANE_WEB_TOKEN': 'from-the-environment'})
    try:
        assert w.token == 'from-the-environment'
        assert request(w.base + '/api/robots?token=from-the-environment')[0] == 200
        assert request(w.base + '/api/robots?token=browser-test-token')[0] == 403
    finally:
        w.stop()
    assert_clean_exit(w)


def test_non_loopback_listen_without_a_token_is_refused():
    import os
    import subprocess
    r = subprocess.run([os.environ['ORVANE_WEB'], '--listen', '0.0.0.0:0'], capture_output=True,
                       text=True, timeout=20)
    assert r.returncode == 2
    assert 'without --token' in r.stderr


@pytest.mark.long
def test_three_pages_for_60_s_add_no_overruns_and_poll_at_most_once_per_tick():
    """Two simulators side by side for the same minute: one idle, one watched by three pages
    through orvane-web, whose monitor line passes through a proxy that counts its polls."""
    idle, watched = Sim(), Sim()
    proxy = CountingProxy(watched.port)
    web = Web(f'127.0.0.1:{proxy.port}')
    mon = Monitor(watched.address)
    d = chromium()
    try:
        d.get(web.url)
        for _ in range(2):
            d.switch_to.new_window('window')
            d.get(web.url)
        for h in d.window_handles:
            d.switch_to.window(h)
            wait_for(lambda: d.find_element(By.ID, 'status').text == 'connected', what='"connected"')
        busy = keep_moving(mon, watched)
        loops0, polls0 = loop_count(mon), proxy.polls
        idle0, watched0 = idle.overruns(), watched.overruns()
        cpu0, t0 = cpu_seconds(web.p.pid), time.monotonic()
        time.sleep(60)
        loops, polls = loop_count(mon) - loops0, proxy.polls - polls0
        idle_marks, watched_marks = idle.overruns() - idle0, watched.overruns() - watched0
        cpu = (cpu_seconds(web.p.pid) - cpu0) / (time.monotonic() - t0)
        busy.set()
        d.save_screenshot(artifact('orvane-web-three-pages.png'))
        report = (f'polls {polls} in 60 s ({polls / 60:.1f}/s) for {loops} control-loop passes; '
                  f'overrun marks: watched {watched_marks}, idle {idle_marks}; '
                  f'orvane-web CPU {100 * cpu:.2f} % of a core with 3 pages')
        print(report)
        with open(artifact('orvane-web-cost.txt'), 'w') as f:
            f.write(report + '\n')
        assert 0 < polls <= loops
        # Overruns come from the machine's load, which both simulators share. On a loaded
        # 2-core machine two identical idle simulators were seen to differ by up to half (121
        # and 182 marks in 30 s), so the idle one is the yardstick within that spread.
        assert watched_marks <= idle_marks * 1.5 + 10
    finally:
        d.quit()
        mon.close()
        web.stop()
        proxy.close()
        idle.stop()
        watched.stop()


def keep_moving(mon, sim):
    """Something for the pages to show: torque on, a switch closed, LEDs lit, and servo 1
    swinging every two seconds. The read groups stay as they are: more reads would lengthen the
    servo exchange, and the idle simulator's is the yardstick. Returns the event that stops the
    swinging."""
    for sid in (1, 3):
        mon.write(offset('ip_target', 32 + sid), [100, 0])
    for i, v in enumerate([255, 180, 120, 60, 20, 0, 0, 90]):
        mon.write(offset('ip_target', 64 + i), [v, 0])
    mon.write(offset('ip_target', 3), (-250).to_bytes(2, 'little', signed=True))
    mon.write(offset('ttime'), [30])
    sim.console('close 1')
    stop = threading.Event()

    def swing():
        goal = 600
        while not stop.wait(2.0):
            mon2.write(offset('ip_target', 1), goal.to_bytes(2, 'little', signed=True))
            mon2.write(offset('ttime'), [60])
            goal = -goal
        mon2.close()
    mon2 = Monitor(sim.address)
    threading.Thread(target=swing, daemon=True).start()
    return stop


def loop_count(mon):
    return int.from_bytes(mon.read(offset('loop_count'), 4), 'little')


def cpu_seconds(pid):
    import os
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


class CountingProxy:
    """Passes orvane-web's monitor connections through and counts its polls: the R lines equal to
    its first one (each poll reads the same ranges)."""

    def __init__(self, upstream):
        import socket
        self.upstream = upstream
        self.polls = 0
        self.first = None
        self.srv = socket.socket()
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind(('127.0.0.1', 0))
        self.srv.listen(4)
        self.port = self.srv.getsockname()[1]
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        import socket
        while not self.closed:
            try:
                c, _ = self.srv.accept()
            except OSError:
                return
            u = socket.create_connection(('127.0.0.1', self.upstream))
            threading.Thread(target=self._pipe, args=(u, c, None), daemon=True).start()
            threading.Thread(target=self._pipe, args=(c, u, self._count), daemon=True).start()

    def _count(self, line):
        if line.startswith(b'R'):
            if self.first is None:
                self.first = line
            if line == self.first:
                self.polls += 1

    def _pipe(self, src, dst, count):
        pending = b''
        try:
            while True:
                b = src.recv(65536)
                if not b:
                    break
                if count:
                    pending += b
                    *lines, pending = pending.split(b'\n')
                    for line in lines:
                        count(line)
                dst.sendall(b)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(2)
            except OSError:
                pass

    def close(self):
        self.closed = True
        self.srv.close()


class Feed:
    """A page's WebSocket feed without a browser, to play a slow or vanishing page."""

    def __init__(self, web, rcvbuf=None):
        import base64
        import os
        import socket
        host, port = web.base.split('//')[1].split(':')
        self.s = socket.socket()
        if rcvbuf:
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.s.settimeout(10)
        self.s.connect((host, int(port)))
        key = base64.b64encode(os.urandom(16)).decode()
        self.s.sendall((f'GET /ws/0 HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n'
                        f'Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n'
                        f'Sec-WebSocket-Version: 13\r\nCookie: orvane_web_{port}={web.token}\r\n\r\n')
                       .encode())
        self.buf = b''
        while b'\r\n\r\n' not in self.buf:
            self.buf += self.s.recv(4096)
        head, self.buf = self.buf.split(b'\r\n\r\n', 1)
        assert head.startswith(b'HTTP/1.1 101'), head

    def _need(self, n):
        while len(self.buf) < n:
            b = self.s.recv(65536)
            if not b:
                raise EOFError
            self.buf += b

    def state(self):
        """The next state the gateway sent (server frames are unmasked, text, unfragmented)."""
        while True:
            self._need(2)
            op, n, at = self.buf[0] & 15, self.buf[1] & 127, 2
            if n >= 126:
                width = 2 if n == 126 else 8
                self._need(2 + width)
                n, at = int.from_bytes(self.buf[2:2 + width], 'big'), 2 + width
            self._need(at + n)
            payload, self.buf = self.buf[at:at + n], self.buf[at + n:]
            if op == 1:
                return json.loads(payload)

    def states_until_quiet(self, quiet=0.5):
        got = []
        self.s.settimeout(quiet)
        try:
            while True:
                got.append(self.state())
        except (TimeoutError, OSError):
            return got


def open_descriptors(pid):
    import os
    return len(os.listdir(f'/proc/{pid}/fd'))


def test_slow_page_gets_the_newest_state_not_a_backlog(sim, web):
    mon = Monitor(sim.address)
    busy = keep_moving(mon, sim)
    try:
        slow = Feed(web, rcvbuf=4096)
        first = slow.state()
        time.sleep(10)  # reads nothing while the servo swings
        busy.set()
        time.sleep(1.5)  # the last swing ends
        late = slow.states_until_quiet()
        published = late[-1]['seq'] - first['seq']
        # A queue would hand over every state of those seconds; the page gets what the socket
        # buffers held, then the newest.
        assert len(late) < published / 2, (len(late), published)
        assert late[-1]['servos'][0]['goal'] == mon.word(offset('servo.#.goal', 1))
    finally:
        busy.set()
        mon.close()


def test_pages_that_vanish_cost_nothing(sim, web):
    import socket
    import struct
    wait_for(lambda: Feed(web).state()['connected'], what='a connected robot')
    before = open_descriptors(web.p.pid)
    feeds = [Feed(web) for _ in range(40)]
    for f in feeds:
        f.state()
    for i, f in enumerate(feeds):
        if i % 2:  # a reset, as from a browser that was killed
            f.s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
        f.s.close()
    wait_for(lambda: open_descriptors(web.p.pid) <= before, what='every page socket closed')
    assert Feed(web).state()['connected']
