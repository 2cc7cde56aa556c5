"""The sync client's view of the library: a Python process loads vrkfindersync, and a
separate process plays the extension's end of the message port."""

import re
import subprocess
import sys

from conftest import probe, set_menu

LOCK_DESCRIPTION = {"show_share": True, "show_view_website": True, "show_lock_unlock": True,
                    "show_unlock": True, "is_file": True, "show_history": True}


def test_lock_round_trip_publishes_the_list_before_the_reply(vrk_env, client):
    c = client("client.py", "answer")
    assert c.event()["event"] == "ready"
    c.wait_listening()
    set_menu(c, LOCK_DESCRIPTION)
    answer, _ = probe(vrk_env, "lock", "/Users/a/Sync/report.txt")
    question = c.event()
    assert question["type"] == 3 and question["path"] == "/Users/a/Sync/report.txt"
    assert answer["reply"] == [0, 1, 1]
    # The list that the probe read right after the reply is the one for this item.
    assert [(i["title"], i["command"]) for i in answer["menuItems"]] == [
        ("Mirelta Sync - Share Link", 4), ("Mirelta Sync - View on Web", 5),
        ("Mirelta Sync - Unlock File", 9), ("Mirelta Sync - View File Versions", 10)]
    log = c.finish()
    asked = re.search(r"requestPythonItemLockPermissionAtPath = /Users/a/Sync/report.txt, "
                      r"thread = (<NSThread: [^\n]*)", log)
    answered = re.search(r"lockPermissionReplyNotified, thread = (<NSThread: [^\n]*)", log)
    assert asked and answered, log
    assert asked.group(1) == answered.group(1)
    assert "{number = 1," not in asked.group(1)  # the listener's thread, not the main thread


def test_hide_all_removes_the_list_and_keeps_the_flags(vrk_env, client):
    c = client("client.py", "answer")
    c.event()
    c.wait_listening()
    set_menu(c, {"show_share": True, "is_file": True})
    first, _ = probe(vrk_env, "lock", "/r/a")
    assert len(first["menuItems"]) == 1
    set_menu(c, {"hide_all": True, "show_lock": True})
    answer, _ = probe(vrk_env, "lock", "/r/a")
    assert answer["reply"] == [1, 0, 0]
    assert answer["menuItems"] is None
    c.finish()


def test_clicks_and_observations_reach_the_client(vrk_env, client):
    c = client("client.py", "answer")
    c.event()
    c.wait_listening()
    for command, path in [(4, "/r/share"), (5, "/r/web"), (8, "/r/lock"), (9, "/r/unlock"),
                          (10, "/r/versions"), (1, "/r"), (2, "/r"), (3, "/r/item")]:
        probe(vrk_env, "send", command, path)
    events = [c.event() for _ in range(8)]
    assert [(e["event"], e["type"], e["path"]) for e in events] == [
        ("click", 1, "/r/share"), ("click", 2, "/r/web"), ("click", 5, "/r/lock"),
        ("click", 6, "/r/unlock"), ("click", 7, "/r/versions"), ("observation", 1, "/r"),
        ("observation", 2, "/r"), ("observation", 3, "/r/item")]
    assert all(e["typename"] == "int" for e in events if e["event"] == "observation")
    c.finish()


def test_a_late_answer_is_ignored(vrk_env, client):
    c = client("client.py", "late")
    c.event()
    c.wait_listening()
    answer, _ = probe(vrk_env, "lock", "/r/a")
    assert answer["reply"] is None  # the extension's bounded wait ended it
    assert c.event()["type"] == 3
    c.command("answer-late")
    # The client's own observer sees its answer (type 4) go by too.
    assert c.event()["type"] == 4
    assert c.event() == {"event": "answered-late", "count": 1}
    log = c.finish()
    assert "ignoring a lock answer without a pending question" in log
    assert "menuItems" not in answer or answer["menuItems"] is None


def test_an_exception_in_an_observer_does_not_stop_the_listener(vrk_env, client):
    c = client("client.py", "raise")
    c.event()
    c.wait_listening()
    probe(vrk_env, "send", 4, "/r/one")
    probe(vrk_env, "send", 4, "/r/two")
    assert c.event()["path"] == "/r/one"
    assert c.event()["path"] == "/r/two"
    log = c.finish()
    assert "an observer that fails" in log
    assert c.proc.returncode == 0


def test_the_facade_creates_one_instance_from_two_threads(vrk_env):
    script = """
import threading, vrkfindersync as v
seen = []
barrier = threading.Barrier(2)
def grab():
    barrier.wait()
    seen.append(repr(v.VRKFinderSync.sharedInstance()))
threads = [threading.Thread(target=grab) for _ in range(2)]
[t.start() for t in threads]
[t.join() for t in threads]
assert len(set(seen)) == 1, seen
print(seen[0])
"""
    out = subprocess.run(["/usr/bin/python3", "-c", script], env=vrk_env, timeout=30,
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stderr.count("Init dylib, instance = ") == 1


def test_values_cross_as_python_types(vrk_env):
    script = """
import vrkfindersync as v
c = v.NSNotificationCenter.defaultCenter()
got = []
token = c.addObserver(lambda n: got.append((n.name, n.object, n.userInfo)), "probe")
c.postNotificationName("probe", "obj", {"s": "x", "i": 7, "b": True, "l": [1, "a"], "d": {"k": False}, "n": None})
c.postNotificationName("probe")
c.removeObserver(token)
c.postNotificationName("probe")
assert got[0] == ("probe", "obj", {"s": "x", "i": 7, "b": True, "l": [1, "a"], "d": {"k": False}}), got
assert type(got[0][2]["b"]) is bool and type(got[0][2]["i"]) is int
assert got[1] == ("probe", None, None) and len(got) == 2
assert v.VRKFinderSync.vrk_menuItemWithTitle("T", 9) == {"title": "T", "command": 9}
assert v.VRKFinderSync.vrk_isYosemiteOrHigher() is True
"""
    out = subprocess.run(["/usr/bin/python3", "-c", script], env=vrk_env, timeout=30,
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
