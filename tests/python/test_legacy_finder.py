"""Before 10.10: the sync client, vrk-finder as that system's Finder and the legacy Finder bundle
it loads, as separate processes on the private session bus."""

import signal
import time

import pytest

from conftest import Finder

REPLAYED = ("setRootFolderPath:", "hideIcons:", "setBadgesCache:")


class OldFinder(Finder):
    """vrk-finder on 10.9: no extension; it loads the legacy bundle on the Apple event. It asks
    for its bus name before it answers its first command."""

    def __init__(self, env):
        super().__init__(env, extension=False)

    def bundle(self):
        return self("state")["legacy"]

    def bundle_until(self, predicate, timeout=10):
        answer = self.until(lambda a: a["legacy"] is not None and predicate(a["legacy"]), "state",
                            timeout=timeout)
        return answer["legacy"]

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(10)


@pytest.fixture
def old_env(vrk_env):
    vrk_env["VRK_MACOS_VERSION"] = "10.9"
    return vrk_env


@pytest.fixture
def old_finder(old_env):
    started = []

    def start():
        f = OldFinder(old_env)
        started.append(f)
        return f

    yield start
    for f in started:
        if f.proc.poll() is None:
            f.quit()


def call(client, name, *args):
    client.command("call", name, *args)
    while True:
        event = client.event()
        if event["event"] == "called":
            return event["result"]


def state(client):
    client.command("state")
    while True:
        event = client.event()
        if event["event"] == "state":
            return event


def started(client):
    c = client("client.py")
    assert c.event()["event"] == "ready"
    return c


def set_up_root(c, root):
    call(c, "setRootFolderPath", root)
    call(c, "hideIcons", False)
    call(c, "setIconType", 2, root + "/a.txt")
    call(c, "setIconType", 3, root + "/b.txt")


def test_state_menus_and_the_end_reach_the_bundle(old_finder, client, sync_folder):
    c = started(client)
    assert call(c, "inject") is False  # no Finder yet
    finder = old_finder()
    assert finder.bundle() is None
    assert call(c, "inject") is True
    assert call(c, "inject") is True  # loaded once; the second load does nothing

    set_up_root(c, sync_folder)
    call(c, "hideIcons", True)
    shown = finder.bundle()
    assert shown["root"] == sync_folder
    assert shown["hidden"] is True
    assert shown["badges"] == {sync_folder + "/a.txt": 2, sync_folder + "/b.txt": 3}
    assert finder("badges") == {"badges": {}}
    call(c, "hideIcons", False)
    assert finder("badges") == {"badges": {sync_folder + "/a.txt": "2",
                                           sync_folder + "/b.txt": "3"}}

    # The menu asks the library over the Mach bridge; the lock answer sends the items.
    menu = finder("menu", 0, sync_folder + "/a.txt")["menu"]
    assert [item["command"] for item in menu] == [4, 8]
    assert finder("menu", 0, sync_folder)["menu"] is None  # the root itself has none
    assert finder.bundle()["received"]["addMenuItems:"] == 1

    call(c, "setRootFolderPath", None)
    will_die = "kVRKDylibWillDieSoonNotification"
    shown = finder.bundle_until(lambda s: s["received"].get(will_die) == 1)
    assert shown["root"] is None and shown["menuItems"] is None and shown["badges"] == {}
    assert shown["received"]["removeAllMenuItems"] == 1
    assert "Calling proxy" not in c.finish()


def test_a_restarted_finder_gets_the_state_replayed_once(old_finder, client, sync_folder):
    c = started(client)
    first = old_finder()
    set_up_root(c, sync_folder)
    assert first.bundle()["received"]["setIconType:toPath:"] == 2

    # The next Finder waits for the name; it takes over when the first one quits, which gives
    # up its name before its bundle goes, so the reload reaches the new Finder at once.
    second = old_finder()
    first.quit()
    shown = second.bundle_until(lambda s: all(s["received"].get(r) == 1 for r in REPLAYED))
    assert shown["root"] == sync_folder and shown["hidden"] is False
    assert shown["badges"] == {sync_folder + "/a.txt": 2, sync_folder + "/b.txt": 3}
    time.sleep(0.3)
    assert all(second.bundle()["received"].get(r) == 1 for r in REPLAYED)
    assert state(c)["injectAfterFinderRestartFailed"] is False
    call(c, "setIconType", 1, sync_folder + "/c.txt")
    assert second.bundle()["badges"][sync_folder + "/c.txt"] == 1
    assert "inject Finder bundle failed" not in c.finish()


def test_a_killed_finder_gets_the_state_replayed_once(old_finder, client, sync_folder):
    c = started(client)
    first = old_finder()
    set_up_root(c, sync_folder)
    second = old_finder()
    # Killed, its bundle's name and its own may leave the bus in either order: the reload then
    # reaches the new Finder at once, or fails and the next call replays.
    first.kill()
    deadline = time.monotonic() + 10
    while second.bundle() is None and not state(c)["injectAfterFinderRestartFailed"]:
        assert time.monotonic() < deadline, "the death of the connection went unnoticed"
        time.sleep(0.02)
    call(c, "setIconType", 1, sync_folder + "/c.txt")
    shown = second.bundle_until(lambda s: all(s["received"].get(r) for r in REPLAYED))
    time.sleep(0.3)
    shown = second.bundle()
    assert {r: shown["received"].get(r) for r in REPLAYED} == {r: 1 for r in REPLAYED}
    assert shown["badges"] == {sync_folder + "/a.txt": 2, sync_folder + "/b.txt": 3,
                               sync_folder + "/c.txt": 1}
    assert state(c)["injectAfterFinderRestartFailed"] is False


def test_a_failed_reload_replays_on_the_next_call(old_finder, client, sync_folder):
    c = started(client)
    first = old_finder()
    set_up_root(c, sync_folder)
    first.kill()
    deadline = time.monotonic() + 10
    while not state(c)["injectAfterFinderRestartFailed"]:
        assert time.monotonic() < deadline, "the death of the connection went unnoticed"
        time.sleep(0.02)

    second = old_finder()
    assert second.bundle() is None  # nothing reloads it until the client's next call
    call(c, "setIconType", 1, sync_folder + "/c.txt")
    shown = second.bundle()
    assert {r: shown["received"].get(r) for r in REPLAYED} == {r: 1 for r in REPLAYED}
    assert shown["received"]["setIconType:toPath:"] == 1
    assert shown["badges"] == {sync_folder + "/a.txt": 2, sync_folder + "/b.txt": 3,
                               sync_folder + "/c.txt": 1}
    assert state(c)["injectAfterFinderRestartFailed"] is False
    call(c, "setIconType", 5, sync_folder + "/d.txt")
    call(c, "hideIcons", True)
    received = second.bundle()["received"]
    assert received["setRootFolderPath:"] == 1 and received["setBadgesCache:"] == 1
    assert received["hideIcons:"] == 2 and received["setIconType:toPath:"] == 2
    log = c.finish()
    assert log.count("Finder restart detected, inject Finder bundle failed") == 1
    assert "Calling proxy, inject Finder bundle failed" not in log
