"""vrk-defaults against a private emulated root: what it writes the library's store reads."""
import json
import os
import subprocess

import pytest

SUITE = "group.com.mirelta.sync"


def tool(root, *args):
    exe = os.path.join(os.environ["VRK_BUILD_DIR"], "Tools", "vrk-defaults")
    env = dict(os.environ, VRK_ROOT=str(root))
    return subprocess.run([exe, *args], env=env, capture_output=True, text=True, timeout=30)


def test_read_write_delete_round_trip(tmp_path):
    assert tool(tmp_path, "write", SUITE, "kBadgeCacheKey", '{"/s/a": 2, "/s/b": 3}').returncode == 0
    assert tool(tmp_path, "write", SUITE, "kHideBadgeKey", "true").returncode == 0
    assert tool(tmp_path, "write", SUITE, "name", '"caf\\u00e9 \\"x\\""').returncode == 0

    whole = tool(tmp_path, "read", SUITE)
    assert whole.returncode == 0
    assert json.loads(whole.stdout) == {"kBadgeCacheKey": {"/s/a": 2, "/s/b": 3},
                                        "kHideBadgeKey": True, "name": 'café "x"'}
    one = tool(tmp_path, "read", SUITE, "kHideBadgeKey")
    assert (one.returncode, one.stdout) == (0, "true\n")

    assert tool(tmp_path, "delete", SUITE, "kHideBadgeKey").returncode == 0
    missing = tool(tmp_path, "read", SUITE, "kHideBadgeKey")
    assert missing.returncode == 1 and missing.stdout == "" and "kHideBadgeKey" in missing.stderr
    assert tool(tmp_path, "delete", SUITE).returncode == 0
    assert json.loads(tool(tmp_path, "read", SUITE).stdout) == {}


def test_refuses_what_a_suite_cannot_hold_and_bad_usage(tmp_path):
    for value in ("1.5", "null", "{", '{"a": [1, null]}'):
        result = tool(tmp_path, "write", SUITE, "k", value)
        assert result.returncode == 1, value
    assert json.loads(tool(tmp_path, "read", SUITE).stdout) == {}
    assert tool(tmp_path).returncode == 2
    assert tool(tmp_path, "write", SUITE, "k").returncode == 2
    assert tool(tmp_path, "frobnicate", SUITE).returncode == 2


def read_only_mount(root, *args):
    """Runs vrk-defaults with `root` mounted read-only over itself, in a private mount namespace of
    a new user namespace; None when this system allows neither."""
    exe = os.path.join(os.environ["VRK_BUILD_DIR"], "Tools", "vrk-defaults")
    script = 'mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" "$1" && shift && exec "$@"'
    probe = subprocess.run(["unshare", "-rm", "sh", "-c", script, "sh", str(root), "true"],
                           capture_output=True, timeout=30)
    if probe.returncode != 0:
        return None
    env = dict(os.environ, VRK_ROOT=str(root))
    return subprocess.run(["unshare", "-rm", "sh", "-c", script, "sh", str(root), exe, *args],
                          env=env, capture_output=True, text=True, timeout=30)


def test_an_unreadable_store_is_an_error_not_an_empty_suite(tmp_path):
    assert tool(tmp_path, "write", SUITE, "kHideBadgeKey", "true").returncode == 0
    prefs = tmp_path / "home/Library/Group Containers" / SUITE / "Library/Preferences"
    # A log that is a folder, on a file system where it cannot be moved aside.
    (prefs / (SUITE + ".sqlite-wal")).mkdir()
    whole = read_only_mount(tmp_path, "read", SUITE)
    if whole is None:
        pytest.skip("no user and mount namespaces here to make a read-only file system")
    assert whole.returncode == 1 and whole.stdout == ""
    assert "vrk-defaults: cannot read suite " + SUITE + ": " in whole.stderr
    one = read_only_mount(tmp_path, "read", SUITE, "kHideBadgeKey")
    assert one.returncode == 1 and one.stdout == ""
    assert "vrk-defaults: cannot read suite " + SUITE + ": " in one.stderr

    # Where it can be repaired, it is, and the value is still there.
    repaired = tool(tmp_path, "read", SUITE)
    assert (repaired.returncode, json.loads(repaired.stdout)) == (0, {"kHideBadgeKey": True})
    assert (prefs / (SUITE + ".sqlite.corrupt-wal")).is_dir()

    # Once emptied, the suite reads as "{}" again: it opened and holds nothing.
    assert tool(tmp_path, "delete", SUITE).returncode == 0
    assert (tool(tmp_path, "read", SUITE).returncode, tool(tmp_path, "read", SUITE).stdout) == (
        0, "{}\n")
