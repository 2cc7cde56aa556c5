#!/usr/bin/python3
"""GNOME Files showing a folder of 1k, 10k and 50k items until every item has its emblem, and
until the items in view have theirs, against the same folder with the module but no extension
(GNOME Files' own cost of loading the folder and asking a module about every item, answered at
once).

Each run starts a fresh GNOME Files with libvrk-nautilus in a private session
(Tools/nautilus/headless.py; needs root), waits until it is up (and, with the extension, until
the extension is ready), then opens the folder and takes the time until the module's trace
(VRK_NAUTILUS_TRACE) says: every item answered (baseline), or every item shows an emblem (the
demo sync client badges every item; its answers come through the library and the extension).
The items in view are the cells on the screen once it is done; their time is that of the last of
them answered (with its emblem).

    VRK_BUILD_DIR=BUILD bench/nautilus_bench.py [--runs N] [--sizes 1000,10000,50000] [--keep]

Prints min and median of the runs per size and their ratio to the baseline. Exit status 77 when
GNOME Files cannot run here.
"""

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "Tools" / "nautilus"))
import headless  # noqa: E402
from fm_trace import traced, wait_until_idle  # noqa: E402



def run_limit(count):
    """Seconds one run may take before the benchmark gives up."""
    return 60 + count / 50


def last_trace(path):
    """(event, answers, emblemed) of the trace's last line, or None."""
    try:
        with open(path, "rb") as trace:
            trace.seek(0, os.SEEK_END)
            trace.seek(max(0, trace.tell() - 200))
            lines = trace.read().decode().splitlines()
    except OSError:
        return None
    for line in reversed(lines):
        fields = line.split(maxsplit=5)
        if len(fields) >= 4:
            return fields[1], int(fields[2]), int(fields[3])
    return None


def in_view_done(path, folder, names, with_extension):
    """The monotonic time at which the last of the items `names` was answered (with an emblem,
    when `with_extension`), or None when one of them never was."""
    wanted = {str(folder / name) for name in names}
    last = 0
    with open(path) as trace:
        for line in trace:
            fields = line.rstrip("\n").split(" ", 5)
            if len(fields) < 6 or fields[1] != "answer" or fields[5] not in wanted:
                continue
            if with_extension and fields[4] != "1":
                continue
            wanted.discard(fields[5])
            last = int(fields[0])
    return None if wanted else last / 1e9


def live_changes(client, trace, path, changes=10):
    """Seconds from the client's change of an item's badge until GNOME Files has been answered
    with the new emblem, one change at a time."""
    seconds = []
    for i in range(changes):
        status = "syncing" if i % 2 == 0 else "synced"
        offset = os.path.getsize(trace)
        started = time.monotonic()
        client.stdin.write(json.dumps(["status", str(path), status]) + "\n")
        client.stdin.flush()

        def answered():
            with open(trace) as lines:
                lines.seek(offset)
                for line in lines:
                    fields = line.rstrip("\n").split(" ", 5)
                    if len(fields) == 6 and fields[1] == "answer" and fields[5] == str(path) \
                            and fields[4] == "1":
                        return int(fields[0]) / 1e9
            return None

        at = headless.wait_for(answered, 10, 0.005)
        if at is None:
            raise AssertionError(f"the change of {path} was never shown")
        seconds.append(at - started)
        time.sleep(0.3)  # alone: GNOME Files' view is quiet again before the next one
    return seconds


def one_run(build, folder, count, with_extension, workdir, index, changes=False):
    trace = workdir / f"trace-{count}-{int(with_extension)}-{index}"
    env = dict(os.environ, VRK_NAUTILUS_TRACE=str(trace))
    client = None
    if with_extension:
        env["VRK_NAUTILUS_EXTENSION"] = str(
            build / "Sync.app/Contents/PlugIns/VRKFinderSyncExtension.appex")
        client = headless.start_sync_client(build, folder, env, workdir / "client.log")
    else:
        env["VRK_NAUTILUS_EXTENSION"] = str(workdir / "no-such.appex")
    fm = headless.FileManager(workdir / "nautilus.log", env=env)
    try:
        fm.wait_started()
        if with_extension and not headless.wait_for(lambda: traced(trace, "ready"), 60, 0.05):
            raise AssertionError("the extension did not get ready")
        wait_until_idle(fm.proc.pid)
        started = time.monotonic()
        fm.show(folder)

        def done():
            state = last_trace(trace)
            if state is None:
                return False
            return (state[2] if with_extension else state[1]) >= count

        if not headless.wait_for(done, run_limit(count), 0.01):
            raise AssertionError(f"not done within {run_limit(count)} s: {last_trace(trace)}")
        total = time.monotonic() - started
        # The items in view: of the cells the view made, those on the screen.
        names = headless.wait_for(lambda: fm.visible_cells(), 30)
        view = in_view_done(trace, folder, names or [], with_extension)
        if view is None:
            raise AssertionError("an item in view was never answered")
        live = live_changes(client, trace, folder / sorted(names)[0]) if changes else []
        return total, view - started, len(names), live
    finally:
        fm.quit()
        if client is not None:
            headless.stop_sync_client(client)


def inside(build, workdir, sizes, runs):
    results = {}
    for count in sizes:
        folder = workdir / "home" / f"Folder {count}"
        folder.mkdir(parents=True, exist_ok=True)
        for i in range(count):
            (folder / f"item {i:05d}.txt").touch()
        for with_extension in (False, True):
            rows = [one_run(build, folder, count, with_extension, workdir, i,
                            changes=with_extension and count == sizes[0])
                    for i in range(runs)]
            times = [row[0] for row in rows]
            results[f"{count} {'module' if with_extension else 'baseline'}"] = times
            print(json.dumps({"count": count, "extension": with_extension, "seconds": times,
                              "view_seconds": [row[1] for row in rows],
                              "in_view": rows[0][2],
                              "changes": [s for row in rows for s in row[3]]}), flush=True)
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="1000,10000,50000")
    parser.add_argument("--inside", nargs=2, metavar=("BUILD", "WORKDIR"))
    parser.add_argument("--keep", action="store_true", help="keep the traces and logs")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.inside:
        inside(pathlib.Path(args.inside[0]), pathlib.Path(args.inside[1]), sizes, args.runs)
        return 0

    build = pathlib.Path(os.environ.get("VRK_BUILD_DIR", SOURCE / "build")).resolve()
    reason = headless.missing(build)
    if reason:
        print(f"nautilus_bench: skipped: {reason}")
        return 77
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="vrk.", dir="/tmp"))
    try:
        base = {k: v for k, v in os.environ.items() if k != "VRK_MACOS_VERSION"}
        base["VRK_ROOT"] = str(workdir)
        env = headless.session_env(base, workdir / "session", build)
        argv = headless.isolated(build, workdir / "session",
                                 [headless.PYTHON, str(pathlib.Path(__file__).resolve()),
                                  "--runs", str(args.runs), "--sizes", args.sizes,
                                  "--inside", str(build), str(workdir)])
        run = subprocess.run(argv, env=env, capture_output=True, text=True)
        rows = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
        if run.returncode != 0 or len(rows) != 2 * len(sizes):
            print(run.stderr[-4000:], file=sys.stderr)
            return 1
        print(f"{'GNOME Files, folder shown until':<48}{'min s':>9}{'median s':>10}{'x base':>8}")
        for count in sizes:
            base_row = next(r for r in rows if r["count"] == count and not r["extension"])
            for key, what_all in (("seconds", "items"), ("view_seconds", "in view")):
                base_median = statistics.median(base_row[key])
                for row in (r for r in rows if r["count"] == count):
                    n = count if key == "seconds" else row["in_view"]
                    what = (f"{count}: {n} {what_all} have emblems (module)" if row["extension"]
                            else f"{count}: {n} {what_all} answered (baseline)")
                    median = statistics.median(row[key])
                    print(f"{what:<48}{min(row[key]):>9.3f}{median:>10.3f}"
                          f"{median / base_median:>8.2f}")
            for row in (r for r in rows if r["count"] == count and r["changes"]):
                changes = sorted(row["changes"])
                print(f"{count}: a badge changed alone, until answered (p50 / p90 over "
                      f"{len(changes)}): {statistics.median(changes):.3f} / "
                      f"{changes[int(len(changes) * 0.9) - 1]:.3f} s")
        return 0
    finally:
        if args.keep:
            print(f"kept in {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
