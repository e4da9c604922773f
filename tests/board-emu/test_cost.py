"""The arithmetic of `orvane-emu cost` (scripts/emu/cost.py) on made-up readings of the guest's
counters: which thread is which, what a window counts, tick-to-pass from the tracer's events.
The run itself is smoke-tested on the shared board in test_board.py."""
import os
import sys

import pytest

from conftest import ROOT

sys.path.insert(0, os.path.join(ROOT, 'scripts', 'emu'))
import cost  # noqa: E402


def snap(clo, uptime, idle, tasks):
    """The agent's snap text; tasks are (pid, tid, run_ns, process name, thread name)."""
    lines = [f'clo 0x{clo:08x}', f'uptime {uptime:.2f} {idle:.2f}']
    lines += [f'task\t{p}\t{t}\t{run}\t0\t1\t{pn}\t{tn}' for p, t, run, pn, tn in tasks]
    return cost.Snap('\n'.join(lines))


def test_threads_are_told_apart_by_name_and_order():
    names = {100: 'orvane', 101: 'orvane', 102: 'orvane', 103: 'dbgs0', 104: 'orvane',
             107: 'dbgs1'}
    roles = cost.thread_roles(list(names.items()), 'daemon')
    assert roles == {100: 'control loop', 101: 'tick', 102: 'output writer',
                     103: 'monitor listener', 104: 'servo', 107: 'monitor connections'}
    assert cost.thread_roles([(7, 'x'), (5, 'x'), (9, 'x')], 'orvane-web') == {
        5: 'I/O', 7: 'poller', 9: 'other threads'}


def test_a_window_counts_each_threads_run_time_over_the_guest_clock():
    # Ten guest seconds across the system timer's wrap. Run times in ms before and after (None:
    # not there): a host's connection thread that began inside the window counts from zero, one
    # that ended is not counted, and a thread id reused by another process counts from zero.
    rows = [(100, 100, 'orvane', 'orvane', 1000, 1010),
            (100, 101, 'orvane', 'orvane', 1000, 1005),
            (100, 102, 'orvane', 'orvane', 1000, 1000),
            (100, 103, 'orvane', 'dbgs0', 1000, 1000),
            (100, 104, 'orvane', 'orvane', 1000, 1030),
            (100, 105, 'orvane', 'dbgs1', 1000, None),
            (100, 106, 'orvane', 'dbgs1', None, 2),
            (300, 300, 'sh', 'sh', 1000, None),
            (200, 300, 'orvane-web', 'orvane-web', None, 4),
            (5, 5, 'kworker/0:1', 'kworker/0:1', 7, 8)]
    before = snap(0xFFFF_FFFF - 4_000_000, 50.0, 45.0,
                  [(p, t, b * 10**6, pn, tn) for p, t, pn, tn, b, a in rows if b is not None])
    after = snap(6_000_000 - 1, 60.0, 54.0,
                 [(p, t, a * 10**6, pn, tn) for p, t, pn, tn, b, a in rows if a is not None])
    u = cost.usage(before, after)
    assert u['daemon'] == pytest.approx({'control loop': 0.1, 'tick': 0.05, 'output writer': 0,
                                         'monitor listener': 0, 'servo': 0.3,
                                         'monitor connections': 0.02})
    assert u['orvane-web'] == pytest.approx({'I/O': 0.04})
    assert u['kernel and the rest'] == pytest.approx({'all': 0.01})
    assert cost.total(u, cost.PACKAGE) == pytest.approx(0.51)
    assert cost.guest_busy(before, after) == pytest.approx(10.0)


@pytest.mark.parametrize('text', ['', 'clo 0x10\n', 'no tracer\n', 'uptime 1 2\ntask\t1\t1\t0\t0\t0\tx\tx'])
def test_a_reading_that_is_not_a_snap_is_refused(text):
    with pytest.raises(ValueError):
        cost.Snap(text)


def test_tick_to_pass_runs_from_the_tick_threads_wake_up_and_start_to_the_next_pass():
    tick, loop, servo = 101, 100, 104
    trace = cost.Trace('\n'.join([
        'tid 100 100 orvane', 'tid 100 101 orvane',
        # A pass: the timer wakes the tick thread, which runs 20 µs later; the servo thread
        # takes the CPU first, the control loop starts 150 µs after the tick thread.
        'W 1.000000 101', 'S 1.000020 101', 'C 1.000030 101 177', 'W 1.000040 104',
        'W 1.000050 100', 'S 1.000060 104', 'S 1.000170 100',
        # A switch to the control loop with no tick before it (a monitor write woke it): none.
        'S 1.010000 100',
        # The next tick; its pass is still to come when the trace ends.
        'W 1.016667 101', 'S 1.016700 101', 'C 1.016710 101 263', 'C 1.016720 101 9999',
        'C 1.016730 101 x']), seconds=2)
    assert trace.ok
    assert trace.threads_of(100, 'daemon') == {100: 'control loop', 101: 'tick'}
    assert trace.tick_to_pass(tick, loop) == [pytest.approx((170, 150))]
    assert trace.calls(tick) == {'rt_sigtimedwait': 0.5, 'clock_gettime': 0.5, '#9999': 0.5}
    assert trace.calls(servo) == {}
    assert not cost.Trace('no tracer\n', 2).ok


def test_percentiles_take_the_nearest_rank():
    assert [cost.percentile(range(1, 101), p) for p in (50, 99, 100)] == [51, 99, 100]
    assert cost.percentile([], 50) != cost.percentile([], 50)  # nan: nothing traced


def test_tick_rate_leaves_out_only_the_time_the_guest_idled_past_a_due_tick():
    # Re-armed at 0 and at 20 ms; due 16.667 ms after each. The second tick comes 3 ms late
    # with the CPU idle (the emulator's lateness, left out); the third 2 ms late behind 1 ms of
    # the guest's own work and 1 ms of idling (only the idling is left out).
    trace = cost.Trace('\n'.join([
        'tid 1 2 orvane',
        'W 0.000000 2', 'C 0.000010 2 409', 'I 0.000020',
        'W 0.019677 2', 'B 0.019680', 'C 0.020000 2 409', 'I 0.020100',
        'B 0.036667', 'I 0.037667', 'B 0.038660', 'W 0.038667 2']), seconds=1)
    per_s, own_per_s, intervals = trace.ticks(2, 16667)
    assert intervals == pytest.approx([19677, 18990])
    assert per_s == pytest.approx(2 / 0.038667)
    assert own_per_s == pytest.approx(2 / (0.038667 - 0.003 - 0.001), rel=1e-3)
