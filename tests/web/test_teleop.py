"""The live page's mirror panel and gamepad in headless Chromium: one robot follows another from
the page, and a synthetic pad (standing in for the browser's Gamepad API) jogs a servo only while
its deadman is held and its input is fresh. Judged from the far side, in the maps."""
import os
import time

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from conftest import MOTIONS, Monitor, Sim, Web, assert_clean_exit, offset, wait_for

PROFILE = os.path.join(MOTIONS, 'robot.yaml')

# A pad of the standard mapping whose data the test sets; its timestamp moves while it is "live".
SYNTHETIC_PAD = '''
window.__pad = {id: 'synthetic pad', index: 0, connected: true, mapping: 'standard',
                timestamp: performance.now(), axes: [0, 0, 0, 0],
                buttons: Array.from({length: 17}, () => ({pressed: false, touched: false, value: 0}))};
window.__pads = [window.__pad];
window.__live = true;
Object.defineProperty(navigator, 'getGamepads', {configurable: true, value: () => window.__pads});
setInterval(() => { if (window.__live) window.__pad.timestamp = performance.now(); }, 20);
window.dispatchEvent(new Event('gamepadconnected'));
'''


def text(browser, element_id):
    return browser.find_element(By.ID, element_id).text


def goal(mon, servo):
    return mon.word(offset('servo.#.goal', servo))


def still(mon, servo, settle=0.3):
    """The goal once it has stopped changing (two reads `settle` apart agree)."""
    def same():
        a = goal(mon, servo)
        time.sleep(settle)
        return goal(mon, servo) == a
    wait_for(same, what=f'servo {servo} to hold still')
    return goal(mon, servo)


def test_mirror_panel_engages_pauses_and_ends_with_the_lag_shown(browser):
    leader, follower = Sim(), Sim()
    web = Web(leader.address, follower.address, extra=['--profile', PROFILE])
    lmon, fmon = Monitor(leader.address), Monitor(follower.address)
    try:
        leader.console('push 1 30')
        wait_for(lambda: 'servo 1 pushed' in leader.stderr(), what='the push')
        browser.get(web.url)
        # The page has started (it shows robot 0) before it is turned to the follower.
        wait_for(lambda: text(browser, 'status') == 'connected', what='"connected"')
        Select(browser.find_element(By.ID, 'robot')).select_by_value('1')
        wait_for(lambda: text(browser, 'status') == 'connected', what='"connected"')
        assert browser.find_element(By.ID, 'mirror-leader').get_attribute('value') == '0'
        browser.find_element(By.ID, 'mirror-engage').click()
        wait_for(lambda: goal(fmon, 1) == 300, what='the follower on the leader\'s pose')
        wait_for(lambda: 'tracking from robot 0' in text(browser, 'mirror-status') and
                 'lag' in text(browser, 'mirror-status'), what='tracking and its lag on the page')
        leader.console('push 1 -20')
        wait_for(lambda: goal(fmon, 1) == -200, what='the follower tracking')

        browser.find_element(By.ID, 'mirror-pause').click()
        wait_for(lambda: text(browser, 'mirror-status').startswith('paused'), what='"paused"')
        leader.console('push 1 10')
        time.sleep(0.5)
        assert goal(fmon, 1) == -200  # it holds
        browser.find_element(By.ID, 'mirror-engage').click()
        wait_for(lambda: goal(fmon, 1) == 100, what='the follower engaged again')
        # While it follows, the page's own moves of it are refused.
        assert browser.find_element(By.ID, 'mirror-end').is_enabled()
        browser.find_element(By.ID, 'mirror-end').click()
        wait_for(lambda: text(browser, 'mirror-status') == 'not mirroring', what='the session ended')
        wait_for(lambda: lmon.read(offset('wr_count'), 1) == bytes([6]), what='the leader put back')
        assert lmon.word(offset('servo.#.torque', 1)) == 0
        assert fmon.word(offset('servo.#.torque', 1)) == 100
    finally:
        lmon.close()
        fmon.close()
        web.stop()
        leader.stop()
        follower.stop()
    assert_clean_exit(web)


def test_gamepad_jogs_only_while_the_deadman_is_held_and_stops_on_stale_input(sim, web, browser):
    mon = Monitor(sim.address)
    browser.get(web.url)
    wait_for(lambda: text(browser, 'status') == 'connected', what='"connected"')
    wait_for(lambda: browser.find_element(By.ID, 'axis-0').get_attribute('value') == '1', what='the stick mapped')
    browser.execute_script(SYNTHETIC_PAD)
    wait_for(lambda: 'synthetic pad' in text(browser, 'pad-status'), what='the pad seen')
    pad = lambda js: browser.execute_script(js)  # noqa: E731
    moving = lambda: text(browser, 'jog-status').startswith('jogging #1 +')  # noqa: E731

    # The stick all the way right, no deadman: nothing moves.
    pad('window.__pad.axes[0] = 1;')
    time.sleep(1)
    assert goal(mon, 1) == 0
    assert not moving()
    # The deadman held: the base turns the way the stick points, at the joint's jog speed.
    pad('window.__pad.buttons[4].pressed = true;')
    wait_for(moving, what='"jogging"')
    wait_for(lambda: goal(mon, 1) > 50, what='the base turning')
    assert text(browser, 'jog-status') == 'jogging #1 +60.0°/s'
    pad('window.__pad.buttons[4].pressed = false;')
    wait_for(lambda: text(browser, 'jog-status') == 'stopped: deadman released', what='the release')
    held = still(mon, 1)
    assert 50 < held < 1200

    # Stale input of each kind stops it: a pad that says nothing new, one unplugged, the page hidden.
    stale = [
        ('window.__live = false;', 'stopped: no input from the gamepad for 1 s', 'window.__live = true;'),
        ('window.__pads = [null]; window.dispatchEvent(new Event("gamepaddisconnected"));',
         'stopped: gamepad unplugged', 'window.__pads = [window.__pad];'),
        ('Object.defineProperty(document, "hidden", {configurable: true, get: () => true});'
         'document.dispatchEvent(new Event("visibilitychange"));', 'stopped: page hidden',
         'Object.defineProperty(document, "hidden", {configurable: true, get: () => false});'),
    ]
    for make, says, undo in stale:
        before = goal(mon, 1)
        pad('window.__pad.axes[0] = -1; window.__pad.buttons[5].pressed = true;')
        wait_for(lambda: goal(mon, 1) < before - 20, what='the base turning back')
        pad(make)
        wait_for(lambda: text(browser, 'jog-status') == says, what=says)
        still(mon, 1)
        pad('window.__pad.buttons[5].pressed = false;' + undo)

    # On a phone: the on-screen stick with the pad's deadman, and the on-screen deadman with the
    # pad's stick.
    pad('window.__pad.axes[0] = 0; window.__pad.buttons[4].pressed = true;')
    before = still(mon, 1)
    stick = browser.find_element(By.ID, 'stick')
    ActionChains(browser).move_to_element(stick).click_and_hold().move_by_offset(stick.size['width'] // 2, 0).perform()
    wait_for(lambda: goal(mon, 1) > before + 20, what='the on-screen stick turning the base')
    ActionChains(browser).release().perform()
    pad('window.__pad.buttons[4].pressed = false; window.__pad.axes[0] = -1;')
    wait_for(lambda: not moving(), what='the stick released')
    before = still(mon, 1)
    ActionChains(browser).click_and_hold(browser.find_element(By.ID, 'deadman')).perform()
    wait_for(lambda: goal(mon, 1) < before - 20, what='the on-screen deadman letting the pad move it')
    ActionChains(browser).release().perform()
    wait_for(lambda: text(browser, 'jog-status') == 'stopped: deadman released', what='the release')
    still(mon, 1)
    mon.close()
