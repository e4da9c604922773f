"""The robot's package on the emulated BCM2835: the daemon's real device paths (the GPIO block
through /dev/mem, the PL011 as /dev/ttyAMA0, /dev/i2c-1) against QEMU's models and the virtual
servo chain. Cases on the shared board run in file order; the exit and power-off requests come
last, since they end the daemon (the guest's init starts it again after each)."""
import os
import re
import sys
import time

import pytest

from conftest import DEADLINE, ROOT, _load, boot, emu, offset, orvane, wait_for

SW_IN = offset('sw_in', 0)
LOOP_COUNT = offset('loop_count')
# Three-bit function fields of the switch pins: (GPFSEL register index, shift).
SWITCH_FSEL = [(p // 10, 3 * (p % 10)) for p in emu.SWITCH_PINS]


SYSTEM_TIMER_CLO = 0x20003004  # the BCM2835's free-running microsecond counter, the guest's own clock


def passes_per_second(board, mon, window=3.0):
    """Control-loop passes per second of the guest's own time (its system timer), so that an
    emulator that the host slows down is not taken for a daemon that misses its ticks."""
    a, c0 = mon.get('loop_count'), board.read32(SYSTEM_TIMER_CLO, 1)[0]
    time.sleep(window)
    b, c1 = mon.get('loop_count'), board.read32(SYSTEM_TIMER_CLO, 1)[0]
    return (b - a) / (((c1 - c0) & 0xFFFFFFFF) / 1e6)


def switches(mon):
    return [int.from_bytes(mon.read(SW_IN + 2 * i, 2), 'little') for i in range(5)]


def test_banner_through_the_forward(board, mon):
    assert re.fullmatch(r'#orvane-\d+ \([A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d\)', board.banner)
    assert mon.get('robot_name') == 'ZIDIDOVE'


def test_i2c_writes_reach_the_controller_stub(board):
    # QEMU 7.2 models the BCM2835's I2C controllers as unimplemented stubs: no byte reaches a
    # device and every transfer times out, so the LED payload cannot be checked here. What the
    # stub logs can: the slave address (register A, 0x0c) and the length (DLEN, 0x08) of each
    # transfer on the bus at 0x20804000 (i2c-1).
    write = r'bcm2835-i2c1: unimplemented device write \(size \d, offset 0x0*(\w+), value 0x0*(\w+)\)'
    want = {('c', '4'), ('c', '5'), ('8', 'f')}  # boards A and B, 15 bytes each
    wait_for(lambda: want <= set(re.findall(write, board.unimp_log())),
             what='transfers to 0x04 and 0x05 of 15 bytes in the stub log')


def test_function_select_clears_exactly_the_switch_pins(board):
    before = [int(v, 16) for v in board.wait_console(
        r'function select before:((?: 0x[0-9A-Fa-f]+){6})', DEADLINE, 'the registers').group(1).split()]
    after = board.read32(emu.GPFSEL0, 6)
    want = list(before)
    for reg, shift in SWITCH_FSEL:
        want[reg] &= ~(7 << shift)
    assert [hex(v) for v in after] == [hex(v) for v in want]


def test_switches_follow_the_pin_levels(board, mon):
    # QEMU models no pull-ups: the levels start low (every switch closed) until the host drives them.
    board.set_pins(high=emu.SWITCH_PINS)
    wait_for(lambda: switches(mon) == [0, 0, 0, 0, 0], what='all switches open')
    for i, pin in enumerate(emu.SWITCH_PINS):
        board.set_pins(low=[pin])
        want = [int(j == i) for j in range(5)]
        wait_for(lambda: switches(mon) == want, what=f'switch {i} alone closed')
        board.set_pins(high=[pin])
    wait_for(lambda: switches(mon) == [0, 0, 0, 0, 0], what='all switches open again')


# The guest's clock counts instructions at a fixed 2 ns each (scripts/orvane-emu), so the rate
# in the guest's own time does not depend on how busy the host is.
@pytest.mark.parametrize('led_on', [0, 1])
def test_control_loop_keeps_the_tick_rate(board, mon, led_on):
    mon.set('led_on', led_on)
    rates = []
    # The best of a few windows, within a generous deadline: the loop reads the counter between
    # two monitor reads, and the monitor's host shares the machine.
    end = time.monotonic() + 60
    while time.monotonic() < end and (not rates or max(rates) < 50):
        rates.append(passes_per_second(board, mon))
    print(f'led_on {led_on}: passes per second of guest time, best of {len(rates)}: {max(rates):.1f}')
    assert max(rates) >= 50, rates


def test_cost_run_reads_every_daemon_thread_and_the_tracers_passes(board, mon):
    # The readings of scripts/orvane-emu cost, a few guest seconds of them: the figures of
    # docs/performance.md come from these.
    sys.path.insert(0, os.path.join(ROOT, 'scripts', 'emu'))
    import cost
    agent = cost.Agent(board.agent_port)
    agent.wait_up()
    s0 = cost.Snap(agent('snap'))
    c0 = board.read32(SYSTEM_TIMER_CLO, 1)[0]
    wait_for(lambda: (board.read32(SYSTEM_TIMER_CLO, 1)[0] - c0) & 0xFFFFFFFF > 3e6,
             what='three seconds of guest time')
    s1 = cost.Snap(agent('snap'))
    daemon = cost.usage(s0, s1)['daemon']
    assert {'control loop', 'tick', 'output writer', 'monitor listener', 'servo'} <= set(daemon)
    assert 0 < sum(daemon.values()) < 100, daemon
    [pid] = s1.pids('daemon')
    trace = cost.Trace(agent(f'trace 2 {pid}'), 2)
    assert trace.ok
    role = {v: k for k, v in trace.threads_of(pid, 'daemon').items()}
    passes = trace.tick_to_pass(role['tick'], role['control loop'])
    assert len(passes) >= 30, trace.events[:20]
    assert trace.calls(role['servo'])


def test_servo_round_trip_through_the_uart(board, mon):
    mon.torque(True, [1])
    mon.move({1: 30.0}, 10)
    wait_for(lambda: board.servos()[1]['goal'] == 300, what="the chain's servo 1 told goal 300")
    wait_for(lambda: mon.get('sv_pos', 1) == 300, what='sv_pos of servo 1 reading 300')
    assert board.servos()[1]['pos'] == 300


def test_page_of_the_packaged_web_in_a_browser(board):
    web = pytest.importorskip('selenium.webdriver.common.by')
    webconf = emu_web_conftest()
    browser = webconf.chromium()
    try:
        browser.get(f'http://127.0.0.1:{board.web_port}/?token={board.web_token}')
        status = lambda: browser.find_element(web.By.ID, 'status').text  # noqa: E731
        wait_for(lambda: status() == 'connected', what='the page saying "connected"')
        tile = lambda: browser.find_element(web.By.ID, 'sw-1').get_attribute('class').split()  # noqa: E731
        board.set_pins(low=[emu.SWITCH_PINS[1]])
        wait_for(lambda: 'on' in tile(), what='tile of switch 1 lit')
        board.set_pins(high=[emu.SWITCH_PINS[1]])
        wait_for(lambda: 'on' not in tile(), what='tile of switch 1 dark')
    finally:
        browser.quit()


def emu_web_conftest():
    return _load('web_conftest', os.path.join(ROOT, 'tests', 'web', 'conftest.py'))


def test_exit_request_ends_the_daemon_with_status_0(board, mon):
    start = len(board.console())
    # The request's own call: the daemon answers no line after an end request, and closes.
    mon.request_exit()
    m = board.wait_console(r'orvane-emu: daemon status (\d+)', 2 * DEADLINE, 'the daemon to end', start)
    assert m.group(1) == '0'


def test_poweroff_request_announces_and_runs_the_command(board):
    start = len(board.console())
    m = wait_for(lambda: connect(board), what='the daemon started again after the exit: '
                 + board.console()[start - 300:][-1500:])
    m.request_poweroff()
    m.close()
    board.wait_console(r'orvane-emu: daemon status \d+', 2 * DEADLINE, 'the daemon to end', start)
    out = board.console()[start:]
    # The line, then the command's status; the command (busybox's poweroff) asked the guest's
    # init, which says so instead of powering off.
    assert re.search(r'KT4_SDREQ\r?\n(.*\n)*orvane-emu: daemon status 0\b', out), out[-2000:]
    wait_for(lambda: 'orvane-emu: poweroff called' in board.console()[start:],
             what="init told to power off")


def connect(board):
    try:
        return orvane.Client('127.0.0.1', board.port, timeout=DEADLINE)
    except (OSError, orvane.Error):
        return None


def test_strict_devmem_stops_the_daemon_and_fails_the_doctor():
    b = boot(relaxed=False, banner=False)
    try:
        status = b.daemon_status()
        out = b.console()
        assert 'error: cannot map /dev/mem' in out
        assert status == 255
        assert re.search(r'FAIL  /dev/mem.*\n(\s+.*\n)*.*iomem=relaxed', out), out[-3000:]
        assert int(b.wait_console(r'orvane-emu: doctor status (\d+)', 1, 'doctor').group(1)) != 0
    finally:
        b.stop()
