#!/usr/bin/python3
"""Dolphin showing a folder of 10k items until the items it asks about all carry their overlays,
against Dolphin with the plug-ins answering nothing (no extension); and how many times Dolphin
asks the overlay plug-in about one item.

Dolphin asks only about the items in view and a little beyond. Each run starts a fresh Dolphin
with our plug-ins as a plain user in a private session (Tools/dolphin/headless_dolphin.py; needs
root to change user) on an empty folder, waits until it is up (and, with the extension, until the
extension is ready) and has stopped working, then opens the folder in a new tab of it through
its D-Bus interface. The core's trace (VRK_DOLPHIN_TRACE) has one line per getOverlays call and
tells, once Dolphin has asked about no new item for a while, which items it asked about: the
baseline's time is when it first asked about the last of them, the plug-ins' when the last of them
was answered with its overlay (the demo sync client badges every item).

    VRK_BUILD_DIR=BUILD bench/dolphin_bench.py [--runs N] [--count N]

Prints min and median of the runs and their ratio to the baseline, and the getOverlays calls per
item asked about (most and mean, with the extension). Exit status 77 when Dolphin cannot run here.
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
sys.path.insert(0, str(SOURCE / "Tools" / "dolphin"))
import headless_dolphin  # noqa: E402
from headless_dolphin import headless  # noqa: E402
from fm_trace import print_table, settle_check, traced, wait_until_idle  # noqa: E402



def one_run(build, folder, empty, with_extension, workdir, index):
    trace = workdir / f"trace-{int(with_extension)}-{index}"
    env = dict(os.environ, VRK_DOLPHIN_TRACE=str(trace))
    client = None
    if with_extension:
        env["VRK_DOLPHIN_EXTENSION"] = str(
            build / "Sync.app/Contents/PlugIns/VRKFinderSyncExtension.appex")
        client = headless.start_sync_client(build, folder, env, workdir / "client.log")
    else:
        env["VRK_DOLPHIN_EXTENSION"] = str(workdir / "no-such.appex")
    fm = headless_dolphin.Dolphin(empty, workdir / f"dolphin-{int(with_extension)}-{index}.log",
                                  env=env)
    try:
        if not headless.wait_for(fm.shown, 60, 0.1):
            raise AssertionError("Dolphin did not start")
        if with_extension and not headless.wait_for(lambda: traced(trace, "ready"), 60, 0.05):
            raise AssertionError("the extension did not get ready")
        wait_until_idle(fm.proc.pid)
        started = time.monotonic()
        # The folder in a new tab of the running Dolphin, through its own D-Bus interface (a
        # second `dolphin` would open a window of its own, with plug-ins of its own).
        subprocess.run(["gdbus", "call", "--session", "--dest", f"org.kde.dolphin-{fm.proc.pid}",
                        "--object-path", "/dolphin/Dolphin_1", "--method",
                        "org.kde.dolphin.MainWindow.openDirectories", f"['{folder.as_uri()}']",
                        "false"], check=True, capture_output=True, timeout=30)
        done = headless.wait_for(settle_check(trace, folder, with_extension), 120, 0.05)
        if not done:
            raise AssertionError(f"not every item asked about was answered"
                                 f"{' with its overlay' if with_extension else ''}")
        first, rows = done
        calls = {}
        for _, path, _ in rows:
            calls[path] = calls.get(path, 0) + 1
        return max(first.values()) - started, len(first), max(calls.values()), \
            sum(calls.values()) / len(calls)
    finally:
        fm.quit()
        if client is not None:
            headless.stop_sync_client(client)


def inside(build, workdir, count, runs):
    folder = workdir / "home" / f"Folder {count}"
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        (folder / f"item {i:05d}.txt").touch()
    empty = workdir / "home" / "Empty"
    empty.mkdir(exist_ok=True)
    # A first Dolphin warms the caches (the folder's listing, the icons) for the others, and the
    # two kinds of run take turns, so that neither has the warmer machine.
    one_run(build, folder, empty, False, workdir, "warm")
    base_rows, plugin_rows = [], []
    for i in range(runs):
        base_rows.append(one_run(build, folder, empty, False, workdir, i))
        plugin_rows.append(one_run(build, folder, empty, True, workdir, i))
    print(json.dumps({"asked": [row[1] for row in base_rows + plugin_rows],
                      "baseline": [row[0] for row in base_rows],
                      "plugins": [row[0] for row in plugin_rows],
                      "most_calls": max(row[2] for row in plugin_rows),
                      "mean_calls": statistics.mean(row[3] for row in plugin_rows)}), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--inside", nargs=2, metavar=("BUILD", "WORKDIR"))
    args = parser.parse_args()
    if args.inside:
        build, workdir = args.inside
        inside(pathlib.Path(build), pathlib.Path(workdir), args.count, args.runs)
        return 0

    build = pathlib.Path(os.environ.get("VRK_BUILD_DIR", SOURCE / "build")).resolve()
    reason = headless_dolphin.missing(build)
    if reason:
        print(f"dolphin_bench: skipped: {reason}")
        return 77
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="vrk.", dir="/tmp"))
    try:
        base = {k: v for k, v in os.environ.items() if k != "VRK_MACOS_VERSION"}
        base["VRK_ROOT"] = str(workdir)
        env = headless_dolphin.session_env(base, workdir / "session", build)
        headless_dolphin.give_to_plain_user(workdir)
        argv = headless_dolphin.isolated(
            [headless.PYTHON, str(pathlib.Path(__file__).resolve()), "--runs", str(args.runs),
             "--count", str(args.count), "--inside", str(build), str(workdir)])
        run = subprocess.run(argv, env=env, capture_output=True, text=True, cwd=workdir)
        rows = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
        if run.returncode != 0 or not rows:
            print(run.stderr[-4000:], file=sys.stderr)
            return 1
        row = rows[0]
        asked = "/".join(str(n) for n in sorted(set(row["asked"])))
        print_table(f"dolphin: {args.count} items, {asked} asked about, until overlaid", row, ("baseline", "plugins"))
        print(f"  getOverlays calls per item asked about: at most {row['most_calls']}, "
              f"{row['mean_calls']:.2f} on average")
        return 0
    finally:
        if os.environ.get("VRK_BENCH_KEEP"):
            print(f"kept in {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
