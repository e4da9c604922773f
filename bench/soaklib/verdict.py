"""The soak's judgement: pure functions from the recorded samples to verdicts and the Markdown
summary. No I/O, so the thresholds can be tested on made-up series."""

LOOP_HZ = 60.0
LOOP_TOLERANCE = 0.01  # a minute's passes within 1 % of 60 per second


def slope(points):
    """Least-squares slope of (x, y) points; 0 for fewer than two distinct x."""
    n = len(points)
    if n < 2:
        return 0.0
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    if sxx == 0:
        return 0.0
    return sum((x - mx) * (y - my) for x, y in points) / sxx


def level_slope(points, windows=8):
    """Slope of the median of each of `windows` equal spans of time: a leak lifts every span,
    while a connection that comes and goes, or a broker that is down for a few seconds, moves
    only a few samples of one."""
    if len(points) < 2:
        return 0.0
    t0, t1 = points[0][0], points[-1][0]
    span = (t1 - t0) / windows or 1.0
    spans = {}
    for t, y in points:
        spans.setdefault(min(int((t - t0) / span), windows - 1), []).append(y)
    return slope([(t0 + (k + 0.5) * span, sorted(ys)[len(ys) // 2]) for k, ys in sorted(spans.items())])


TREND_MIN_S = 600  # a shorter last half shows only noise; such runs judge the end level alone


def bounds(base_rss_kib, sanitized):
    """How far a process's resident memory (KiB) and descriptors may end above their level
    after warm-up. Allocators keep some freed memory; the address sanitizer's quarantine (16 MiB,
    set by the soak) fills over the first minutes and its shadow memory follows, so a sanitized
    run leaves leaks to LeakSanitizer's report at exit and looks here for gross growth only."""
    if sanitized:
        return 32768 + base_rss_kib * 0.10, 4
    return 2048 + base_rss_kib * 0.05, 2


def slope_limit(bound, half_s):
    """Largest slope (per second) allowed over the last half: the trend carried on for as long
    again may climb at most half the bound."""
    return bound / 2 / max(half_s, 1.0)


def minutes(loops, t0, t_end, excluded):
    """Passes per second in each whole minute from t0 to t_end, from (time, loop_count) samples;
    a minute overlapping an excluded (start, end) window is marked. Returns a list of
    (minute index, passes, rate, excluded)."""
    out = []
    m = 0
    while t0 + 60 * (m + 1) <= t_end + 0.5:
        a, b = t0 + 60 * m, t0 + 60 * (m + 1)
        pa = _nearest(loops, a)
        pb = _nearest(loops, b)
        if pa and pb and pb[0] > pa[0]:
            passes = (pb[1] - pa[1]) % (1 << 32)
            rate = passes / (pb[0] - pa[0])
            ex = any(s < pb[0] and e > pa[0] for s, e in excluded)
            out.append((m, passes, rate, ex))
        m += 1
    return out


def _nearest(points, t):
    best = None
    for p in points:
        if best is None or abs(p[0] - t) < abs(best[0] - t):
            best = p
    if best is None or abs(best[0] - t) > 5.0:
        return None
    return best


def judge(procs, mins, tally, half_s, sanitized):
    """procs: name -> dict(base=(rss, fds, threads), final=(...), half=[(t, rss, fds)],
    judged=bool, exit_ok=bool, reports=int). Returns a list of (ok, verdict text)."""
    out = []
    for name, p in procs.items():
        if not p.get("judged", True):
            continue
        if p["base"] is None or p["final"] is None:
            out.append((False, f"{name}: not sampled at warm-up and end (it ended early?)"))
            continue
        (brss, bfd, bth), (frss, ffd, fth) = p["base"], p["final"]
        rss_b, fd_b = bounds(brss, sanitized)
        rs = level_slope([(t, r) for t, r, _ in p["half"]])
        fs = level_slope([(t, f) for t, _, f in p["half"]])
        out.append((frss <= brss + rss_b,
                    f"{name}: resident memory {brss / 1024:.1f} -> {frss / 1024:.1f} MiB "
                    f"(bound +{rss_b / 1024:.1f} MiB)"))
        trend = half_s >= TREND_MIN_S
        note = "" if trend else ", not judged: last half under 10 min"
        lim = slope_limit(rss_b, half_s)
        out.append((rs <= lim or not trend, f"{name}: memory trend over the last half {rs * 3600 / 1024:+.2f} MiB/h "
                                            f"(limit {lim * 3600 / 1024:.2f} MiB/h{note})"))
        out.append((ffd <= bfd + fd_b, f"{name}: descriptors {bfd} -> {ffd} (bound +{fd_b})"))
        lim = slope_limit(fd_b, half_s)
        out.append((fs <= lim or not trend, f"{name}: descriptor trend over the last half {fs * 3600:+.2f}/h "
                                            f"(limit {lim * 3600:.2f}/h{note})"))
        # Fewer than at the base is no leak: a connection's thread that lived then has ended.
        out.append((fth <= bth, f"{name}: threads {bth} -> {fth} (back to base or below)"))
        out.append((p.get("exit_ok", False), f"{name}: ran to the end and exited cleanly"))
        out.append((p.get("reports", 0) == 0, f"{name}: sanitizer or crash reports: {p.get('reports', 0)}"))
    judged = [m for m in mins if not m[3]]
    bad = [m for m in judged if abs(m[2] - LOOP_HZ) > LOOP_HZ * LOOP_TOLERANCE]
    worst = max((abs(m[2] - LOOP_HZ) for m in judged), default=0.0)
    if judged:
        out.append((not bad, f"loop rate: {len(judged)} minutes judged, {len(bad)} off by more than 1 % "
                             f"(worst {worst / LOOP_HZ * 100:.2f} %)"))
    else:
        out.append((False, "loop rate: no whole minute after warm-up without a tick change; run longer"))
    for key, what in (("crashed", "processes that ended during the run"), ("malformed", "malformed answers"), ("lost_write", "lost writes"),
                      ("host_failed", "hosts not served"), ("checker_failed", "checker connection failures"),
                      ("play_failed", "motion plays that failed"), ("page_failed", "page checks that failed"),
                      ("bridge_failed", "bridge not back after a broker restart")):
        n = tally.get(key, 0)
        out.append((n == 0, f"{what}: {n}"))
    return out


def markdown(rows, procs, mins, tally, header):
    """The summary as Markdown, ready to paste into the docs."""
    lines = [header, "", "| process | RSS base → end (MiB) | trend (MiB/h) | fds base → end | threads base → end | CPU mean (%) |",
             "|---|---|---|---|---|---|"]
    for name, p in procs.items():
        if p["base"] is None or p["final"] is None:
            lines.append(f"| {name} | – | – | – | – | – |")
            continue
        rs = level_slope([(t, r) for t, r, _ in p["half"]])
        lines.append(f"| {name}{'' if p.get('judged', True) else ' (recorded only)'} | "
                     f"{p['base'][0] / 1024:.1f} → {p['final'][0] / 1024:.1f} | {rs * 3600 / 1024:+.2f} | "
                     f"{p['base'][1]} → {p['final'][1]} | {p['base'][2]} → {p['final'][2]} | {p.get('cpu', 0.0):.1f} |")
    judged = [m for m in mins if not m[3]]
    if judged:
        rates = [m[2] for m in judged]
        lines += ["", f"Loop rate over {len(judged)} judged minutes: {min(rates):.3f} to {max(rates):.3f} "
                      f"passes/s ({len(mins) - len(judged)} minutes with a tick change left out)."]
    counts = ", ".join(f"{k} {v}" for k, v in sorted(tally.items()))
    lines += ["", f"Counts: {counts}.", "", "| verdict | |", "|---|---|"]
    lines += [f"| {text} | {'pass' if ok else '**FAIL**'} |" for ok, text in rows]
    return "\n".join(lines) + "\n"
