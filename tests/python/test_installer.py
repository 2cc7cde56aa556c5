"""The extension installer as a sync client uses it: the library's inject() and the helper's
class methods from Python, with the real pluginkit in a private emulated root."""

import json
import pathlib
import subprocess
import sys

from conftest import BUILD, tool

OWN = str(BUILD / "Sync.app/Contents/PlugIns/VRKFinderSyncExtension.appex")
ID = "com.mirelta.sync.extension"


def pluginkit(env, *args):
    return subprocess.run([tool("pluginkit"), *args], env=env, capture_output=True, text=True,
                          timeout=30)


def in_client(env, code):
    """Runs `code` in a Python client process; returns what it printed as JSON."""
    out = subprocess.run([sys.executable, "-c", "import json, vrkfindersync as v\n" + code],
                         env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout), out.stderr


def stale_copy(env, folder):
    """A copy of the extension elsewhere (as an older install left it), registered."""
    appex = pathlib.Path(env["VRK_ROOT"]) / folder / "VRKFinderSyncExtension.appex"
    (appex / "Contents").mkdir(parents=True)
    (appex / "Contents/Info.plist").write_bytes(
        (pathlib.Path(OWN) / "Contents/Info.plist").read_bytes())
    assert pluginkit(env, "-a", str(appex)).returncode == 0
    return str(appex)


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
