"""Reads the MCAP recordings that ``orvane-ctl record FILE.mcap`` writes: JSON messages on the
channels of orvane-web's Foxglove endpoint, record by record, so that a file cut short by a crash
gives every whole record before the cut. A reader for our own files only (no chunks, no
compression); other MCAP files want a library made for them. Standard library only."""

import json
import math
import struct

MAGIC = b"\x89MCAP0\r\n"
SCHEMA, CHANNEL, MESSAGE, FOOTER = 0x03, 0x04, 0x05, 0x02
MAX_MESSAGE = 1 << 20  # a recording's messages are a few KiB


class McapError(Exception):
    """A file that is no MCAP recording of ours, with the reason."""


def _string(body, at):
    (n,) = struct.unpack_from("<I", body, at)
    return body[at + 4:at + 4 + n].decode("utf-8", "replace"), at + 4 + n


def read(path):
    """(channels {id: (topic, schema name)}, messages [(channel id, log time ns, bytes)],
    complete): every whole record; `complete` is False for a file cut short."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise McapError(f"cannot read {path}: {e.strerror}") from e
    if not data.startswith(MAGIC):
        raise McapError(f"{path}: not an MCAP file")
    schemas, channels, messages = {}, {}, []
    at = len(MAGIC)
    while at + 9 <= len(data):
        op, n = struct.unpack_from("<BQ", data, at)
        if at + 9 + n > len(data):
            break  # cut short inside this record
        body = data[at + 9:at + 9 + n]
        at += 9 + n
        try:
            if op == SCHEMA:
                (sid,) = struct.unpack_from("<H", body, 0)
                schemas[sid], _ = _string(body, 2)
            elif op == CHANNEL:
                cid, sid = struct.unpack_from("<HH", body, 0)
                topic, _ = _string(body, 4)
                channels[cid] = (topic, schemas.get(sid, ""))
            elif op == MESSAGE:
                cid, _, log_time = struct.unpack_from("<HIQ", body, 0)
                messages.append((cid, log_time, body[22:]))
            elif op == FOOTER:
                return channels, messages, data[at:] == MAGIC
        except struct.error:
            break  # a malformed record ends what can be read
    return channels, messages, False


def _json(raw):
    if len(raw) > MAX_MESSAGE:
        return None
    try:
        v = json.loads(raw)
    except (ValueError, RecursionError):
        return None
    return v if isinstance(v, dict) else None


def recording(path):
    """The columns of a recording as ``orvane.plot`` reads a CSV one: {name: [values]} with
    time_s, loop_count, gap, servo.N.goal and sv_pos.N in the servo's degrees (NaN without a
    current reading), sw_in.N; and {servo id: why it has no reading} for the legend."""
    channels, messages, _ = read(path)
    topic = {cid: t for cid, (t, _) in channels.items()}
    rows, switches, lacking = [], None, {}
    for cid, t, raw in messages:
        if topic.get(cid) == "/switches":
            m = _json(raw)
            if m and isinstance(m.get("closed"), list) and len(m["closed"]) == 5:
                switches = [1.0 if v is True else 0.0 for v in m["closed"]]
                if rows and rows[-1][0] == t:
                    rows[-1][3] = switches
        elif topic.get(cid) == "/joint_states":
            m = _json(raw)
            if not m or not isinstance(m.get("joints"), list) or not isinstance(m.get("loop_count"), int):
                continue
            servos = {}
            for j in m["joints"]:
                if not isinstance(j, dict) or not isinstance(j.get("servo"), int):
                    continue
                pos = j.get("servo_position")
                if not isinstance(pos, (int, float)):
                    pos = math.nan
                    why = j.get("why") if isinstance(j.get("why"), str) else ""
                    n, _ = lacking.get(j["servo"], (0, why))
                    lacking[j["servo"]] = (n + 1, why)
                goal = j.get("servo_goal")
                servos[j["servo"]] = (goal if isinstance(goal, (int, float)) else math.nan, pos)
            rows.append([t, m["loop_count"], servos, switches])
    if not rows:
        raise McapError(f"{path}: no /joint_states messages: not a recording of orvane-ctl record")
    ids = sorted({i for r in rows for i in r[2]})
    cols = {"time_s": [], "loop_count": [], "gap": []}
    for i in ids:
        cols[f"servo.{i}.goal"], cols[f"sv_pos.{i}"] = [], []
    if any(r[3] for r in rows):
        for k in range(5):
            cols[f"sw_in.{k}"] = []
    for n, (t, count, servos, sw) in enumerate(rows):
        cols["time_s"].append((t - rows[0][0]) / 1e9)
        cols["loop_count"].append(float(count))
        cols["gap"].append(0.0 if n == 0 else float((count - rows[n - 1][1] - 1) % (1 << 32)))
        for i in ids:
            goal, pos = servos.get(i, (math.nan, math.nan))
            cols[f"servo.{i}.goal"].append(goal)
            cols[f"sv_pos.{i}"].append(pos)
        if "sw_in.0" in cols:
            for k in range(5):
                cols[f"sw_in.{k}"].append(sw[k] if sw else 0.0)
    notes = {i: f"no reading in {n} of {len(rows)} rows" + (f": {why}" if why else "")
             for i, (n, why) in lacking.items()}
    return cols, notes
