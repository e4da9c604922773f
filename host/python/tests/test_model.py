"""The robot model in Python: profiles, joint names, soft limits on every path that moves a
servo, moves in milliseconds, the reading rule, and motions played through the planner."""

import os
import re
import signal
import subprocess
import threading

import pytest

import orvane
from conftest import ROOT, TIMEOUT, host_view, until

PROFILE = os.path.join(ROOT, "motions", "robot.yaml")  # elbow: servo 3, reversed, -10..135
KNEE = "no such joint 'knee' (joints: base, shoulder, elbow, wrist, twist, gripper)"


@pytest.fixture
def arm(sim):
    with orvane.connect(sim.address, timeout=TIMEOUT, profile=PROFILE) as r:
        yield r


def words(robot, adr, n):
    b = robot.read(adr, 2 * n)
    return [int.from_bytes(b[2 * i:2 * i + 2], "little", signed=True) for i in range(n)]


@pytest.mark.parametrize("text,says", [
    # The motion library's own cases (tests/motion/motion_file_test.cpp), word for word.
    ("joints: {a: {id: 1}, b: {id: 1}}\n", "robot.yaml:1: joints.b.id: servo 1 is joint a already"),
    ("joints:\n  a: {id: 40}\n", "robot.yaml:2: joints.a.id: servo ids are 1 to 32"),
    ("joints:\n  a: {trim: 3}\n", "robot.yaml:2: joints.a.id: missing"),
    ("joints:\n  a: {id: 1, min: 10, max: 5}\n", "robot.yaml:2: joints.a: min 10 is not below max 5"),
    ("joints:\n  a: {id: 1, max: 170}\n", "robot.yaml:2: joints.a.max: outside -150..150 degrees"),
    ("joints:\n  a: {id: 1, reverse: maybe}\n", "robot.yaml:2: joints.a.reverse: needs true or false"),
    ("joints:\n  a: {id: 1, trmi: 2}\n", "robot.yaml:2: joints.a.trmi: unknown field"),
    ("joints:\n  a: {id: one}\n", "robot.yaml:2: joints.a.id: needs a number"),
    ("joints: [1, 2]\n", "robot.yaml:1: joints: needs a map"),
    ("joints:\n  a: {id: 1\n", "robot.yaml:3: not valid YAML"),
    ("joints:\n  a: {id: 1, speed: -5}\n", "robot.yaml:2: joints.a.speed: outside 0..10000"),
    ("joints:\n  a: {id: 1, accel: fast}\n", "robot.yaml:2: joints.a.accel: needs a number"),
    ("urdf: [a.urdf]\njoints:\n  a: {id: 1}\n", "robot.yaml:1: urdf: needs a text value"),
    ("joints:\n  a: {id: 1}\n  a: {id: 2}\n", "robot.yaml:3: joints.a: named twice"),
    ("[" * 40 + "]" * 40, "robot.yaml:1: nested deeper than 32 levels"),
])
def test_profile_faults_are_named_as_the_motion_library_names_them(text, says):
    with pytest.raises(orvane.ProfileError, match=re.escape(says)):
        orvane.parse_profile(text, "robot.yaml")


def test_profile_names_its_urdf_beside_itself():
    for file, urdf, path in [("robot.yaml", "arm.urdf", "arm.urdf"),
                             ("motions/robot.yaml", "arm.urdf", "motions/arm.urdf"),
                             ("/srv/bot/robot.yaml", "urdf/arm.urdf", "/srv/bot/urdf/arm.urdf"),
                             ("motions/robot.yaml", "/usr/share/arm.urdf", "/usr/share/arm.urdf")]:
        assert orvane.parse_profile(f"urdf: {urdf}\njoints: {{a: {{id: 1}}}}\n", file).urdf == path
    assert orvane.load_profile(PROFILE).urdf == os.path.join(ROOT, "motions", "arm.urdf")


def test_profile_converts_both_ways_and_a_missing_file_says_so(tmp_path):
    p = orvane.parse_profile("joints:\n  e: {id: 3, reverse: Yes, trim: 0.3, min: -10, max: 135}\n"
                             "  w: {id: 9, trim: 140}\n")
    e = p.find("e")
    assert (e.units(45), e.joint_deg(-447), e.check(135), p.by_id(9).name) == (-447, 45.0, "", "w")
    assert p.by_id(9).check(20) == "20 degrees puts servo 9 at 160, beyond its range of -150..150"
    with pytest.raises(orvane.ProfileError, match=re.escape(f"{tmp_path}/none.yaml: cannot read the file: "
                                                            "No such file or directory")):
        orvane.load_profile(tmp_path / "none.yaml")


def test_joints_and_degrees_are_the_motion_library_s(tmp_path):
    """Python's reading of a profile against orvane-ctl's plan of the same poses."""
    from orvane.play import find_ctl
    prof = tmp_path / "robot.yaml"
    prof.write_text(open(PROFILE).read() + "  odd: {id: 9, reverse: yes, trim: -0.35, min: -20.25, max: 33.3}\n")
    p = orvane.load_profile(prof)
    values = ("max", "min", 0.05)  # every joint at its max, at its min, then at 0.05 degrees

    def deg(j, v):
        return getattr(j, v) if isinstance(v, str) else v
    (tmp_path / "m.yaml").write_text("keyframes:\n" + "".join(
        "  - ticks: 5\n    pose: {" + ", ".join(f"{j.name}: {deg(j, v)}" for j in p.joints) + "}\n"
        for v in values))
    out = subprocess.run([find_ctl(), "play", str(tmp_path / "m.yaml"), "-p", str(prof), "--dry-run",
                          "--offline", "--ease", "linear"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    planned = [{int(i): int(v) for i, v in re.findall(r"servo\.(\d+)\.goal=(-?\d+)", line)}
               for line in out.stdout.splitlines()[:3]]
    assert planned == [{j.id: j.units(deg(j, v)) for j in p.joints} for v in values]


@pytest.mark.parametrize("call,error,text", [
    (lambda r: r.move({"elbow": 150}, ms=100), orvane.BeyondLimits,
     "elbow at 150 degrees is beyond its limits -10..135"),
    (lambda r: r.move({1: 5, 3: 20.0}, ticks=5), orvane.BeyondLimits,
     "elbow at -20 degrees (servo 3 at 20) is beyond its limits -10..135"),
    (lambda r: r.set("servo.3.goal", 200), orvane.BeyondLimits, "elbow at -20 degrees (servo 3 at 20)"),
    (lambda r: r.set("servo.elbow.goal", 200), orvane.BeyondLimits, "elbow at -20 degrees (servo 3 at 20)"),
    (lambda r: r.set("elbow.goal", -30), orvane.BeyondLimits, "elbow at -30 degrees is beyond its limits"),
    (lambda r: r.set("ip_target.3", 200), orvane.BeyondLimits, "elbow at -20 degrees (servo 3 at 20)"),
    (lambda r: r.write(0x0A06, b"\xc8\x00"), orvane.BeyondLimits, "elbow at -20 degrees (servo 3 at 20)"),
    (lambda r: r.write(0x0A05, b"\0\0\x10"), orvane.BeyondLimits, "elbow at -409.6 degrees"),
    (lambda r: r.write(0x0C0C, b"\0\x7f"), orvane.BeyondLimits, "(servo 6 at 3251.2)"),
    (lambda r: r.move_channels({2: 0, 3: 200}, 1), orvane.BeyondLimits, "elbow at -20 degrees"),
    (lambda r: r.move({"knee": 10}, ms=100), orvane.UnknownJoint, KNEE),
    (lambda r: r.torque(True, ["elbow", "knee"]), orvane.UnknownJoint, KNEE),
    (lambda r: r.set("knee.goal", 10), orvane.UnknownJoint, KNEE),
    (lambda r: r.read_servos(["knee"]), orvane.UnknownJoint, KNEE),
    (lambda r: r.set("elbow", 10), orvane.OutOfRange, "'elbow' is the joint's position"),
    (lambda r: r.move({"elbow": 10, 3: -5}, ms=100), orvane.OutOfRange, "servo 3 named twice"),
    (lambda r: r.move({"elbow": 10}), orvane.OutOfRange, "a move needs its length: ticks=N or ms=N"),
    (lambda r: r.move({"elbow": 10}, ticks=5, ms=5), orvane.OutOfRange, "ticks or in ms, not both"),
    (lambda r: r.move({"elbow": 10}, ms=0), orvane.OutOfRange, "move of 0 ms"),
])
def test_what_the_profile_refuses_moves_nothing(arm, call, error, text):
    before = host_view(arm)
    with pytest.raises(error, match=re.escape(text)):
        call(arm)
    assert host_view(arm) == before


def test_joint_names_take_joint_degrees_and_check_limits_false_is_the_way_past(arm):
    arm.torque(True, ["elbow", "wrist"])
    arm.move({"elbow": 45, "wrist": 10, 1: -20.5}, ms=200)  # wrist: trim 2.5
    arm.set("elbow.torque", 50)
    arm.wait_until_still([1, "elbow", "wrist"])
    assert words(arm, 0x0C02, 4) == [-205, 0, -450, 125]
    assert (arm.get("elbow.goal"), arm.get("wrist.goal"), arm.get("servo.elbow.torque")) == (45.0, 10.0, 50)
    arm.set("elbow.goal", 135)
    arm.move({"elbow": 150}, ticks=1, check_limits=False)
    arm.set("ip_target.3", 250, check_limits=False)
    assert (arm.get("servo.3.goal"), arm.get("ip_target.3")) == (-1500, 250)
    arm.profile = None  # without a profile, names are refused and raw goals go through
    with pytest.raises(orvane.UnknownJoint, match=re.escape("no servo 'elbow': servo ids are 1..32")):
        arm.move({"elbow": 10}, ms=100)
    arm.set("servo.3.goal", 200)
    assert arm.get("servo.3.goal") == 200


def test_no_servo_starts_to_hold_or_move_to_a_goal_beyond_its_limits(arm):
    arm.move({"elbow": 150}, ticks=1, check_limits=False)  # limp, so its goal beyond is harmless
    arm.set("ip_target.2", 1000, check_limits=False)        # shoulder (-90..90): 100 waits
    arm.wait_until_still(["elbow"])
    before = host_view(arm)
    elbow = ("elbow at 150 degrees (servo 3 at -150) is beyond its limits -10..135; with torque it "
             "would go there")
    for call, text in [
        (lambda: arm.torque(True, ["elbow"]), elbow),
        (lambda: arm.set("elbow.torque", 40), elbow),
        (lambda: arm.write(0x0C46, b"\x28\0"), elbow),  # the output of servo 3's torque channel
        (lambda: arm.set("ttime", 5), "shoulder at 100 degrees (servo 2 at 100) is beyond its "
                                      "limits -90..90; a trigger would move it there"),
    ]:
        with pytest.raises(orvane.BeyondLimits, match=re.escape(text)):
            call()
    assert host_view(arm) == before
    arm.move_channels({3: -1500, 2: 0}, 1)  # held where it is: always allowed
    arm.torque(True, ["elbow"], check_limits=False)
    assert (arm.get("servo.3.goal"), arm.get("elbow.torque")) == (-1500, 100)


@pytest.mark.parametrize("period,ms,ticks", [
    (16667, 500, 30), (5000, 500, 100), (20000, 10, 1), (0, 500, 30), (-40, 1000, 60),
    (1000000, 500, 30), (999999, 2000, 2),  # the daemon keeps its default for periods it ignores
])
def test_moves_in_ms_take_ticks_at_the_period_the_daemon_runs(arm, period, ms, ticks):
    arm.write(0x0040, period.to_bytes(4, "little", signed=True))  # set() refuses what is not 1..
    assert arm.ticks_for(ms) == ticks


def test_a_move_in_ms_lasts_its_ticks(arm):
    arm.set("tick_period", 5000)
    loops0 = arm.get("loop_count")
    arm.move({"elbow": 30}, ms=500)
    arm.wait_until_still(["elbow"])
    assert arm.get("loop_count") - loops0 >= 100 and arm.get("elbow.goal") == 30


# Groups and sv_pos words (servo 1 first) -> the reading of the servo asked about.
S, U = orvane.NO_READING, orvane.UNREAD


@pytest.mark.parametrize("groups,pos,sid,want,comm", [row + (True,) * (5 - len(row)) for row in [
    ([[1, 2]], [10, 20], 2, (orvane.VALID, None, None)),
    ([[1]], [10, 20], 2, (orvane.NO_GROUP, None, None)),           # an old value is no reading
    ([[1, 2]], [10, S], 2, (orvane.SILENT, 0, None)),
    ([[1, 2]], [S, 20], 2, (orvane.BEHIND, 0, 1)),                  # not asked: 20 is old
    ([[1, 2]], [10, U], 2, (orvane.NEVER_READ, 0, None)),
    ([[1, 2]], [U, U], 2, (orvane.NEVER_READ, 0, None)),
    ([[1], [3, 2]], [S, 20, S], 2, (orvane.BEHIND, 1, 3)),
    ([[1, 2], [2]], [S, 20], 2, (orvane.VALID, None, None)),         # asked in group 1
    ([[40, 2]], [10, 20], 2, (orvane.VALID, None, None)),            # id 40 has no word to tell
    ([[1, 2]], [10, 20], 2, (orvane.COMM_OFF, 0, None), False),      # sv_comm_on 0: nobody asks
]])
def test_a_position_is_a_reading_only_while_the_daemon_asks_for_it(groups, pos, sid, want, comm):
    groups, pos = groups + [[]] * (4 - len(groups)), pos + [S] * (32 - len(pos))
    assert orvane.reading_of(groups, pos, sid, comm) == want


def test_laying_out_groups_marks_added_servos_unread_until_the_daemon_asks(arm):
    arm.read_servos(["twist", 1])
    assert until(lambda: arm.position("twist") is not None)
    arm.read_servos([1])  # twist keeps its old word, which is no longer a reading
    assert arm.positions()[4] != orvane.NO_READING
    assert (arm.reading("twist"), arm.position(5), arm.pose()["twist"]) == ((orvane.NO_GROUP, None, None), None, None)
    assert arm.wait_until_reached(["twist", 1]) == ["twist"]
    arm.set("sv_comm_on", 0)  # the servo exchange stops: nobody asks
    assert arm.reading(1) == (orvane.COMM_OFF, 0, None) and arm.position(1) is None
    arm.read_servos([1, 5])
    assert arm.positions()[4] == orvane.UNREAD
    arm.set("sv_comm_on", 1)
    assert until(lambda: arm.reading(5)[0] != orvane.COMM_OFF)  # before the daemon asks it
    assert arm.reading(5)[0] in (orvane.NEVER_READ, orvane.VALID)
    assert until(lambda: arm.reading(5)[0] == orvane.VALID)


def motion(tmp_path, frames, name="m.yaml"):
    p = tmp_path / name
    p.write_text("keyframes:\n" + "".join(f"  - ticks: {t}\n    pose: {{{pose}}}\n" for t, pose in frames))
    return p


def test_play_goes_through_the_planner_and_its_refusals_move_nothing(arm, sim, tmp_path):
    arm.torque(True, ["elbow", "gripper"])
    r = arm.play(motion(tmp_path, [(10, "elbow: 30"), (12, "elbow: 45, gripper: 20")]))
    assert (r.moves, r.ticks, r.stopped) == (2, 22, False)
    assert words(arm, 0x0C06, 4) == [-450, 0, 0, 200]
    before = host_view(arm)
    bad = motion(tmp_path, [(10, "elbow: 150"), (10, "knee: 3")], "bad.yaml")
    with pytest.raises(orvane.MotionError) as e:
        arm.play(bad)
    assert e.value.problems == [
        f"{bad}:3: keyframes[1].pose.elbow: 150 degrees is outside the joint's limits -10..135",
        f"{bad}:5: keyframes[2].pose.knee: no such joint in {PROFILE}",
        f"{bad}: 2 problems; nothing was sent"]
    with pytest.raises(orvane.MotionError, match=r"keyframes\[1\]\.pose\.elbow: no such joint in .*orvane-profile-"):
        arm.play(bad, profile=orvane.parse_profile("joints: {hand: {id: 7}}\n"))
    assert host_view(arm) == before
    sim.stop()
    with pytest.raises(orvane.ConnectError, match="cannot reach robot at 127.0.0.1"):
        arm.play(motion(tmp_path, [(10, "elbow: 30")]))


@pytest.mark.parametrize("how", ["event", "ctrl-c"])
def test_play_stops_and_holds_the_servos(arm, tmp_path, how):
    slow = motion(tmp_path, [(250, "elbow: 100"), (250, "elbow: 0")])
    arm.torque(True, ["elbow"])
    moving = threading.Event()
    stop = threading.Event() if how == "event" else None
    watch = orvane.connect(arm.robot, timeout=TIMEOUT)

    def interrupt():
        moving.wait(TIMEOUT)  # then stop it while the elbow's channel is on its way
        if until(lambda: watch.get("ip_count.3") > 0):
            stop.set() if stop else os.kill(os.getpid(), signal.SIGINT)
    t = threading.Thread(target=interrupt)
    t.start()
    moving.set()
    try:
        if stop:
            r = arm.play(slow, stop=stop)
            assert r.stopped and r.moves == 1 and r.planned == 2
        else:
            with pytest.raises(KeyboardInterrupt):
                arm.play(slow)
    finally:
        t.join()
        watch.close()
    assert arm.get("ip_count.3") == 0
    assert -1000 < arm.get("servo.3.goal") < 0  # held on its way to -100.0 degrees


@pytest.mark.parametrize("line,moves,planned,late,skipped", [
    ("played w.yaml: 109 moves, 327 ticks planned, 327 passes", 109, 109, 0, 0),
    ("played w.yaml: 109 moves, 327 ticks planned, 327 passes (3 started late and shortened)", 109, 109, 3, 0),
    ("played w.yaml: 105 moves, 327 ticks planned, 328 passes (9 started late and shortened, 4 of them left out)",
     105, 109, 9, 4),
])
def test_the_tools_closing_line_is_read_with_the_moves_a_late_host_shortened(line, moves, planned, late, skipped):
    from orvane.play import _PLAYED
    got = [int(x or 0) for x in _PLAYED.match(line).groups()]
    assert got[0] == moves and got[0] + got[4] == planned and got[3:] == [late, skipped]
