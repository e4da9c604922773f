"""orvane.plot on recordings as orvane-ctl record writes them, and on files that are not."""

import os

import pytest

pytest.importorskip("matplotlib")

from orvane import plot  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
HEAD = "time_s,loop_count,gap,servo.1.goal,sv_pos.1,sw_in.0\n"


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return p


def test_recording_with_gaps_and_missing_readings_becomes_a_png(tmp_path):
    rows = [HEAD]
    count, t = 100, 0.0
    for i in range(60):
        gap = 3 if i == 20 else 0
        count += 1 + gap
        t += (1 + gap) / 60
        pos = "" if i == 30 else f"{i * 0.9:.1f}"  # no reading: an empty cell
        rows.append(f"{t:.4f},{count},{gap},{i:.1f},{pos},{int(i > 40)}\n")
    csv = write(tmp_path, "rec.csv", "".join(rows))
    cols = plot.read_recording(str(csv))
    assert len(cols["time_s"]) == 60
    assert plot.servo_ids(cols) == [1]
    assert plot.gap_spans(cols) == [(cols["time_s"][19], cols["time_s"][20])]
    assert plot.main([str(csv)]) == 0  # the image is named after the CSV
    assert (tmp_path / "rec.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("text,says", [
    ("a,b,c\n1,2,3\n", "not a recording"),
    (HEAD + "0.1,5,0,1.0,1.0\n", "bad.csv:2: 5 cells, the header has 6"),
    (HEAD + "0.1,5,0,x,1.0,0\n", "bad.csv:2: not a number"),
    ("time_s,loop_count,gap\n0.1,5,0\n", "nothing to plot"),
])
def test_files_that_are_not_recordings_are_refused_in_one_line(tmp_path, capsys, text, says):
    csv = write(tmp_path, "bad.csv", text)
    assert plot.main([str(csv), "-o", str(tmp_path / "out.png")]) == 1
    err = capsys.readouterr().err
    assert says in err and err.count("\n") == 1
    assert not (tmp_path / "out.png").exists()


def test_motion_file_becomes_a_plot_of_its_planned_curve(tmp_path):
    """orvane-ctl plans it without a robot; every joint gets its curve, goals, keyframes, limits."""
    ctl = os.environ.get("ORVANE_CTL", os.path.join(ROOT, "build", "host", "ctl", "orvane-ctl"))
    if not os.access(ctl, os.X_OK):
        pytest.skip("orvane-ctl is not built")
    os.environ["ORVANE_CTL"] = ctl
    prof = write(tmp_path, "robot.yaml", "joints:\n  a: {id: 1, min: -10, max: 50}\n  b: {id: 3, reverse: true}\n")
    mo = write(tmp_path, "m.yaml", "ease: spline\nkeyframes:\n  - ticks: 30\n    pose: {a: 40, b: 10}\n"
                                   "  - ticks: 12\n    ease: smooth\n    pose: {a: -5}\n")
    plan = plot.plan_of_motion(str(mo), str(prof))
    assert plan["joints"] == [("a", 1, -10.0, 50.0), ("b", 3, -150.0, 150.0)]
    assert [(n, t, e) for n, _, t, e in plan["keyframes"]] == [(1, 30, "spline"), (2, 42, "smooth")]
    cols = plan["cols"]
    assert cols["tick"][-1] == 42 and cols["a.curve"][30] == 40 and cols["a.goal"][42] == -5
    assert plot.main([str(mo), "-p", str(prof)]) == 0
    assert (tmp_path / "m.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_position_without_readings_says_why_in_its_legend(tmp_path):
    why = "servo 2 is not in a read group, so nobody asks it ('orvane-ctl read 2' puts it in one)"
    text = ("time_s,loop_count,gap,servo.1.goal,sv_pos.1,servo.2.goal,sv_pos.2\n"
            "0.0,1,0,0.0,1.0,0.0,\n0.1,2,0,0.0,,0.0,\n"
            f"# sv_pos.2: no reading in 2 of 2 rows: {why}\n"
            "# sv_pos.1: no reading in 1 of 2 rows\n")
    csv = write(tmp_path, "rec.csv", text)
    notes = plot.no_reading_notes(str(csv))
    cols = plot.read_recording(str(csv))
    assert [plot.position_label(i, cols[f"sv_pos.{i}"], notes) for i in (1, 2)] == [
        "position: no reading in 1 of 2 rows",
        "position: no reading in 2 of 2 rows: servo 2 is not in a read group, so nobody asks it",
    ]
    assert plot.position_label(3, [float("nan")]) == "position: no reading"
    assert plot.main([str(csv)]) == 0


def drawn(fig):
    fig.canvas.draw()
    return fig.canvas.get_renderer()


def test_keys_sit_above_the_data_and_axes_are_readable(tmp_path):
    """Each key lies above its panel (it hides no last keyframe or reading), the interpolator's
    goals are drawn over the planned curve, a servo that held still gets at least 2 degrees of
    axis, and a recording made with a profile names its joints."""
    plan = plot.read_plan("# joint,elbow,3,-10,135,0,1\n# keyframe,1,2,2,smooth\ntick,time_s,elbow.curve,elbow.goal\n"
                          "0,0,0,0\n1,0.0167,5,4\n2,0.0333,40,40\n", "p.csv")
    rec = write(tmp_path, "rec.csv", "time_s,loop_count,gap,servo.3.goal,sv_pos.3,sv_pos.4,sw_in.0,sw_in.1\n"
                "0.0,1,0,12.0,12.0,-3.0,0,1\n0.1,2,0,12.0,12.0,-3.0,1,1\n"
                "# joint,elbow,3,-10,135,0,1\n")
    cases = [
        (plot.plan_figure(plan), [("elbow (servo 3)", None)]),
        (plot.recording_figure(plot.read_recording(str(rec)), names=plot.joint_names(str(rec))),
         [("elbow (servo 3)", (11.0, 13.0)), ("servo 4", (-4.0, -2.0)), ("switch", None)]),
    ]
    for fig, panels in cases:
        r = drawn(fig)
        for ax, (label, ylim) in zip(fig.axes, panels):
            assert ax.get_ylabel().startswith(label)
            if ylim:
                assert ax.get_ylim() == pytest.approx(ylim)
        first = fig.axes[0]
        assert first.get_legend().get_window_extent(r).y0 >= first.get_window_extent(r).y1 - 1
        plot.pyplot().close(fig)
    goal, curve = (next(ln for ln in cases[0][0].axes[0].lines if ln.get_label() == n)
                   for n in ("goal (interpolator)", "planned curve"))
    assert goal.get_zorder() > curve.get_zorder()
    switches = cases[1][0].axes[2].get_legend()
    assert [t.get_text() for t in switches.get_texts()] == ["switch 0 (raised: closed)", "switch 1"]
