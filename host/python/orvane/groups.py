"""The read groups: which servos' present positions the daemon asks for, one group per tick.

Pure helpers on the 64 bytes of rd_group.0..3, the same as the C++ library's; Client.groups(),
read_servos() and reading() use them.
"""

from .errors import OutOfRange
from .fields import NO_READING

GROUP_COUNT, GROUP_ROOM = 4, 14
_QUERY_US, _BYTE_US = 1750, 87  # a position query's line time; one byte at 115200 baud

VALID, NO_GROUP, SILENT, BEHIND = "valid", "no_group", "silent", "behind"
NEVER_READ, COMM_OFF = "never_read", "comm_off"
UNREAD = 0x7FFF  # put by hosts into the word of a servo they add to a group; no servo reads 3276.7


def groups_decode(b):
    """The ids each group polls, as four lists; a group not polled (enable byte not exactly 1,
    or count 0) is empty. Counts above 14 count as 14, as the servo exchange takes them."""
    if len(b) != 64:
        raise OutOfRange(f"read groups are 64 bytes, not {len(b)}")
    return [list(b[16 * g + 2:16 * g + 2 + min(b[16 * g + 1], GROUP_ROOM)]) if b[16 * g] == 1 else []
            for g in range(GROUP_COUNT)]


def groups_encode(groups):
    """The 64 bytes of four lists of ids (fewer lists: the rest not polled)."""
    if len(groups) > GROUP_COUNT:
        raise OutOfRange(f"there are {GROUP_COUNT} read groups, not {len(groups)}")
    out = bytearray(64)
    for g, ids in enumerate(groups):
        if len(ids) > GROUP_ROOM:
            raise OutOfRange(f"read group {g} holds at most 14 servos, not {len(ids)}")
        if any(not isinstance(i, int) or not 0 <= i <= 255 for i in ids):
            raise OutOfRange(f"read group {g}: servo ids are 0..255")
        if ids:
            out[16 * g:16 * g + 2 + len(ids)] = bytes([1, len(ids), *ids])
    return bytes(out)


def groups_layout(ids, room):
    """ids spread over as few groups as `room` per group allows (four at most), balanced."""
    ids = list(dict.fromkeys(ids))
    if len(ids) > GROUP_COUNT * GROUP_ROOM:
        raise OutOfRange(f"{len(ids)} servos do not fit the read groups (56 at most)")
    room = max(1, min(GROUP_ROOM, room))
    n = len(ids)
    count = max(1, min(GROUP_COUNT, -(-n // room)))
    groups, at = [[] for _ in range(GROUP_COUNT)], 0
    for g in range(count):
        take = n // count + (1 if g < n % count else 0)
        groups[g], at = ids[at:at + take], at + take
    return groups


def groups_room(tick_us, write_count):
    """Servos per group that keep a cycle within one tick, 1..14."""
    budget = tick_us * 8 // 10 - (16 + 6 * write_count) * _BYTE_US
    return max(1, min(GROUP_ROOM, budget // _QUERY_US))


def reading_of(groups, pos, sid, comm_on=True):
    """Whether servo sid's position is current, from the groups, the 32 sv_pos words (servo 1
    first) and sv_comm_on: (state, group, blocker). A word is a reading only while the daemon
    asks the servo: VALID (in a polled group, and its last answer is in the word); NO_GROUP (in
    no polled group: whatever the word holds is old); SILENT (asked, no answer: 0x8000); BEHIND
    (after a servo of its group that did not answer, so not asked: its word is old whatever it
    holds); NEVER_READ (its group has not come to it since it was added: 0x7FFF, which hosts
    that lay out groups put into the word of each servo they add, and the daemon replaces when
    it asks); COMM_OFF (sv_comm_on is 0: the daemon asks no servo at all)."""
    def word(i):
        return pos[i - 1] if 1 <= i <= len(pos) else NO_READING
    found = None
    for g, ids in enumerate(groups):
        if sid not in ids:
            continue
        # The daemon asks a group's servos in turn and stops at the first that does not
        # answer; ids 1..32 show that as 0x8000. The first group that asks the servo decides.
        ahead = ids[:ids.index(sid)]
        blocker = next((i for i in ahead if 1 <= i <= 32 and word(i) == NO_READING), None)
        if not comm_on:
            state = (COMM_OFF, g, None)
        elif blocker is not None:
            state = (BEHIND, g, blocker)
        elif word(sid) == NO_READING:
            state = (SILENT, g, None)
        elif word(sid) == UNREAD:
            state = (NEVER_READ, g, None)
        else:
            return (VALID, None, None)
        if found is None or (found[0] == BEHIND and state[0] != BEHIND):
            found = state
    return found or (NO_GROUP, None, None)


def reading_why(reading):
    """ "in no read group", "in read group 0 but silent", ...; "" for a valid reading."""
    state, g, blocker = reading
    return {VALID: "", NO_GROUP: "in no read group", SILENT: f"in read group {g} but silent",
            BEHIND: f"in read group {g} behind silent servo {blocker}",
            NEVER_READ: f"in read group {g}, not read yet",
            COMM_OFF: "servo traffic is off (sv_comm_on 0)"}[state]
