"""Nemo or Caja with our module, run headlessly, for their end-to-end tests and the demo.

`isolated()` gives the command line that runs a program with our module alone in the file
manager's extension folder: neither reads a variable for that folder, so a private mount
namespace (needs root) puts it there. Nemo's folder exists (it holds two helper programs too), so
a private copy of the whole folder with our module added is bind-mounted over it; Caja's folder
does not exist on a clean system, so an overlay over the library folder adds it. Then a private X
server (xvfb-run) and session bus (dbus-run-session), with the environment prepared by
Tools/nautilus/headless.py's `session_env()`.

`FileManager` is used inside: it starts the file manager on a folder and reads what it shows
through the accessibility tree (each item an "icon" named after the file; the open context menu a
"menu" of "menu item"s in a window of its own). Emblems are not in the tree: they are found on
the screen by their colours.
"""

import os
import pathlib
import shutil
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "nautilus"))
import headless  # noqa: E402

LIBDIR = "/usr/lib/x86_64-linux-gnu"
# What each file manager needs: its program, its module, its extension folder below LIBDIR and
# the development package that builds the module.
FILE_MANAGERS = {
    "nemo": {"program": ["nemo"], "module": "libvrk-nemo.so", "folder": "nemo/extensions-3.0",
             "dev": "libnemo-extension-dev", "app": "nemo"},
    "caja": {"program": ["caja", "--no-desktop"], "module": "libvrk-caja.so",
             "folder": "caja/extensions-2.0", "dev": "libcaja-extension-dev", "app": "caja"},
}


def missing(fm, build):
    """Why `fm` cannot be run here with the module, or None when it can."""
    info = FILE_MANAGERS[fm]
    if not (pathlib.Path(build) / "Tools" / info["module"]).exists():
        return f"{info['module']} is not built ({info['dev']} missing)"
    for program in (info["program"][0], "xvfb-run", "xdotool", "import", "unshare", "mount"):
        if shutil.which(program) is None:
            return f"{program} is not installed (./run setup)"
    probe = subprocess.run([headless.PYTHON, "-c", "import pyatspi"], capture_output=True)
    if probe.returncode != 0:
        return "python3-pyatspi is not installed (./run setup)"
    if os.geteuid() != 0:
        return "a private mount namespace for the extension folder needs root"
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        return "unshare -m is not permitted here"
    return None


def session_env(base, workdir, build):
    env = headless.session_env(base, workdir, build)
    # Both keep their settings through GSettings; a key file in the private home is theirs alone.
    env["GSETTINGS_BACKEND"] = "keyfile"
    return env


def isolated(fm, build, workdir, argv):
    """The command that runs `argv` as described in the module's documentation above."""
    info = FILE_MANAGERS[fm]
    workdir = pathlib.Path(workdir)
    module = pathlib.Path(build) / "Tools" / info["module"]
    if fm == "nemo":
        ours = workdir / "nemo-lib"
        if ours.exists():
            shutil.rmtree(ours)
        shutil.copytree(f"{LIBDIR}/nemo", ours, symlinks=True)
        (ours / "extensions-3.0").mkdir(exist_ok=True)
        for old in (ours / "extensions-3.0").iterdir():
            old.unlink()
        shutil.copy2(module, ours / "extensions-3.0")
        script = f'mount --bind "$1" {LIBDIR}/nemo && shift && exec "$@"'
        mount_args = [str(ours)]
    else:
        upper, work = workdir / "overlay-upper", workdir / "overlay-work"
        for folder in (upper, work):
            if folder.exists():
                shutil.rmtree(folder)
        (upper / info["folder"]).mkdir(parents=True)
        work.mkdir()
        shutil.copy2(module, upper / info["folder"])
        script = (f'mount -t overlay overlay -o lowerdir={LIBDIR},upperdir="$1",workdir="$2" '
                  f'{LIBDIR} && shift 2 && exec "$@"')
        mount_args = [str(upper), str(work)]
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", *mount_args,
            "xvfb-run", "-a", "-s", f"-screen 0 {headless.SCREEN}", "dbus-run-session", "--",
            *argv]


class FileManager(headless.FileManager):
    """Nemo or Caja inside the private session, showing `folder` in a window."""

    def __init__(self, fm, folder, log_path, env=None):
        import pyatspi  # only inside the session: the accessibility bus is the session's

        self.atspi = pyatspi
        self.fm = fm
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen([*FILE_MANAGERS[fm]["program"], str(folder)],
                                     stdout=self.log, stderr=subprocess.STDOUT, env=env)

    def app(self):
        try:
            for app in self.atspi.Registry.getDesktop(0):
                if app is not None and app.name == FILE_MANAGERS[self.fm]["app"]:
                    return app
        except Exception:  # the tree changes while it is read
            return None
        return None

    def view(self):
        """The view that holds the items (a "layered pane")."""
        return (self.find("layered pane", limit=1) or [None])[0]

    def colours_in_view(self):
        """The pixels of the view on the screen. The items' own rectangles are not to be had
        from GTK 3's icon view (their images report no position), so emblems are looked for in
        the whole view, with test emblems of one distinct colour each."""
        return self.colours(self.extents(self.view()))

    def right_click(self, cell):
        """Opens the item's context menu: selects it through the view and presses the menu
        key combination with the pointer over the view (without a window manager the keyboard
        goes to the window under the pointer)."""
        view = self.view()
        index = next(i for i in range(view.childCount) if view.getChildAtIndex(i).name == cell.name)
        selection = view.querySelection()
        selection.clearSelection()
        selection.selectChild(index)
        x, y, w, h = self.extents(view)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h - 10), "key",
                        "shift+F10"], check=True, timeout=10)

    def cell(self, name, timeout=20):
        return headless.wait_for(lambda: (self.find("icon", name, limit=1) or [None])[0], timeout)

    def cells(self):
        return {icon.name: icon for icon in self.find("icon") if icon.name}
