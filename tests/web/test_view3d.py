"""The robot in 3D on the live page, drawn from its description (URDF) with WebGL, which headless
Chromium runs on SwiftShader: the picture follows the measured positions, the goals show as a
ghost, joints without a current reading are greyed, and a motion of the playlist is previewed
before it plays, moving nothing. The description's route is checked with urdfdom's check_urdf."""
import io
import json
import os
import subprocess
import tempfile

from PIL import Image
from selenium.webdriver.common.by import By

from conftest import MOTIONS, Monitor, Process, Web, artifact, assert_clean_exit, offset, request, wait_for

ARM = ['base', 'shoulder', 'elbow', 'wrist', 'twist', 'gripper']


def open_view(browser, web):
    browser.get(web.url)
    wait_for(lambda: browser.find_element(By.ID, 'status').text == 'connected', what='"connected"')
    wait_for(lambda: browser.execute_script('return window.orvane.view3dState()') != 'loading',
             what='the 3D view loaded or left out')
    return browser.execute_script('return window.orvane.view3dState()')


def view(browser):
    return browser.execute_script('return window.orvane.view3d()')


def at(browser, link, which='measured'):
    return browser.execute_script('return window.orvane.view3dAt(arguments[0], arguments[1])', link, which)


def command(browser, body):
    """A command sent by the page's own means; its HTTP status."""
    return browser.execute_script(
        "return fetch('/api/command?robot=0', {method: 'POST', headers: {'Content-Type': 'application/json'},"
        " body: JSON.stringify(arguments[0])}).then((r) => r.status)", body)


def picture(browser):
    """The canvas as drawn, RGB, one pixel per CSS pixel (the headless window's ratio is 1)."""
    png = browser.find_element(By.CSS_SELECTOR, '#view3d canvas').screenshot_as_png
    return Image.open(io.BytesIO(png)).convert('RGB')


def settled(browser, cond, what):
    """Waits until the view holds `cond` and the canvas shows it."""
    return wait_for(lambda: (lambda v: v if cond(v) and v['drawn'] else None)(view(browser)), what=what)


def changed_near(a, b, xy, r=12, level=40):
    """The share of pixels within r of xy that differ between two pictures."""
    x0, y0 = int(xy[0]), int(xy[1])
    n = diff = 0
    for x in range(max(x0 - r, 0), min(x0 + r, a.width)):
        for y in range(max(y0 - r, 0), min(y0 + r, a.height)):
            n += 1
            pa, pb = a.getpixel((x, y)), b.getpixel((x, y))
            diff += max(abs(pa[i] - pb[i]) for i in range(3)) > level
    return diff / max(n, 1)


def near(want, got, tol=0.6):
    return all(abs(got.get(k, 1e9) - v) <= tol for k, v in want.items())


def read_all(browser):
    assert command(browser, {'op': 'read', 'ids': [1, 2, 3, 4, 5, 6]}) == 200
    settled(browser, lambda v: v['unknown'] == [], 'every joint read')


def test_joints_without_a_reading_are_greyed_until_read(sim, web, browser):
    assert open_view(browser, web) == 'ready'
    # orvane-sim reads servo 1 alone at first: the base has a reading, the rest do not.
    v = settled(browser, lambda v: v['frames'] > 0 and v['unknown'], 'the unread joints')
    assert v['unknown'] == ARM[1:]
    note = browser.find_element(By.CSS_SELECTOR, '#view3d .view3d-note')
    assert 'shoulder (in no read group)' in note.text and 'base' not in note.text
    grey = picture(browser)
    read_all(browser)
    wait_for(lambda: not note.is_displayed(), what='the note gone')
    # The same pose, now in its own colours: the upper arm (between shoulder and elbow) is drawn
    # otherwise, the base as it was.
    coloured = picture(browser)
    (x0, y0), (x1, y1) = at(browser, 'upper_arm'), at(browser, 'forearm')
    assert changed_near(grey, coloured, ((x0 + x1) / 2, (y0 + y1) / 2), r=3) > 0.5
    assert changed_near(grey, coloured, at(browser, 'base_link'), r=6) < 0.1


def test_picture_changes_where_the_arm_is_when_a_joint_moves(sim, web, browser):
    assert open_view(browser, web) == 'ready'
    read_all(browser)
    assert command(browser, {'op': 'torque', 'on': True}) == 200
    before = picture(browser)
    elbow0, hand0 = at(browser, 'forearm'), at(browser, 'hand')
    assert command(browser, {'op': 'move', 'goals': [[2, 60]], 'ms': 300}) == 200
    settled(browser, lambda v: near({'shoulder': 60}, v['measured']), 'the shoulder at 60 degrees')
    after = picture(browser)
    elbow1, hand1 = at(browser, 'forearm'), at(browser, 'hand')
    assert abs(hand1[0] - hand0[0]) + abs(hand1[1] - hand0[1]) > 40  # the hand went somewhere else
    # Where the forearm and hand were and are now the picture changed, and little elsewhere.
    for xy in (elbow0, hand0, elbow1, hand1):
        assert changed_near(before, after, xy, r=5) > 0.3, xy
    whole = (before.width / 2, before.height / 2)
    assert changed_near(before, after, whole, r=max(before.size)) < 0.15
    browser.save_screenshot(artifact('orvane-web-3d-moved.png'))


def test_goal_shows_as_a_translucent_ghost_where_the_arm_does_not_follow(sim, web, browser):
    assert open_view(browser, web) == 'ready'
    read_all(browser)
    # The elbow's servo without torque: its goal moves, the servo does not.
    assert command(browser, {'op': 'torque', 'on': True, 'ids': [1, 2, 4, 5, 6]}) == 200
    before = picture(browser)
    assert command(browser, {'op': 'move', 'goals': [[3, -90]], 'ms': 200}) == 200  # elbow reversed
    v = settled(browser, lambda v: near({'elbow': 90}, v['ghost']), 'the ghost elbow at 90 degrees')
    assert near({'elbow': 0}, v['measured'])
    after = picture(browser)
    ghost_hand, hand = at(browser, 'hand', 'ghost'), at(browser, 'hand')
    assert changed_near(before, after, ghost_hand, r=4, level=25) > 0.5  # the ghost is drawn...
    assert changed_near(before, after, hand, r=4) < 0.2                 # ...the arm is where it was
    r, g, b = after.getpixel((int(ghost_hand[0]), int(ghost_hand[1])))
    assert b > r + 15, (r, g, b)  # blue over the page's grey background


def test_playlist_motion_is_previewed_in_3d_and_nothing_moves(sim, web, browser):
    assert open_view(browser, web) == 'ready'
    read_all(browser)
    mon = Monitor(sim.address)
    region = (offset('ip_target', 0), offset('ttime') + 1 - offset('ip_target', 0))
    # A pose of its own first, the elbow's servo without torque: the picture shows all three.
    assert command(browser, {'op': 'torque', 'on': True, 'ids': [1, 2, 4, 5, 6]}) == 200
    assert command(browser, {'op': 'move', 'goals': [[1, -20], [2, -40], [3, -45]], 'ms': 300}) == 200
    settled(browser, lambda v: near({'base': -20, 'shoulder': -40, 'elbow': 0}, v['measured']) and
            near({'elbow': 45}, v['ghost']), 'the pose')
    before = mon.read(*region)
    servos = sim.servos()
    browser.find_element(By.CSS_SELECTOR, '.preview[data-motion="wave.yaml"]').click()
    p = wait_for(lambda: view(browser)['preview'], what='the preview')
    assert p['name'] == 'wave.yaml' and 5.0 < p['seconds'] < 6.0
    assert browser.find_element(By.ID, 'preview-bar').is_displayed()
    p = wait_for(lambda: (lambda p: p if p['ended'] else None)(view(browser)['preview']),
                 what='the preview at its end')
    assert near({'shoulder': 0, 'elbow': 0, 'gripper': 0, 'wrist': 0}, p['joints'], 0.1)
    # Held at the end of its second keyframe (1.8 s), the wave has the arm raised: the planner's
    # pose.
    browser.execute_script(
        "const r = document.getElementById('preview-at'); r.value = arguments[0];"
        " r.dispatchEvent(new Event('input'))", round(1.8 / p['seconds'] * 1000))
    raised = {'base': 0, 'shoulder': 60, 'elbow': 90, 'gripper': 40, 'wrist': 0}
    settled(browser, lambda v: near(raised, v['preview']['joints'], 1.0), 'the raised pose')
    assert browser.find_element(By.ID, 'preview-status').text.startswith('preview of wave.yaml: 1.8 of 5.5 s')
    browser.save_screenshot(artifact('orvane-web-3d-page.png'))
    browser.find_element(By.ID, 'view3d').screenshot(artifact('orvane-web-3d.png'))
    shot = picture(browser)
    violet = sum(1 for (r, g, b) in shot.getdata() if b > g + 40 and r > g + 15)
    assert violet > 300, violet
    # Nothing was played: no goal changed in the map, no servo was told anything.
    assert mon.read(*region) == before
    assert sim.servos() == servos
    assert browser.find_element(By.ID, 'motion-status').text == ''
    browser.find_element(By.ID, 'preview-stop').click()
    wait_for(lambda: view(browser)['preview'] is None, what='the preview closed')
    assert not browser.find_element(By.ID, 'preview-bar').is_displayed()
    mon.close()


def test_description_and_preview_routes_answer_token_holders_only(sim, web):
    base, port = web.base, web.base.rsplit(':', 1)[1]
    cookie = f'orvane_web_{port}={web.token}'
    for path in ['/api/urdf', '/api/preview?robot=0&motion=wave.yaml']:
        assert request(base + path) == (403, b'forbidden\n'), path
    status, body = request(base + '/api/urdf', cookie=cookie)
    assert status == 200
    with open(os.path.join(MOTIONS, 'arm.urdf'), 'rb') as f:
        assert body == f.read()
    mon = Monitor(sim.address)
    goals = {i: mon.word(offset('servo.#.goal', i)) for i in range(1, 7)}
    mon.close()
    wait_for(lambda: request(base + '/api/preview?robot=0&motion=wave.yaml', cookie=cookie)[0] == 200,
             what='a preview once the robot was read')
    for motion in ['wave.yaml', 'wave%2Eyaml']:
        status, body = request(f'{base}/api/preview?robot=0&motion={motion}', cookie=cookie)
        assert status == 200, motion
        plan = json.loads(body)
        assert sorted(j['id'] for j in plan['joints']) == [1, 2, 3, 4, 5, 6]
        for j in plan['joints']:  # from where the goals are now
            assert abs(j['v'][0] * 10 - goals[j['id']]) <= 0.5, j['id']
    for query, want in [('robot=0&motion=nothing.yaml', 404), ('robot=0&motion=..%2Frobot.yaml', 404),
                        ('robot=0&motion=wave%2', 404), ('robot=0', 404), ('robot=3&motion=wave.yaml', 404),
                        ('robot=0&motion=robot.yaml', 400)]:  # the profile is no motion
        assert request(f'{base}/api/preview?{query}', cookie=cookie)[0] == want, query


def test_description_comes_from_the_profile_or_is_made_from_it(sim, browser):
    folder = tempfile.mkdtemp(prefix='orvane-view3d-')
    starter = os.path.join(folder, 'starter.yaml')
    with open(starter, 'w') as f:
        f.write('robot: two joints\njoints:\n  turn: {id: 1}\n  lift: {id: 2, min: -45, max: 90}\n')
    broken = os.path.join(folder, 'broken.yaml')
    with open(broken, 'w') as f:
        f.write('urdf: broken.urdf\njoints:\n  turn: {id: 1}\n')
    with open(os.path.join(folder, 'broken.urdf'), 'w') as f:
        f.write('<robot name="b"><link name="a"/><link name="c"/></robot>\n')

    # Without a profile: no description, no 3D view, and its script is never fetched.
    w = Web(sim.address)
    try:
        assert request(w.base + '/api/urdf?token=' + w.token)[0] == 404
        assert open_view(browser, w) == 'none'
        assert not browser.find_element(By.ID, 'view3d').is_displayed()
        assert browser.execute_script("return document.querySelector('script[src=\"/view3d.js\"]')") is None
    finally:
        w.stop()
    assert_clean_exit(w)

    # A profile that names no description gets one made from it, which check_urdf takes.
    w = Web(sim.address, extra=['--profile', starter])
    try:
        status, body = request(w.base + '/api/urdf?token=' + w.token)
        assert status == 200 and b'<joint name="lift" type="revolute">' in body
        path = os.path.join(folder, 'served.urdf')
        with open(path, 'wb') as f:
            f.write(body)
        r = subprocess.run(['/usr/bin/check_urdf', path], capture_output=True, text=True, timeout=20)
        assert r.returncode == 0, r.stdout + r.stderr
        assert open_view(browser, w) == 'ready'
        settled(browser, lambda v: 'turn' in v['measured'], 'the starter drawn')
    finally:
        w.stop()
    assert_clean_exit(w)

    # A description that cannot be read stops orvane-web at the start, with the reason.
    p = Process([os.environ['ORVANE_WEB'], '--listen', '127.0.0.1:0', '--robot', sim.address,
                 '--profile', broken], stdin=subprocess.DEVNULL)
    assert p.p.wait(20) == 2
    wait_for(lambda: 'broken.urdf: Failed to find root link' in p.stderr(), what='the reason')
