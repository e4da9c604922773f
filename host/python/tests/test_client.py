"""The Python module against a running orvane-sim."""

import math
import re
import socket
import threading
import time

import pytest

import orvane
from conftest import TIMEOUT, host_view, until


@pytest.mark.parametrize("name,value", [
    ("tick_period", 20000), ("led_on", 0), ("ip_target.5", -300), ("wr_ids.29", 7),
    ("servo.2.goal", 450), ("servo.6.torque", 100), ("led.b.7", 9), ("robot_name", "ARM"),
    ("rd_group.1", bytes([1, 2, 3] + [0] * 13)),
])
def test_set_then_get_gives_the_value_back(robot, name, value):
    robot.set(name, value)
    assert robot.get(name) == value


def test_move_lands_in_time_and_leaves_unnamed_channels_alone(robot):
    robot.write(0x0A00 + 2 * 5, b"\x2c\x01")  # ip_target.5 = 300 without a trigger
    robot.set("ip_enable", 0, index=9)
    enables = robot.read(0x0B00, 128)
    loops0 = robot.get("loop_count")
    robot.move({1: 30.0, 2: -45.5}, ticks=30)
    robot.wait_until_still([1, 2])
    assert 30 <= robot.get("loop_count") - loops0 <= 36
    assert (robot.get("servo.1.goal"), robot.get("servo.2.goal")) == (300, -455)
    assert robot.get("ip_out.5") == 0
    assert robot.read(0x0B00, 128) == enables
    robot.torque(True, [1])
    deadline = time.monotonic() + TIMEOUT
    while robot.position(1) != 30.0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert robot.position(1) == 30.0
    assert robot.position(7) is None
    assert robot.switches() == [False] * 5


@pytest.mark.parametrize("call,error,text", [
    (lambda r: r.get("sv_pso"), orvane.UnknownField, "did you mean 'sv_pos'?"),
    (lambda r: r.get("sv_pos", index=33), orvane.OutOfRange, "out of range 1..32"),
    (lambda r: r.set("servo.1.goal", 1501), orvane.OutOfRange, "out of range -1500..1500"),
    (lambda r: r.move({1: 10.0, 2: 150.5}, ticks=10), orvane.OutOfRange, "-150.0..150.0"),
    (lambda r: r.move({1: math.nan}, ticks=10), orvane.OutOfRange, "-150.0..150.0"),
    (lambda r: r.move({1: 10.0}, ticks=0), orvane.OutOfRange, "ticks out of range 1..2147483647"),
    (lambda r: r.move({1: 10.0, 7: 5.0}, ticks=10), orvane.NotInWriteList,
     "servo 7 is not in the write list (wr_ids 1 2 3 4 5 6): nothing would reach it"),
    (lambda r: r.torque(True, [7, 8]), orvane.NotInWriteList, "servos 7, 8 are not in the write list"),
    (lambda r: r.set("servo.9.goal", 5), orvane.NotInWriteList, "servo 9 is not in the write list"),
    (lambda r: r.get("sv_pos", "1"), orvane.OutOfRange, "index '1' of 'sv_pos' is not a whole number"),
    (lambda r: r.read("0", 1), orvane.OutOfRange, "must be whole numbers"),
    (lambda r: r.set("loop_count", 1), orvane.OutOfRange, "written by the daemon"),
    (lambda r: r.set("tick_period", 1.5), orvane.OutOfRange, "not a whole number"),
    (lambda r: r.set("tick_period", 1000000), orvane.OutOfRange, "out of range 1..999999"),
    (lambda r: r.write(0x0FFF, b"\1\2"), orvane.OutOfRange, "beyond the map"),
    (lambda r: r.set_leds({16: 1}), orvane.OutOfRange, "LED 16 out of range"),
])
def test_bad_arguments_raise_and_leave_the_map_as_it_was(robot, call, error, text):
    before = host_view(robot)
    with pytest.raises(error, match=re.escape(text)):
        call(robot)
    assert host_view(robot) == before
    assert robot.connected


def test_another_host_moving_the_remembered_address_changes_no_result(sim, robot):
    other = socket.create_connection(("127.0.0.1", sim.port), TIMEOUT)
    stop = threading.Event()

    def meddle():
        i = 0
        while not stop.is_set():
            other.sendall(f"r {i * 97 % 0x1000:x} {i % 7:x}\nW {i * 131 % 0x1000:x}\n".encode())
            i += 1
            time.sleep(0.0002)
    t = threading.Thread(target=meddle)
    t.start()
    try:
        for i in range(100):
            data = bytes((i + k) % 256 for k in range(1 + i % 40))
            robot.write(0x0200 + 8 * i, data)
            assert robot.read(0x0200 + 8 * i, len(data)) == data
            assert robot.get("robot_name") == "ZIDIDOVE"
    finally:
        stop.set()
        t.join()
        other.close()


def serve_once(behaviour):
    """A stand-in robot on a free port that serves one connection with `behaviour`."""
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(1)

    def run():
        conn, _ = ls.accept()
        with conn:
            behaviour(conn)
    threading.Thread(target=run, daemon=True).start()
    return ls


def banner_then_close(conn):
    conn.sendall(b"#orvane-6 (Dec  7 2026 10:00:00)\n")
    conn.recv(100)


def test_unreachable_and_closing_robots_give_their_errors():
    free = socket.socket()
    free.bind(("127.0.0.1", 0))  # bound, not listening: connections are refused
    with pytest.raises(orvane.ConnectError, match="connection refused"):
        orvane.connect("127.0.0.1", free.getsockname()[1], timeout=2)
    free.close()
    ls = serve_once(banner_then_close)
    with orvane.connect("127.0.0.1:%d" % ls.getsockname()[1], timeout=2) as r:
        with pytest.raises(orvane.Closed, match="connection closed by the robot at 127.0.0.1:"):
            r.get("tick_period")
        assert not r.connected
    ls.close()
    ls = serve_once(lambda conn: time.sleep(1.5))
    t0 = time.monotonic()
    with pytest.raises(orvane.Timeout, match="no banner"):
        orvane.connect("127.0.0.1", ls.getsockname()[1], timeout=0.5)
    assert time.monotonic() - t0 < 5
    ls.close()


def test_exit_request_ends_the_daemon(sim, robot):
    robot.request_exit()
    assert sim.wait_exit() == 0
    with pytest.raises(orvane.Closed):
        robot.get("ttime")


@pytest.mark.parametrize("ids,room,want", [
    ([1, 2, 3, 4, 5, 6], 5, [[1, 2, 3], [4, 5, 6], [], []]),
    ([1, 2, 2, 3], 1, [[1], [2], [3], []]),
    (list(range(1, 10)), 2, [[1, 2, 3], [4, 5], [6, 7], [8, 9]]),
])
def test_read_groups_lay_out_as_the_cpp_library_does(ids, room, want):
    assert orvane.groups_layout(ids, room) == want
    assert orvane.groups_decode(orvane.groups_encode(want)) == want
    assert orvane.groups_room(16667, 6) == 5


def test_a_servo_without_a_reading_says_why_and_read_servos_gives_it_one(robot):
    def state(sid):
        return robot.reading(sid)[0]
    assert state(2) == orvane.NO_GROUP
    assert orvane.reading_why(robot.reading(2)) == "in no read group"
    assert robot.read_servos([9, 2]) == [[9, 2], [], [], []]  # servo 9 does not answer
    assert robot.read(0x00C0, 5) == bytes([1, 2, 9, 2, 0])
    until(lambda: state(9) != orvane.NEVER_READ)  # until the daemon has asked servo 9
    assert robot.reading(2) == (orvane.BEHIND, 0, 9)
    assert robot.reading(9) == (orvane.SILENT, 0, None)
    robot.read_servos([1, 2, 3])
    until(lambda: state(2) == orvane.VALID)
    assert robot.groups() == [[1, 2, 3], [], [], []]
    assert state(2) == orvane.VALID and robot.position(2) is not None


def test_long_move_is_chained_along_its_line_and_reached_is_waited_for(robot):
    robot.set("tick_period", 5000)  # 200 Hz: two seconds are 400 ticks, two triggers
    robot.torque(True, [1])
    ticks = robot.ticks_for(2000)
    assert ticks == 400
    loops0 = robot.get("loop_count")
    robot.move({1: 20.0}, ticks)
    halfway = robot.get("loop_count") - loops0  # the call returns as the last part starts
    assert 200 <= halfway <= 220
    assert abs(robot.get("servo.1.goal") - 100) <= 10
    robot.wait_until_still([1])
    assert robot.get("loop_count") - loops0 <= 440
    assert robot.wait_until_reached([1, 2], tolerance=0.5) == [2]  # servo 2 has no reading
    assert abs(robot.position(1) - 20.0) <= 0.5
    robot.torque(False, [1])
    robot.move({1: -20.0}, 2)
    with pytest.raises(orvane.NotReached, match="servo 1 on .* did not reach its goal within 0.3 s") as e:
        robot.wait_until_reached([1], tolerance=0.5, timeout=0.3)
    assert e.value.ids == [1]
    robot.move({7: 12.5}, 1, check_write_list=False)
    assert robot.get("servo.7.goal") == 125

