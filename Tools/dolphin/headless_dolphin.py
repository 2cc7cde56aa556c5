"""Dolphin with our plug-ins, run headlessly as a plain user, for its end-to-end test, the demo
and the benchmark.

`isolated()` gives the command line that runs a program as an unprivileged user (Dolphin run by
root shows a banner about it) under a private X server (xvfb-run) and session bus
(dbus-run-session). Dolphin reads QT_PLUGIN_PATH for its plug-in folders, so the build's folder
(Tools/qtplugins, laid out as Qt's own) gives it our two plug-ins without any write below /usr.

`Dolphin` is used inside: it starts Dolphin on a folder and reads what it shows through the
accessibility tree (each item a "table cell" named after the file). Overlays and the open context
menu are not in the tree: emblems are found on the screen by their colours, and the menu plug-in
writes where it showed its entries to the trace (VRK_DOLPHIN_TRACE, lines "0 menu x y w h title").
"""

import os
import pathlib
import pwd
import shutil
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "nautilus"))
import headless  # noqa: E402

PLAIN_USER = "nobody"


def plugin_path(build):
    return pathlib.Path(build) / "Tools" / "qtplugins"


def missing(build):
    """Why Dolphin cannot be run here with the plug-ins, or None when it can."""
    plugins = plugin_path(build)
    for name in ("kf5/overlayicon/vrk-dolphin-overlays.so",
                 "kf5/kfileitemaction/vrk-dolphin-menu.so"):
        if not (plugins / name).exists():
            return f"{pathlib.Path(name).name} is not built (libkf5kio-dev missing)"
    for program in ("dolphin", "xvfb-run", "xdotool", "import", "setpriv", "dbus-send"):
        if shutil.which(program) is None:
            return f"{program} is not installed (./run setup)"
    probe = subprocess.run([headless.PYTHON, "-c", "import pyatspi"], capture_output=True)
    if probe.returncode != 0:
        return "python3-pyatspi is not installed (./run setup)"
    if os.geteuid() != 0:
        return "running Dolphin as a plain user needs root to change to that user"
    try:
        pwd.getpwnam(PLAIN_USER)
    except KeyError:
        return f"there is no user {PLAIN_USER}"
    return None


def give_to_plain_user(folder):
    """Makes `folder` and everything in it the plain user's."""
    user = pwd.getpwnam(PLAIN_USER)
    for root, dirs, files in os.walk(folder):
        for name in [root, *(os.path.join(root, n) for n in dirs + files)]:
            os.lchown(name, user.pw_uid, user.pw_gid)


def session_env(base, workdir, build):
    env = headless.session_env(base, workdir, build)
    env.update(QT_PLUGIN_PATH=str(plugin_path(build)), QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
               QT_QPA_PLATFORMTHEME="", XDG_RUNTIME_DIR=str(pathlib.Path(workdir) / "runtime"),
               USER=PLAIN_USER, LOGNAME=PLAIN_USER)
    (pathlib.Path(workdir) / "runtime").mkdir(mode=0o700, parents=True, exist_ok=True)
    return env


def isolated(argv):
    """The command that runs `argv` as described in the module's documentation above."""
    user = pwd.getpwnam(PLAIN_USER)
    return ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups", "--",
            "xvfb-run", "-a", "-s", f"-screen 0 {headless.SCREEN}", "dbus-run-session", "--",
            *argv]


def start_accessibility():
    """Qt's bridge finds the accessibility bus only if it runs when Dolphin starts."""
    subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                    "/org/a11y/bus", "org.a11y.Bus.GetAddress"], capture_output=True, timeout=30)


class Dolphin(headless.FileManager):
    """Dolphin inside the private session, showing `folder` in a window."""

    def __init__(self, folder, log_path, env=None):
        import pyatspi  # only inside the session: the accessibility bus is the session's

        self.atspi = pyatspi
        start_accessibility()
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(["dolphin", "--new-window", str(folder)], stdout=self.log,
                                     stderr=subprocess.STDOUT, env=env)

    def app(self):
        try:
            for app in self.atspi.Registry.getDesktop(0):
                if app is not None and app.name == "dolphin":
                    return app
        except Exception:  # the tree changes while it is read
            return None
        return None

    def shown(self):
        """Whether Dolphin's window is on the screen (without the accessibility tree)."""
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "dolphin"],
                             capture_output=True, text=True, timeout=10)
        return out.returncode == 0 and out.stdout.strip() != ""

    def window(self):
        return (self.find("frame", limit=1) or [None])[0]

    def colours_in_window(self):
        return self.colours(self.extents(self.window()))

    def cells(self):
        return {cell.name: cell for cell in self.find("table cell") if cell.name}

    def right_click(self, cell):
        x, y, w, h = self.extents(cell)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 3), "click", "3"],
                       check=True, timeout=10)


def menu_entries(trace):
    """{title: (x, y, w, h)} of the entries the menu plug-in last showed, from its trace."""
    entries = {}
    try:
        for line in open(trace):
            fields = line.rstrip("\n").split(" ", 6)
            if len(fields) == 7 and fields[1] == "menu":
                entries[fields[6]] = tuple(int(n) for n in fields[2:6])
    except OSError:
        pass
    return entries


def calls_per_item(trace):
    """{path: how many times Dolphin asked the overlay plug-in about it}, from the core's trace
    (one "answer" line per getOverlays call)."""
    calls = {}
    try:
        for line in open(trace):
            fields = line.rstrip("\n").split(" ", 5)
            if len(fields) == 6 and fields[1] == "answer":
                calls[fields[5]] = calls.get(fields[5], 0) + 1
    except OSError:
        pass
    return calls


def click(at):
    x, y, w, h = at
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"],
                   check=True, timeout=10)
