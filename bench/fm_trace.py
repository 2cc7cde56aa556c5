"""What the file-manager benchmarks read from a front end's trace file, and how they wait for a
file manager to settle."""

import os
import statistics
import time


def answers(trace):
    """[(seconds, path, emblem)] of the trace's answers so far."""
    rows = []
    try:
        with open(trace) as lines:
            for line in lines:
                fields = line.rstrip("\n").split(" ", 5)
                if len(fields) == 6 and fields[1] == "answer":
                    rows.append((int(fields[0]) / 1e9, fields[5], fields[4] == "1"))
    except OSError:
        pass
    return rows


def traced(path, event):
    """Whether the trace has a line of the event."""
    try:
        return any(line.split()[1:2] == [event] for line in open(path))
    except OSError:
        return False


# Seconds without a new question: the file manager has asked all it will.
QUIET = 1.5


def settle_check(trace, folder, with_extension):
    """A check for wait_for: None until the file manager has stopped asking about the folder's
    items and every item asked about has its answer (with its emblem, with an extension), then
    (first, rows): the time of each item's first such answer and all the folder's answers."""
    inside = str(folder) + "/"
    last_new = [time.monotonic()]
    seen = [0]

    def settled():
        rows = [r for r in answers(trace) if r[1].startswith(inside)]
        asked = {r[1] for r in rows}
        if len(asked) != seen[0]:
            seen[0] = len(asked)
            last_new[0] = time.monotonic()
        if not asked or time.monotonic() - last_new[0] < QUIET:
            return None
        first = {}
        for at, path, emblem in rows:
            if emblem or not with_extension:
                first.setdefault(path, at)
        return (first, rows) if len(first) == len(asked) else None

    return settled


def print_table(title, row, keys):
    """The benchmark's table: min and median seconds of each kind of run, and its median against
    the baseline's (row["baseline"])."""
    base_median = statistics.median(row["baseline"])
    print(f"{title}{'':<4}{'min s':>9}{'median s':>10}{'x base':>8}")
    for key in keys:
        median = statistics.median(row[key])
        print(f"  {key:<50}{min(row[key]):>9.3f}{median:>10.3f}{median / base_median:>8.2f}")


def wait_until_idle(pid, limit=5.0, window=0.2, busy=0.1):
    """Waits, at most `limit` seconds, until the process used less than `busy` of a core over
    `window` seconds: a file manager is still starting up a while after its window shows, and a
    run that opens a folder meanwhile measures that work too."""
    def cpu_seconds():
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    end = time.monotonic() + limit
    try:
        while time.monotonic() < end:
            before = cpu_seconds()
            time.sleep(window)
            if cpu_seconds() - before < busy * window:
                return
    except OSError:
        return
