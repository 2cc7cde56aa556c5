#!/usr/bin/python3
"""Mirelta Sync, a small demo sync client for the Finder integration.

It loads the library through the `vrkfindersync` module, as the real client does, and keeps
its own idea of every item in the sync folder: a sync status and whether the user locked it.

    sync_client.py ROOT [--language CODE] [--status REL=STATUS ...] [--locked REL ...]

At start it walks ROOT, takes every item as "synced" unless --status says otherwise, sets the
language and the sync root, and sets the badge of each item. Afterwards it
- answers Finder's badge requests (type-3 "kVRKDirectoryObservationNotification") with the
  badge of its own state;
- answers the lock question (type 3 on "kVRKContextMenuClickNotification") from inside its
  observer, as the library requires, with a menu that suits the item: folders get Share and
  View on Web; files also get Lock or Unlock (whichever applies) and View File Versions;
- takes each menu click, prints it, and acts on Lock and Unlock by changing the item's badge.

Everything it does is printed on standard output as one JSON object per line ("event" names
the kind). It reads commands on standard input, one JSON array per line, and acknowledges each
with {"event": "done", "command": NAME} once it has been carried out:
    ["status", PATH, STATUS]   the item's sync status changed (STATUS as in BADGES below)
    ["language", CODE]         switch the language, e.g. "zh-Hans"
    ["hide"], ["show"]         hide or show all badges
    ["stop"]                   clear the sync root: Finder shows no badges any more
    ["ping"]                   answered with "done" only
It ends at the end of its input.
"""

import argparse
import json
import os
import sys
import threading

import vrkfindersync as v

# The badge types of the integration, by the sync status they show.
BADGES = {"syncing": 0, "paused": 1, "synced": 2, "failed": 3, "locked": 4, "forbidden": 5}
# What the library tells us the user chose, by click type.
CLICKS = {1: "share", 2: "view-on-web", 5: "lock", 6: "unlock", 7: "versions"}

CLICK_NOTIFICATION = "kVRKContextMenuClickNotification"
OBSERVATION_NOTIFICATION = "kVRKDirectoryObservationNotification"
LOCK_QUESTION = 3
LOCK_ANSWER = 4
BADGE_REQUEST = 3

_output = threading.Lock()


def emit(**event):
    with _output:
        print(json.dumps(event, ensure_ascii=False), flush=True)


class SyncClient:
    def __init__(self, root, language, statuses, locked):
        self.root = root
        self.language = language
        self.status = {}  # path -> sync status
        self.locked = set()  # paths the user locked
        # The library takes no locks of its own: its facade must not be entered from the main
        # thread and the listener thread (inside our observers) at the same time. The same
        # lock guards our own state.
        self.lock = threading.Lock()
        self.center = v.NSNotificationCenter.defaultCenter()
        self._scan(statuses, locked)

    def _scan(self, statuses, locked):
        for directory, folders, files in os.walk(self.root):
            folders[:] = sorted(f for f in folders if not f.startswith("."))
            for name in folders + sorted(f for f in files if not f.startswith(".")):
                path = os.path.join(directory, name)
                self.status[path] = statuses.get(os.path.relpath(path, self.root), "synced")
        for relative in locked:
            self.locked.add(os.path.join(self.root, relative))

    def badge_of(self, path):
        """The badge our state gives the item, or None for an item we do not know."""
        if path in self.locked:
            return BADGES["locked"]
        status = self.status.get(path)
        return None if status is None else BADGES[status]

    def start(self):
        self.center.addObserver(self.on_observation, OBSERVATION_NOTIFICATION)
        self.center.addObserver(self.on_click, CLICK_NOTIFICATION)
        with self.lock:
            # Once at start: the extension in our own bundle becomes the registered, enabled one.
            self.injected = v.VRKFinderSync.inject()
            v.VRKFinderSync.changeLanguage(self.language)
            v.VRKFinderSync.setRootFolderPath(self.root)
            for path in self.status:
                v.VRKFinderSync.setIconType(self.badge_of(path), path)
        emit(event="ready", root=self.root, language=self.language, items=len(self.status),
             injected=self.injected)

    # ---- From Finder, on the library's listener thread ----

    def on_observation(self, notification):
        info = notification.userInfo or {}
        kind, path = info.get("type"), info.get("path")
        if kind != BADGE_REQUEST:
            emit(event="observing", begin=kind == 1, path=path)
            return
        with self.lock:
            badge = self.badge_of(path)
            emit(event="badge-request", path=path, badge=badge)
            if badge is not None:
                v.VRKFinderSync.setIconType(badge, path)

    def on_click(self, notification):
        info = notification.userInfo or {}
        kind, path = info.get("type"), info.get("path")
        if kind == LOCK_ANSWER:
            return  # our own answer, which the library takes
        if kind == LOCK_QUESTION:
            # The question's "mach" value is valid only until this observer returns, so the
            # answer goes out from right here.
            description = self.menu_for(path)
            emit(event="menu-question", path=path, answer=description)
            self.center.postNotificationName(CLICK_NOTIFICATION, None, {
                "type": LOCK_ANSWER, "mach": info.get("mach"), "msg": description})
            return
        action = CLICKS.get(kind, f"type {kind}")
        emit(event="click", action=action, type=kind, path=path)
        if action in ("lock", "unlock"):
            with self.lock:
                if action == "lock":
                    self.locked.add(path)
                else:
                    self.locked.discard(path)
                badge = self.badge_of(path)
                if badge is not None:
                    v.VRKFinderSync.setIconType(badge, path)

    def menu_for(self, path):
        with self.lock:
            if path not in self.status:
                return {"hide_all": True}
            is_file = not os.path.isdir(path)
            locked = path in self.locked
        description = {"show_share": True, "show_view_website": True, "is_file": is_file}
        if is_file:
            description.update(show_lock_unlock=True, show_lock=not locked, show_unlock=locked,
                               show_history=True)
        return description

    # ---- Commands on standard input ----

    def command(self, words):
        name, args = words[0], words[1:]
        with self.lock:
            if name == "status" and len(args) == 2 and args[1] in BADGES:
                path, status = args
                if path not in self.status:
                    raise ValueError(f"not an item of the sync folder: {path}")
                self.status[path] = status
                v.VRKFinderSync.setIconType(self.badge_of(path), path)
            elif name == "language" and len(args) == 1:
                self.language = args[0]
                v.VRKFinderSync.changeLanguage(self.language)
            elif name in ("hide", "show") and not args:
                v.VRKFinderSync.hideIcons(name == "hide")
            elif name == "stop" and not args:
                v.VRKFinderSync.setRootFolderPath(None)
            elif name != "ping" or args:
                raise ValueError(f"unknown command: {json.dumps(words)}")
        emit(event="done", command=name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", help="the sync folder (an absolute path)")
    parser.add_argument("--language", default="en")
    parser.add_argument("--status", action="append", default=[], metavar="REL=STATUS")
    parser.add_argument("--locked", action="append", default=[], metavar="REL")
    options = parser.parse_args()
    if not os.path.isabs(options.root) or not os.path.isdir(options.root):
        parser.error("the sync folder must be an existing absolute path")
    statuses = {}
    for item in options.status:
        relative, _, status = item.partition("=")
        if status not in BADGES:
            parser.error(f"unknown status in {item!r}; one of {', '.join(BADGES)}")
        statuses[relative] = status

    client = SyncClient(options.root, options.language, statuses, options.locked)
    client.start()
    for line in sys.stdin:
        if not line.strip():
            continue
        try:
            words = json.loads(line)
            if not isinstance(words, list) or not words or not isinstance(words[0], str):
                raise ValueError("a command is a JSON array that starts with its name")
            client.command(words)
        except ValueError as error:
            emit(event="error", message=str(error))
    return 0


if __name__ == "__main__":
    sys.exit(main())
