"""What /proc says about a process (or a process and its descendants): resident memory, open
descriptors, threads and CPU time. Read by the sampler thread only."""

import os

_TICKS = os.sysconf("SC_CLK_TCK")


def _status(pid):
    rss = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, threads


def _cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        rest = f.read().rpartition(")")[2].split()
    return (int(rest[11]) + int(rest[12])) / _TICKS  # utime, stime


def children(pid):
    """Every descendant of pid (a browser's renderers and helpers)."""
    kids = {}
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open(f"/proc/{d}/stat") as f:
                ppid = int(f.read().rpartition(")")[2].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        kids.setdefault(ppid, []).append(int(d))
    out, todo = [], [pid]
    while todo:
        for k in kids.get(todo.pop(), []):
            out.append(k)
            todo.append(k)
    return out


def sample(pids):
    """(rss KiB, fds, threads, cpu seconds) summed over pids; None if the first has gone."""
    total = [0, 0, 0, 0.0]
    for i, pid in enumerate(pids):
        try:
            rss, threads = _status(pid)
            fds = len(os.listdir(f"/proc/{pid}/fd"))
            cpu = _cpu_s(pid)
        except (OSError, ValueError, IndexError):
            if i == 0:
                return None
            continue  # a helper that ended between the listing and the reading
        total[0] += rss
        total[1] += fds
        total[2] += threads
        total[3] += cpu
    return tuple(total)
