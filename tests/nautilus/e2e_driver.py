#!/usr/bin/python3
"""GNOME Files with libvrk-nautilus, the real extension and the Python sync client, checked
through the accessibility tree. Run by tests/python/test_nautilus.py inside a private mount
namespace, X server and session bus (Tools/nautilus/headless.py); prints one JSON line of
measurements and exits 0 when every check held, 1 with the failed check otherwise.

    e2e_driver.py BUILD SYNC_FOLDER WORKDIR
"""

import json
import os
import pathlib
import sys
import time
import traceback

SOURCE = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "Tools" / "nautilus"))
sys.path.insert(0, str(SOURCE / "tests"))

import headless  # noqa: E402
from conftest import Client  # noqa: E402

LOCKED, SUCCEEDED, FAILED = 4, 2, 3
# The colours of the emblems for those badge types (VRKFinderSyncExtension/Resources).
COLOURS = {LOCKED: (0xf2, 0x99, 0x4a), SUCCEEDED: (0x27, 0xae, 0x60), FAILED: (0xeb, 0x57, 0x57)}


def call(client, name, *args):
    client.command("call", name, *args)
    while client.event()["event"] != "called":  # observations may come first
        pass


def shows_colour(fm, emblem, colour):
    """True when the emblem's rectangle on screen holds the colour (a few pixels of it)."""
    pixels = fm.colours(fm.extents(emblem))
    near = [p for p in pixels if all(abs(a - b) <= 24 for a, b in zip(p, colour))]
    return len(near) >= 4


def emblem_state(fm, name):
    cell = fm.cell(name, timeout=1)
    return None if cell is None else fm.emblems(cell)


def main():
    build, folder, workdir = map(pathlib.Path, sys.argv[1:4])
    env = dict(os.environ)
    env.update(PYTHONPATH=str(build / "Python"), VRK_MAIN_BUNDLE=str(build / "Sync.app"),
               PYTHONUNBUFFERED="1")
    a, docs, b = folder / "a.txt", folder / "Docs", folder / "b report.txt"
    client = Client(env, "client.py", "answer")
    fm = None
    results = {}
    try:
        assert client.event()["event"] == "ready"
        client.wait_listening()
        call(client, "setRootFolderPath", str(folder))
        # Registers and enables the client's extension: the module starts what the registry elects.
        call(client, "inject")

        fm = headless.FileManager(workdir / "nautilus.log")
        fm.show(folder)
        for name in ("a.txt", "Docs", "b report.txt"):
            assert fm.cell(name, timeout=30), f"GNOME Files never showed {name}"
        # The client hears that the folder is shown (and is asked for each item's badge, which
        # this client leaves unanswered); the badges it sets from then on reach GNOME Files.
        event = client.event(timeout=30)
        while (event.get("type"), event.get("path")) != (1, str(folder)):
            event = client.event(timeout=30)
        started = time.monotonic()
        call(client, "setIconType", LOCKED, str(a))
        call(client, "setIconType", SUCCEEDED, str(docs))
        for name in ("a.txt", "Docs"):
            assert headless.wait_for(lambda: emblem_state(fm, name), 15), f"{name}: no emblem"
        results["first_emblems_s"] = round(time.monotonic() - started, 3)
        # The unbadged item was asked about as the others were; it stays without an emblem.
        time.sleep(1)
        assert emblem_state(fm, "b report.txt") == [], "b report.txt has an emblem"
        assert len(emblem_state(fm, "a.txt")) == 1
        assert shows_colour(fm, emblem_state(fm, "a.txt")[0], COLOURS[LOCKED]), "not locked"
        assert shows_colour(fm, emblem_state(fm, "Docs")[0], COLOURS[SUCCEEDED]), "not synced"

        # A badge the client changes while the folder is shown.
        call(client, "setIconType", FAILED, str(b))
        changed = time.monotonic()
        assert headless.wait_for(lambda: emblem_state(fm, "b report.txt"), 10), "no update"
        results["badge_update_s"] = round(time.monotonic() - changed, 3)
        assert shows_colour(fm, emblem_state(fm, "b report.txt")[0], COLOURS[FAILED])
        call(client, "setIconType", SUCCEEDED, str(a))
        assert headless.wait_for(
            lambda: (e := emblem_state(fm, "a.txt")) and shows_colour(fm, e[0], COLOURS[SUCCEEDED]),
            10), "a.txt did not turn to synced"

        # The context menu: the client's entries, and a click that reaches the client.
        fm.right_click(fm.cell("a.txt"))
        entries = headless.wait_for(
            lambda: [i for i in fm.menu_items() if i.name.startswith("Mirelta")], 15)
        assert entries, "no entries of the client in the menu: " + str(
            [i.name for i in fm.menu_items()])
        results["menu"] = [entry.name for entry in entries]
        share = next(e for e in entries if "Share" in e.name)
        fm.activate(share)
        # The library asks the client before each menu (GNOME Files may build it more than
        # once); then the chosen entry arrives as a click with the item's path.
        questions = []
        event = client.event()
        while event["event"] != "click" or event["type"] in (3, 4):
            if event["event"] == "click" and event["type"] == 3:
                questions.append(event["path"])
            event = client.event()
        assert questions and set(questions) == {str(a)}, questions
        assert (event["type"], event["path"]) == (1, str(a)), event
        print(json.dumps(results), flush=True)
        return 0
    except Exception:
        traceback.print_exc()
        if fm is not None:
            fm.screenshot(workdir / "failure.png")
            print("screenshot of the failure:", workdir / "failure.png", file=sys.stderr)
        print(json.dumps(results), flush=True)
        return 1
    finally:
        if fm is not None:
            fm.quit()
        client.finish()


if __name__ == "__main__":
    sys.exit(main())
