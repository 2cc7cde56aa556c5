"""vrk-defaults against a private emulated root: what it writes the library's store reads."""
import json
import os
import subprocess

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
