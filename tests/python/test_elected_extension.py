"""The file manager starts what the plug-in registry elects: a sync client's inject() makes its
own copy of the extension the elected one, and vrk-finder, started without --extension, runs
that copy; badges flow as with an extension given by path."""

import os

from conftest import OWN_APPEX as OWN
from conftest import call, pluginkit, stale_copy, start_client

ID = "com.mirelta.sync.extension"


def test_after_inject_the_file_manager_starts_the_clients_copy(client, finder, vrk_env,
                                                               sync_folder):
    stale_copy(vrk_env)
    c = start_client(client)
    assert call(c, "inject") is True
    call(c, "setRootFolderPath", sync_folder)

    f = finder(extension=False)
    state = f("state")
    assert state["extension"] == OWN
    assert state["elected"] == [OWN]
    assert state["directories"] == [sync_folder]
    a = os.path.join(sync_folder, "a.txt")
    call(c, "setIconType", 2, a)
    assert f("wait-badge", a, "2", 5000)["ok"]
    shown = f("show", sync_folder)
    assert shown["observed"] is True
    c.finish()


def test_with_nothing_usable_elected_it_runs_none_until_a_rescan_finds_one(client, finder,
                                                                           vrk_env, sync_folder):
    f = finder(extension=False)
    state = f("state")
    assert state["extension"] is None and state["elected"] == []
    assert state["extensionError"] == "no FinderSync extension is elected"
    assert state["directories"] == [] and state["registrations"] == {}
    assert f("show", sync_folder)["observed"] is False
    assert f("menu", 0, os.path.join(sync_folder, "a.txt")) == {"menu": None}

    # The elected copy cannot start: the host says why and keeps serving.
    stale = stale_copy(vrk_env)
    answer = f("rescan")
    assert answer["extension"] is None and answer["elected"] == [stale]
    assert answer["extensionError"]

    c = start_client(client)
    call(c, "setRootFolderPath", sync_folder)
    assert call(c, "inject") is True
    assert pluginkit(vrk_env, "-m", "-v", "-i", ID).stdout == f"?    {ID}(1.0)\t{OWN}\n"
    assert f("rescan") == {"extension": OWN, "elected": [OWN]}
    a = os.path.join(sync_folder, "a.txt")
    call(c, "setIconType", 4, a)
    assert f("wait-badge", a, "4", 5000)["ok"]
    assert f("rescan") == {"extension": OWN, "elected": [OWN]}  # the same copy keeps running

    # The user turns the extension off: a rescan stops it.
    assert pluginkit(vrk_env, "-e", "ignore", "-i", ID).returncode == 0
    answer = f("rescan")
    assert answer["extension"] is None and answer["elected"] == []
    assert f("badges") == {"badges": {}}
    c.finish()
