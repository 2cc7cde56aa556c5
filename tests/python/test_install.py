"""The Debian package, installed into a throw-away root with dpkg-deb -x, used as a person would
use it: the module from the interpreter's own search path (no PYTHONPATH, no VRK_MAIN_BUNDLE),
the installed vrk-finder and extension running the demo, and a C++ client built with pkg-config.
./run test makes the package (BUILD/package) before pytest runs."""

import ast
import importlib.machinery
import importlib.util
import json
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

from conftest import BUILD, SOURCE

PYTHON = "/usr/bin/python3"
DEMO = SOURCE / "Tools" / "demo" / "run-demo"


def rooted_code():
    """The demo's launcher that roots the interpreter's default search path at a folder."""
    loader = importlib.machinery.SourceFileLoader("run_demo", str(DEMO))
    spec = importlib.util.spec_from_loader("run_demo", loader)
    demo = importlib.util.module_from_spec(spec)
    loader.exec_module(demo)
    return demo.ROOTED


@pytest.fixture(scope="module")
def installed():
    debs = sorted((BUILD / "package").glob("vrkfindersync_*.deb"))
    if not debs:
        pytest.skip("no package in BUILD/package: ./run package (or ./run test) makes it")
    root = pathlib.Path(tempfile.mkdtemp(prefix="vrk-install.", dir="/tmp"))
    # The core package and the file managers' module packages beside it, as a person installs
    # them together.
    for deb in [debs[-1], *sorted((BUILD / "package").glob("vrkfindersync-*_*.deb"))]:
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    version = subprocess.run(["dpkg-deb", "-f", str(debs[-1]), "Version"], check=True,
                             capture_output=True, text=True).stdout.strip()
    yield root, version
    shutil.rmtree(root, ignore_errors=True)


def test_lintian_finds_no_error_in_the_packages():
    """Run here as well as by ./run package, so that a part that adds files to a package learns
    at once when Debian's rules refuse them (the warnings that remain are listed in README.md)."""
    debs = sorted((BUILD / "package").glob("vrkfindersync*.deb"))
    if not debs or not shutil.which("lintian"):
        pytest.skip("no package, or no lintian (./run setup installs it)")
    out = subprocess.run(["lintian", "--fail-on", "error", *map(str, debs)], capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VRK_MAIN_BUNDLE")}
    env.update(extra)
    return env


def run_installed_python(root, code, env):
    with tempfile.NamedTemporaryFile("w", suffix=".py") as script:
        script.write(code)
        script.flush()
        return subprocess.run([PYTHON, "-c", rooted_code(), str(root), script.name], env=env,
                              capture_output=True, text=True, timeout=30)


REPORT = """import os, json, vrkfindersync
maps = [l.split()[-1] for l in open("/proc/self/maps") if "libVRKFinderSync" in l]
print(json.dumps({"version": vrkfindersync.__version__, "module": vrkfindersync.__file__,
                  "library": maps[0] if maps else None,
                  "bundle": os.environ.get("VRK_MAIN_BUNDLE")}))
"""


def test_the_installed_module_imports_from_the_default_path_and_finds_its_bundle(installed):
    root, version = installed
    modules = list(root.glob("usr/lib/**/vrkfindersync*.so"))
    assert len(modules) == 1, modules
    # The folder it lies in is one that Debian's interpreter searches without PYTHONPATH.
    default_path = subprocess.run([PYTHON, "-c", "import sys; print('\\n'.join(sys.path))"],
                                  env=clean_env(), capture_output=True, text=True,
                                  check=True).stdout.split()
    assert "/" + str(modules[0].parent.relative_to(root)) in default_path

    out = run_installed_python(root, REPORT, clean_env())
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout)
    assert version.startswith(report["version"] + "-")
    assert pathlib.Path(report["module"]) == modules[0]
    # The installed library, not the build's, found through the module's own search path.
    assert pathlib.Path(report["library"]).is_relative_to(root)
    bundle = pathlib.Path(report["bundle"])
    assert bundle.is_relative_to(root) and bundle.name == "Sync.app"
    assert (bundle / "Contents/Info.plist").is_file()
    assert os.access(bundle / "Contents/PlugIns/VRKFinderSyncExtension.appex/Contents/MacOS/"
                     "VRKFinderSyncExtension", os.X_OK)

    # A bundle the client names itself always wins.
    out = run_installed_python(root, REPORT, clean_env(VRK_MAIN_BUNDLE=str(BUILD / "Sync.app")))
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)["bundle"] == str(BUILD / "Sync.app")


def test_the_installed_finder_and_extension_run_the_demo(installed):
    root, _ = installed
    out = subprocess.run([str(DEMO), "--installed", str(root)], env=clean_env(),
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
    assert "Demo finished:" in out.stdout


CLIENT = r"""#include "VRKFinderSync/VRKFinderSync.h"
#include "VRKFinderSync/VRKMenuItemInfo.h"

int main() {
  vrk::Object item = vrk::VRKFinderSync::vrk_menuItemWithTitle("Share", 4);
  return vrk::VRKFinderSync::vrk_isYosemiteOrHigher() && !item.isNil() ? 0 : 1;
}
"""


def test_a_cpp_client_builds_against_the_installed_headers_with_pkg_config(installed, tmp_path):
    root, _ = installed
    pcs = list(root.glob("usr/lib/**/pkgconfig/vrkfindersync.pc"))
    assert len(pcs) == 1, pcs
    env = clean_env(PKG_CONFIG_PATH=str(pcs[0].parent), PKG_CONFIG_SYSROOT_DIR=str(root))
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "vrkfindersync"], env=env,
                           capture_output=True, text=True, check=True).stdout.split()
    (tmp_path / "client.cc").write_text(CLIENT)
    build = subprocess.run(["c++", "-std=c++20", str(tmp_path / "client.cc"), "-o",
                            str(tmp_path / "client"), *flags], capture_output=True, text=True,
                           timeout=120)
    assert build.returncode == 0, build.stderr[-3000:]
    libdir = next(f[2:] for f in flags if f.startswith("-L"))
    run = subprocess.run([str(tmp_path / "client")], timeout=30, capture_output=True, text=True,
                         env=clean_env(LD_LIBRARY_PATH=libdir, VRK_ROOT=str(tmp_path / "root")))
    assert run.returncode == 0, run.stderr


def stub_names(tree):
    """Public names of the stub, as "name" and "Class.member"."""
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        if isinstance(node, ast.ClassDef):
            names |= {f"{node.name}.{n.name}" for n in node.body
                      if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")}
    return names


def test_the_stub_describes_exactly_what_the_module_offers():
    tree = ast.parse((SOURCE / "Python" / "vrkfindersync.pyi").read_text())
    stub = stub_names(tree)
    code = """import json, vrkfindersync as m
out = {}
for name in dir(m):
    value = getattr(m, name)
    if name.startswith("_"):
        continue
    out[name] = sorted(n for n in vars(value) if not n.startswith("_")) \\
        if isinstance(value, type) else []
print(json.dumps(sorted([name] + [f"{name}.{n}" for n in members]
                        for name, members in out.items())))
"""
    env = dict(os.environ, PYTHONPATH=str(BUILD / "Python"))
    out = subprocess.run([PYTHON, "-c", code], env=env, capture_output=True, text=True,
                         timeout=30)
    assert out.returncode == 0, out.stderr
    module = {name for group in json.loads(out.stdout) for name in group}
    assert module == stub, "Python/vrkfindersync.pyi must describe the module exactly"


def test_the_installed_library_registers_its_extension_with_the_installed_pluginkit(installed,
                                                                                    tmp_path):
    root, _ = installed
    env = clean_env(VRK_ROOT=str(tmp_path))
    out = run_installed_python(root, """import json, os, vrkfindersync as v
print(json.dumps([v.VRKFinderSync.inject(), v.VRKYosemiteFindSyncExtensionHelper._pluginPath()]))
""", env)
    assert out.returncode == 0, out.stderr
    injected, appex = json.loads(out.stdout)
    assert injected is True
    assert pathlib.Path(appex) == root / ("usr/lib/vrkfindersync/Sync.app/Contents/PlugIns/"
                                          "VRKFinderSyncExtension.appex")
    # The emulated root's tool is the installed one, not the build tree's.
    pluginkit = tmp_path / "usr/bin/pluginkit"
    assert pluginkit.resolve() == root / "usr/libexec/vrkfindersync/pluginkit"
    listed = subprocess.run([str(pluginkit), "-m", "-v", "-i", "com.mirelta.sync.extension"],
                            env=env, capture_output=True, text=True, check=True, timeout=30)
    assert listed.stdout.rstrip().endswith("\t" + appex)


def test_the_readme_quick_start_works_with_the_installed_system(installed, tmp_path):
    """The README's quick start, run as written against the installed module and vrk-finder."""
    root, _ = installed
    readme = (SOURCE / "README.md").read_text()
    section = readme[readme.index("### Quick start"):]
    code = section[section.index("```python\n") + 10:]
    code = code[:code.index("```")]
    sync = tmp_path / "Sync"
    sync.mkdir()
    (sync / "report.txt").write_text("r")
    (sync / "notes.txt").write_text("n")
    script = tmp_path / "quickstart.py"
    script.write_text(code.replace("/home/me/Sync", str(sync)))
    env = clean_env(VRK_ROOT=str(tmp_path / "root"), PYTHONUNBUFFERED="1")
    client = subprocess.Popen([PYTHON, "-c", rooted_code(), str(root), str(script)], env=env,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        first = client.stdout.readline()
        assert first.startswith("serving badges"), repr(first) + client.stderr.read()[-2000:]
        commands = [["show", str(sync)], ["wait-badge", str(sync / "report.txt"), "0", 5000],
                    ["wait-badge", str(sync / "notes.txt"), "2", 5000], ["quit"]]
        finder = subprocess.run([str(root / "usr/bin/vrk-finder")], env=env, timeout=60,
                                input="".join(json.dumps(c) + "\n" for c in commands),
                                capture_output=True, text=True)
        answers = [json.loads(line) for line in finder.stdout.splitlines()]
        assert [a.get("ok") for a in answers[1:]] == [True, True, True], finder.stdout
        client.stdin.write("\n")  # Enter ends the client
        client.stdin.close()
        assert client.wait(timeout=30) == 0, client.stderr.read()[-2000:]
    finally:
        if client.poll() is None:
            client.kill()
            client.wait()


LEGACY_CLIENT = """import json, sys, vrkfindersync as v
root = sys.argv[1]
injected = v.VRKFinderSync.inject()
v.VRKFinderSync.setRootFolderPath(root)
v.VRKFinderSync.hideIcons(False)
v.VRKFinderSync.setIconType(2, root + "/a.txt")
print(json.dumps(injected), flush=True)
sys.stdin.readline()
"""


def test_before_10_10_the_installed_finder_loads_the_installed_legacy_bundle(installed, tmp_path):
    root, _ = installed
    osax = "Contents/Library/ScriptingAdditions/VRKFinderPlugin.osax"
    shipped = root / "usr/lib/vrkfindersync/Sync.app" / osax
    if not shipped.exists():
        pytest.skip("this build has no legacy Finder bundle")
    sync = tmp_path / "Sync"
    sync.mkdir()
    (sync / "a.txt").write_text("a")
    env = clean_env(VRK_ROOT=str(tmp_path / "root"), VRK_MACOS_VERSION="10.9")
    finder = subprocess.Popen([str(root / "usr/bin/vrk-finder")], env=env, text=True,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    script = tmp_path / "legacy_client.py"
    script.write_text(LEGACY_CLIENT)
    client = None
    try:
        finder.stdin.write('["state"]\n')  # answered once it owns its bus name
        finder.stdin.flush()
        assert finder.stdout.readline()
        client = subprocess.Popen([PYTHON, "-c", rooted_code(), str(root), str(script),
                                   str(sync)], env=env, text=True, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert client.stdout.readline().strip() == "true", client.stderr.read()[-2000:]
        deadline = time.monotonic() + 10
        while True:  # the bundle takes the badge from the library over the session bus
            finder.stdin.write('["badges"]\n')
            finder.stdin.flush()
            badges = json.loads(finder.stdout.readline())["badges"]
            if badges.get(str(sync / "a.txt")) == "2":
                break
            assert time.monotonic() < deadline, badges
            time.sleep(0.05)
        # The bundle Finder loaded is the installed one, not the build tree's.
        copied = tmp_path / "root/home/Library/ScriptingAdditions/VRKFinderPlugin.osax"
        module = "Contents/MacOS/VRKFinderPlugin.so"
        assert (copied / module).read_bytes() == (shipped / module).read_bytes()
    finally:
        for proc in (client, finder):
            if proc is not None and proc.poll() is None:
                proc.stdin.close()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def test_the_installed_vrk_defaults_reads_what_the_installed_library_stored(installed, tmp_path):
    root, _ = installed
    tool = root / "usr/bin/vrk-defaults"
    if not tool.exists():
        pytest.skip("this build has no vrk-defaults")
    env = clean_env(VRK_ROOT=str(tmp_path / "root"))
    out = run_installed_python(root, f"""import vrkfindersync as v
v.VRKFinderSync.setRootFolderPath({str(tmp_path)!r})
""", env)
    assert out.returncode == 0, out.stderr
    read = subprocess.run([str(tool), "read", "group.com.mirelta.sync", "kRootFolderPathKey"],
                          env=env, capture_output=True, text=True, timeout=30)
    assert read.returncode == 0, read.stderr
    assert json.loads(read.stdout) == str(tmp_path)


HELPER = "com.mirelta.sync.VRKLaunchDaemon"


def stop_helper(vrk_root):
    """Ends the helper a test started (it holds its lock file while it runs)."""
    lock = vrk_root / "var/run/xpc" / (HELPER + ".lock")
    try:
        pid = int(lock.read_text().strip() or 0)
    except (FileNotFoundError, ValueError):
        return
    if pid:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


def test_the_installed_library_blesses_the_shipped_helper_and_the_installed_tool_copies(
        installed, tmp_path):
    root, _ = installed
    shipped = root / "usr/lib/vrkfindersync/Sync.app/Contents/Library/LaunchServices" / HELPER
    if not shipped.exists():
        pytest.skip("this build has no privileged helper")
    vrk_root = pathlib.Path(tempfile.mkdtemp(prefix="vrk.", dir="/tmp"))  # short socket paths
    env = clean_env(VRK_ROOT=str(vrk_root))
    try:
        out = run_installed_python(root, """import json, vrkfindersync as v
print(json.dumps(v.VRKFinderSync.tryInstallLaunchDaemon()))
""", env)
        assert out.returncode == 0, out.stderr
        assert json.loads(out.stdout.splitlines()[-1]) is True, out.stderr
        # The helper that went into the emulated root is the one the package ships.
        blessed = vrk_root / "Library/PrivilegedHelperTools" / HELPER
        assert blessed.read_bytes() == shipped.read_bytes()
        source = tmp_path / "a file"
        source.write_text("contents")
        copy = subprocess.run([str(root / "usr/bin/vrk-helper-copy"), str(source),
                               str(tmp_path / "the copy")], env=env, capture_output=True,
                              text=True, timeout=60)
        assert copy.returncode == 0, copy.stdout + copy.stderr
        assert (tmp_path / "the copy").read_text() == "contents"
    finally:
        stop_helper(vrk_root)
        shutil.rmtree(vrk_root, ignore_errors=True)


def as_plain_user(argv):
    """`argv` run as a user without privileges: nobody when the tests run as root."""
    if os.geteuid() != 0:
        return argv
    if not shutil.which("setpriv"):
        pytest.skip("setpriv is not installed")
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", *argv]


def extension_folder(package):
    """The folder a GTK file manager loads its modules from, as its development files say."""
    return subprocess.run(["pkg-config", "--variable=extensiondir", package], capture_output=True,
                          text=True, check=True).stdout.strip()


def qt_plugin_folder():
    """Qt's plug-in folder, below which Dolphin looks for its plug-ins' folders."""
    qmake = shutil.which("qmake") or "/usr/lib/qt5/bin/qmake"
    return subprocess.run([qmake, "-query", "QT_INSTALL_PLUGINS"], capture_output=True, text=True,
                          check=True).stdout.strip()


# Each file manager's module test, the module files it loads with the variable that names the
# installed copy to it, where the file manager looks for them, and the names of its emblems.
# GNOME Files looks up emblems as vrk-<image>; Nemo and Caja add the emblem- prefix; Dolphin
# takes overlay names as the icon theme's names.
FILE_MANAGERS = {
    "nautilus": dict(
        test="Tools/nautilus_module_test", filter="NautilusModuleTest.BadgesBecomeEmblemsOnlyInside*",
        modules={"VRK_NAUTILUS_MODULE_PATH": ("Tools/libvrk-nautilus.so", "libvrk-nautilus.so")},
        folder=lambda: extension_folder("libnautilus-extension-4"), emblem="vrk-{}.svg"),
    "nemo": dict(
        test="Tools/nemo_module_test", filter="NemoModuleTest.BadgesArriveAsEmblems*",
        modules={"VRK_FM_MODULE_PATH": ("Tools/libvrk-nemo.so", "libvrk-nemo.so")},
        folder=lambda: extension_folder("libnemo-extension"), emblem="emblem-vrk-{}.svg"),
    "caja": dict(
        test="Tools/caja_module_test", filter="CajaModuleTest.BadgesArriveAsEmblems*",
        modules={"VRK_FM_MODULE_PATH": ("Tools/libvrk-caja.so", "libvrk-caja.so")},
        folder=lambda: extension_folder("libcaja-extension"), emblem="emblem-vrk-{}.svg"),
    "dolphin": dict(
        test="Tools/dolphin_plugins_test",
        filter="DolphinPlugins.BadgesArriveAsOverlays*:DolphinPlugins.TheMenuOfOneItem*",
        modules={
            "VRK_DOLPHIN_OVERLAYS_PATH": ("Tools/qtplugins/kf5/overlayicon/vrk-dolphin-overlays.so",
                                          "kf5/overlayicon/vrk-dolphin-overlays.so"),
            "VRK_DOLPHIN_MENU_PATH": ("Tools/qtplugins/kf5/kfileitemaction/vrk-dolphin-menu.so",
                                      "kf5/kfileitemaction/vrk-dolphin-menu.so")},
        folder=qt_plugin_folder, emblem="vrk-{}.svg"),
}


@pytest.mark.parametrize("fm", FILE_MANAGERS)
def test_each_file_manager_finds_the_installed_module_and_emblems_as_a_plain_user(installed, fm):
    """A file manager loads modules only from its own folder and takes emblems from the icon
    theme folders of XDG_DATA_DIRS, /usr/share by default: the packages must put both there, and
    the module must serve a user without privileges, loaded from there."""
    root, _ = installed
    kind = FILE_MANAGERS[fm]
    module_test = BUILD / kind["test"]
    if not module_test.exists() or not all((BUILD / built).exists()
                                           for built, _ in kind["modules"].values()):
        pytest.skip(f"the {fm} module is not built (its development files are missing)")
    folder = kind["folder"]()
    env = dict(os.environ, HOME="/tmp")
    for variable, (_, relative) in kind["modules"].items():
        module = root / folder.lstrip("/") / relative
        assert module.is_file(), f"{relative} is not in {fm}'s folder {folder}"
        env[variable] = str(module)
    emblems = root / "usr/share/icons/hicolor/scalable/emblems"
    for name in ("processing", "paused", "succeeded", "failed", "locked", "forbidden"):
        assert (emblems / kind["emblem"].format(name)).is_file(), name
    # The unpacked root is root's; the plain user reads it as any user reads /usr.
    os.chmod(root, 0o755)
    run = subprocess.run(as_plain_user([str(module_test), f"--gtest_filter={kind['filter']}"]),
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    wanted = kind["filter"].count(":") + 1
    assert f"{wanted} test" in run.stdout and "PASSED" in run.stdout, run.stdout[-3000:]


def test_each_file_manager_module_has_a_package_of_its_own(installed):
    """The core package must not depend on any file manager; each module's package holds only its
    module and its papers, and depends on the core package and its file manager's library."""
    debs = {deb.name.split("_")[0]: deb for deb in (BUILD / "package").glob("vrkfindersync*.deb")}
    core = subprocess.run(["dpkg-deb", "-f", str(debs["vrkfindersync"]), "Depends"],
                          capture_output=True, text=True, check=True).stdout
    for fm, library in (("nautilus", "libnautilus-extension"), ("nemo", "libnemo-extension"),
                        ("caja", "libcaja-extension"), ("dolphin", "libkf5kiowidgets")):
        assert library not in core
        deb = debs.get(f"vrkfindersync-{fm}")
        if deb is None:
            continue  # not built here
        depends = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], capture_output=True,
                                 text=True, check=True).stdout
        assert "vrkfindersync (=" in depends and library in depends, depends
        files = subprocess.run(["dpkg-deb", "-c", str(deb)], capture_output=True, text=True,
                               check=True).stdout.splitlines()
        shipped = [line.split()[-1] for line in files if not line.startswith("d")]
        if fm == "dolphin":
            # Its two plug-ins, in the folders below Qt's plug-in folder that Dolphin scans.
            assert sorted(f.split("/qt5/plugins/")[-1] for f in shipped if f.endswith(".so")) == [
                "kf5/kfileitemaction/vrk-dolphin-menu.so",
                "kf5/overlayicon/vrk-dolphin-overlays.so"], shipped
        else:
            assert [f for f in shipped if f.endswith(".so")] == [
                next(f for f in shipped if f.endswith(f"libvrk-{fm}.so"))]
        assert all(f.endswith(".so") or f"/doc/vrkfindersync-{fm}/" in f for f in shipped), shipped
