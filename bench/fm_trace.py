"""What the file-manager benchmarks read from a front end's trace file."""


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
