"""The whole system on Linux: a Python sync client with the library, and the file manager host
vrk-finder running the real extension, under a private session bus and emulated root."""

import os

from conftest import call, set_menu, start_client

ZH_HANS_LABELS = {"0": "正在同步", "1": "已暂停", "2": "已同步", "3": "同步失败", "4": "已锁定",
                  "5": "无权访问"}


def badge_is(identifier):
    return lambda answer: answer.get("ok") is True and answer.get("badge") == identifier


def test_badges_set_by_the_client_show_in_the_host(client, finder, sync_folder):
    c = start_client(client)
    call(c, "setRootFolderPath", sync_folder)
    f = finder()
    state = f("state")
    assert state["directories"] == [sync_folder]
    registrations = state["registrations"]
    assert sorted(registrations) == ["0", "1", "2", "3", "4", "5"]
    assert registrations["4"]["label"] == "Locked"
    assert registrations["4"]["image"].startswith("locked")

    a = os.path.join(sync_folder, "a.txt")
    call(c, "setIconType", 2, a)
    assert f("wait-badge", a, "2", 5000)["ok"]
    call(c, "setIconType", 4, a)
    assert f("wait-badge", a, "4", 5000)["ok"]
    # Outside the root nothing is accepted.
    call(c, "setIconType", 3, "/elsewhere/x")
    assert "/elsewhere/x" not in f("badges")["badges"]
    c.finish()


def test_showing_the_folder_asks_the_client_for_every_item(client, finder, sync_folder):
    c = start_client(client)
    call(c, "setRootFolderPath", sync_folder)
    c.command("answer-badges", 1)
    assert c.event()["event"] == "ok"
    f = finder()
    shown = f("show", sync_folder)
    assert shown["observed"] is True
    names = [item["name"] for item in shown["items"]]
    assert names == sorted(["Docs", "a.txt", "b report.txt"])
    events = [c.event() for _ in range(4)]
    assert events[0] == {"event": "observation", "type": 1, "typename": "int",
                         "path": sync_folder}
    assert sorted(e["path"] for e in events[1:]) == sorted(item["path"] for item in shown["items"])
    assert all(e["type"] == 3 for e in events[1:])
    for item in shown["items"]:
        assert f("wait-badge", item["path"], "1", 5000)["ok"], item
    c.finish()


def test_hide_and_show(client, finder, sync_folder):
    c = start_client(client)
    call(c, "setRootFolderPath", sync_folder)
    f = finder()
    a = os.path.join(sync_folder, "a.txt")
    call(c, "setIconType", 0, a)
    assert f("wait-badge", a, "0", 5000)["ok"]
    call(c, "hideIcons", True)
    f.until(lambda s: s["directories"] == [], "state")
    # While hidden, an announced badge is set empty.
    call(c, "setIconType", 3, a)
    assert f("wait-badge", a, "", 5000)["ok"]
    call(c, "hideIcons", False)
    f.until(lambda s: s["directories"] == [sync_folder], "state")
    call(c, "setIconType", 3, a)
    assert f("wait-badge", a, "3", 5000)["ok"]
    c.finish()


def test_a_language_change_registers_the_labels_again(client, finder, sync_folder):
    c = start_client(client)
    f = finder()
    assert f("state")["registrations"]["2"]["label"] == "Up to Date"
    call(c, "changeLanguage", "zh-Hans")
    state = f.until(lambda s: s["registrations"]["0"]["label"] == "正在同步", "state")
    assert {k: v["label"] for k, v in state["registrations"].items()} == ZH_HANS_LABELS
    c.finish()


def test_context_menu_and_click(client, finder, sync_folder):
    c = start_client(client, language="zh-Hans")
    call(c, "setRootFolderPath", sync_folder)
    set_menu(c, {"show_share": True, "show_lock_unlock": True, "show_lock": True,
                       "is_file": True, "show_history": True})
    f = finder()
    a = os.path.join(sync_folder, "a.txt")
    menu = f("menu", 0, a)["menu"]
    question = c.event()
    assert (question["type"], question["path"]) == (3, a)
    assert [(e["title"], e["action"]) for e in menu] == [
        ("Mirelta 同步 - 分享链接", "shareLink:"), ("Mirelta 同步 - 锁定文件", "lockFile:"),
        ("Mirelta 同步 - 查看文件历史版本", "viewHistoryVersions:")]
    assert all(e["image"].startswith("context-menu-icon") and e["keyEquivalent"] == ""
               for e in menu)
    assert c.event()["type"] == 4  # the client's own answer going by
    assert f("click", 1) == {"ok": True}
    click = c.event()
    assert (click["event"], click["type"], click["path"]) == ("click", 5, a)
    c.finish()


def test_no_menu_for_the_root_two_items_or_the_container(client, finder, sync_folder):
    c = start_client(client)
    call(c, "setRootFolderPath", sync_folder)
    f = finder()
    a, b = os.path.join(sync_folder, "a.txt"), os.path.join(sync_folder, "b report.txt")
    assert f("menu", 0, sync_folder) == {"menu": None}
    assert f("menu", 0, a, b) == {"menu": None}
    assert f("menu", 1, a) == {"menu": None}
    c.command("ping")
    assert c.event() == {"event": "pong"}  # no question reached the client
    log = c.finish()
    assert "requestPythonItemLockPermissionAtPath" not in log


def test_the_library_restarted_while_the_extension_runs(client, finder, sync_folder):
    first = start_client(client)
    call(first, "setRootFolderPath", sync_folder)
    f = finder()
    a = os.path.join(sync_folder, "a.txt")
    call(first, "setIconType", 1, a)
    assert f("wait-badge", a, "1", 5000)["ok"]
    first.proc.kill()
    first.proc.wait()

    second = start_client(client)
    call(second, "setRootFolderPath", sync_folder)
    call(second, "setIconType", 2, a)
    assert f("wait-badge", a, "2", 5000)["ok"]
    # The extension's first request after the restart finds the old port gone; the next one
    # reaches the new library.
    f("show", sync_folder)
    set_menu(second, {"show_share": True, "is_file": True})
    menu = f.until(lambda answer: answer["menu"] is not None, "menu", 0, a)["menu"]
    assert [e["action"] for e in menu] == ["shareLink:"]
    second.finish()
    log = f.quit()
    assert "[Finder Sync Extension] Lost connection with dylib" in log


def test_the_extension_started_before_the_library(client, finder, sync_folder):
    f = finder()
    assert f("state")["directories"] == []
    c = start_client(client)
    call(c, "setRootFolderPath", sync_folder)
    f.until(lambda s: s["directories"] == [sync_folder], "state")
    a = os.path.join(sync_folder, "a.txt")
    call(c, "setIconType", 5, a)
    assert f("wait-badge", a, "5", 5000)["ok"]
    c.finish()
    assert "[Finder Sync Extension] try to read Root Folder Path from sharedDefaults" in f.quit()


def test_clearing_the_root_ends_the_service(client, finder, sync_folder):
    c = start_client(client)
    call(c, "setRootFolderPath", sync_folder)
    f = finder()
    call(c, "setRootFolderPath", None)
    f.until(lambda s: s["directories"] == [], "state")
    log = c.finish()
    assert "[FinderSync] mach port unregistered" in log
