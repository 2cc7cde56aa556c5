"""The extension installer as a sync client uses it: the library's inject() and the helper's
class methods from Python, with the real pluginkit in a private emulated root."""

import json
import subprocess
import sys

from conftest import OWN_APPEX as OWN
from conftest import pluginkit, stale_copy

ID = "com.mirelta.sync.extension"


def in_client(env, code):
    """Runs `code` in a Python client process; returns what it printed as JSON."""
    out = subprocess.run([sys.executable, "-c", "import json, vrkfindersync as v\n" + code],
                         env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout), out.stderr


def test_the_helpers_class_methods_under_their_own_names(vrk_env):
    stale = stale_copy(vrk_env, "Old")
    H = "v.VRKYosemiteFindSyncExtensionHelper"
    result, log = in_client(vrk_env, f"""
print(json.dumps([{H}._pluginPath(), {H}._installedPluginPath(), {H}.isInstalled(),
                  {H}.tryReinstall(), {H}.isInstalled(), {H}.isEnabled(), {H}.tryEnable(),
                  {H}._runCommand("printf 'out'; exit 4"), {H}._runCommand("printf '\\\\377'")]))
""")
    assert result == [OWN, stale, False, True, True, True, False, ["out", 1], [None, 1]]
    assert "[VRK Finder sync client] Extension is already enabled." in log
    assert pluginkit(vrk_env, "-m", "-v", "-i", ID).stdout == f"?    {ID}(1.0)\t{OWN}\n"


def test_inject_installs_and_enables_and_says_yes(vrk_env):
    stale_copy(vrk_env, "Old")
    assert pluginkit(vrk_env, "-e", "ignore", "-i", ID).returncode == 0
    result, log = in_client(vrk_env, "print(json.dumps(v.VRKFinderSync.inject()))")
    assert result is True
    assert pluginkit(vrk_env, "-m", "-v", "-i", ID).stdout == f"+    {ID}(1.0)\t{OWN}\n"
    assert f"Run command:{vrk_env['VRK_ROOT']}/usr/bin/pluginkit -a {OWN}" in log
