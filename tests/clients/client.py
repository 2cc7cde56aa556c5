"""A scriptable sync client: it loads the library, observes what the library posts to it and
prints each event as one JSON line. Commands arrive as JSON arrays on standard input.

Usage: client.py [answer|late|raise]

Commands: ["menu", DESCRIPTION], ["answer-late"], ["call", NAME, ARGS...] (a facade call),
["answer-badges", TYPE or null] (answer each badge request with that badge), ["quiet", BOOL]
(stop printing observations), ["ping"] (prints "pong": everything posted before has been printed),
["state"] (prints the controller's legacy state).
  answer  answers each lock question from inside its observer with the description that the
          last ["menu", DESCRIPTION] command set (default: share and lock, a file)
  late    keeps each question's "mach" value and answers only on ["answer-late"]
  raise   raises inside every observer call (after printing the event)
"""

import json
import sys
import threading

import vrkfindersync as v

mode = sys.argv[1] if len(sys.argv) > 1 else "answer"
center = v.NSNotificationCenter.defaultCenter()
description = {"show_share": True, "show_lock_unlock": True, "show_lock": True, "is_file": True}
kept = []
answer_badge = None
quiet = False
# The client must not overlap facade calls: the main thread and the listener thread (inside
# an observer) both make them.
facade = threading.Lock()


# The main thread and the listener's thread both print: one line must never run into another.
output = threading.Lock()


def emit(**event):
    line = json.dumps(event) + "\n"
    with output:
        sys.stdout.write(line)
        sys.stdout.flush()


def on_click(n):
    info = n.userInfo or {}
    kind = info.get("type")
    emit(event="click", type=kind, path=info.get("path"), thread=threading.get_ident())
    if kind == 3:
        if mode == "late":
            kept.append(info["mach"])
        else:
            center.postNotificationName("kVRKContextMenuClickNotification", None,
                                        {"type": 4, "mach": info["mach"], "msg": description})
    if mode == "raise":
        raise RuntimeError("an observer that fails")


def on_observation(n):
    info = n.userInfo
    if not quiet:
        emit(event="observation", type=info["type"], typename=type(info["type"]).__name__,
             path=info["path"])
    if info["type"] == 3 and answer_badge is not None:
        with facade:
            v.VRKFinderSync.setIconType(answer_badge, info["path"])
    if mode == "raise":
        raise RuntimeError("an observer that fails")


center.addObserver(on_click, "kVRKContextMenuClickNotification")
center.addObserver(on_observation, "kVRKDirectoryObservationNotification")
v.VRKFinderSync.sharedInstance()
emit(event="ready")

for line in sys.stdin:
    words = json.loads(line)
    if words[0] == "menu":
        description = words[1]
        emit(event="ok")
    elif words[0] == "answer-late":
        for mach in kept:
            center.postNotificationName("kVRKContextMenuClickNotification", None,
                                        {"type": 4, "mach": mach, "msg": description})
        emit(event="answered-late", count=len(kept))
    elif words[0] == "call":
        with facade:
            result = getattr(v.VRKFinderSync, words[1])(*words[2:])
        if not isinstance(result, (bool, int, str, type(None))):
            result = repr(result)
        emit(event="called", name=words[1], result=result)
    elif words[0] == "answer-badges":
        answer_badge = words[1]
        emit(event="ok")
    elif words[0] == "quiet":
        quiet = words[1]
        emit(event="ok")
    elif words[0] == "state":
        c = v.VRKFinderSync.sharedInstance()
        emit(event="state", injectAfterFinderRestartFailed=c.injectAfterFinderRestartFailed,
             root=c.rootFolderPath_)
    elif words[0] == "ping":
        emit(event="pong")
