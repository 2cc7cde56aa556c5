#!/usr/bin/python3
"""Nemo and Caja showing a folder of 10k items until the items the file manager asks about all
carry their emblems, against the same file manager with the module answering nothing (no
extension).

Nemo asks only about the items in view, Caja about every item. Each run starts a fresh file
manager with our module in a private session (Tools/filemanager/headless_gtk3.py; needs root) on
an empty folder, waits until it is up (and, with the extension, until the extension is ready),
then opens the folder in a second window. The module's trace (VRK_NEMO_TRACE, VRK_CAJA_TRACE)
tells which items the file manager asks about, once it has asked about no new one for a while:
the baseline's time is when it first asked about the last of them, the module's when the last of
them was answered with its emblem (the demo sync client badges every item).

    VRK_BUILD_DIR=BUILD bench/gtk3fm_bench.py [--runs N] [--count N] [--fms nemo,caja]

Prints min and median of the runs per file manager and their ratio to the baseline. Exit status
77 when no file manager can run here.
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "Tools" / "filemanager"))
import headless_gtk3  # noqa: E402
from headless_gtk3 import headless  # noqa: E402
from fm_trace import print_table, settle_check, traced, wait_until_idle  # noqa: E402



def one_run(fm_name, build, folder, empty, with_extension, workdir, index):
    trace = workdir / f"trace-{fm_name}-{int(with_extension)}-{index}"
    env = dict(os.environ)
    env[f"VRK_{fm_name.upper()}_TRACE"] = str(trace)
    variable = f"VRK_{fm_name.upper()}_EXTENSION"
    client = None
    if with_extension:
        env[variable] = str(build / "Sync.app/Contents/PlugIns/VRKFinderSyncExtension.appex")
        client = headless.start_sync_client(build, folder, env, workdir / "client.log")
    else:
        env[variable] = str(workdir / "no-such.appex")
    fm = headless_gtk3.FileManager(fm_name, empty, workdir / f"{fm_name}.log", env=env)
    try:
        if not headless.wait_for(fm.app, 60, 0.1):
            raise AssertionError(f"{fm_name} did not start")
        if with_extension and not headless.wait_for(lambda: traced(trace, "ready"), 60, 0.05):
            raise AssertionError("the extension did not get ready")
        wait_until_idle(fm.proc.pid)
        started = time.monotonic()
        # A second window on the folder, from the running file manager.
        subprocess.Popen([*headless_gtk3.FILE_MANAGERS[fm_name]["program"], str(folder)],
                         env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        done = headless.wait_for(settle_check(trace, folder, with_extension), 120, 0.05)
        if not done:
            raise AssertionError(f"not every item asked about was answered"
                                 f"{' with its emblem' if with_extension else ''}")
        first, _ = done
        return max(first.values()) - started, len(first)
    finally:
        fm.quit()
        if client is not None:
            headless.stop_sync_client(client)


def inside(fm_name, build, workdir, count, runs):
    folder = workdir / "home" / f"Folder {count}"
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        (folder / f"item {i:05d}.txt").touch()
    empty = workdir / "home" / "Empty"
    empty.mkdir(exist_ok=True)
    base_rows = [one_run(fm_name, build, folder, empty, False, workdir, i) for i in range(runs)]
    module_rows = [one_run(fm_name, build, folder, empty, True, workdir, i) for i in range(runs)]
    print(json.dumps({"fm": fm_name, "asked": [row[1] for row in base_rows + module_rows],
                      "baseline": [row[0] for row in base_rows],
                      "module": [row[0] for row in module_rows]}), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--fms", default="nemo,caja")
    parser.add_argument("--inside", nargs=3, metavar=("FM", "BUILD", "WORKDIR"))
    args = parser.parse_args()
    if args.inside:
        fm_name, build, workdir = args.inside
        inside(fm_name, pathlib.Path(build), pathlib.Path(workdir), args.count, args.runs)
        return 0

    build = pathlib.Path(os.environ.get("VRK_BUILD_DIR", SOURCE / "build")).resolve()
    ran = False
    for fm_name in args.fms.split(","):
        reason = headless_gtk3.missing(fm_name, build)
        if reason:
            print(f"gtk3fm_bench: {fm_name} skipped: {reason}")
            continue
        workdir = pathlib.Path(tempfile.mkdtemp(prefix="vrk.", dir="/tmp"))
        try:
            base = {k: v for k, v in os.environ.items() if k != "VRK_MACOS_VERSION"}
            base["VRK_ROOT"] = str(workdir)
            env = headless_gtk3.session_env(base, workdir / "session", build)
            argv = headless_gtk3.isolated(
                fm_name, build, workdir / "session",
                [headless.PYTHON, str(pathlib.Path(__file__).resolve()), "--runs",
                 str(args.runs), "--count", str(args.count), "--inside", fm_name, str(build),
                 str(workdir)])
            run = subprocess.run(argv, env=env, capture_output=True, text=True)
            rows = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
            if run.returncode != 0 or not rows:
                print(run.stderr[-4000:], file=sys.stderr)
                return 1
            row = rows[0]
            asked = "/".join(str(n) for n in sorted(set(row["asked"])))
            print_table(f"{fm_name}: {args.count} items, {asked} asked about, until emblemed", row, ("baseline", "module"))
            ran = True
        finally:
            if os.environ.get("VRK_BENCH_KEEP"):
                print(f"kept in {workdir}")
            else:
                shutil.rmtree(workdir, ignore_errors=True)
    return 0 if ran else 77


if __name__ == "__main__":
    sys.exit(main())
