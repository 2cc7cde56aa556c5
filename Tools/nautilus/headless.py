"""GNOME Files with the vrk module, run headlessly, for the end-to-end test, the demo and the
benchmark.

`isolated()` gives the command line that runs a program with our module alone in GNOME Files'
extension folder (a private mount namespace bind-mounts a folder holding only
libvrk-nautilus.so over the system's; needs root), a private X server (xvfb-run) and a private
session bus (dbus-run-session). GNOME Files started from inside by D-Bus activation inherits the
bus daemon's environment, so `session_env()` prepares the environment before all of that.

`FileManager` is used inside: it starts GNOME Files, opens a folder through
org.freedesktop.FileManager1, and reads what it shows through the accessibility tree (each item
is a "table cell" named after the file; its icon and each emblem are "image" children).
"""

import os
import pathlib
import shutil
import subprocess
import time

PYTHON = "/usr/bin/python3"
DEFAULT_EXTENSION_DIR = "/usr/lib/x86_64-linux-gnu/nautilus/extensions-4"
SCREEN = "1280x800x24"


def extension_dir():
    try:
        out = subprocess.run(["pkg-config", "--variable=extensiondir", "libnautilus-extension-4"],
                             capture_output=True, text=True, timeout=10)
        if out.returncode == 0 and out.stdout.strip():
            return out.stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        pass
    return DEFAULT_EXTENSION_DIR


def missing(build):
    """Why GNOME Files cannot be run here with the module, or None when it can."""
    build = pathlib.Path(build)
    if not (build / "Tools" / "libvrk-nautilus.so").exists():
        return "libvrk-nautilus.so is not built (libnautilus-extension-dev missing)"
    for program in ("nautilus", "xvfb-run", "xdotool", "import", "gdbus", "unshare"):
        if shutil.which(program) is None:
            return f"{program} is not installed (./run setup)"
    probe = subprocess.run([PYTHON, "-c", "import pyatspi"], capture_output=True)
    if probe.returncode != 0:
        return "python3-pyatspi is not installed (./run setup)"
    if os.geteuid() != 0:
        return "a private mount namespace for the extension folder needs root"
    if not os.path.isdir(extension_dir()):
        return f"{extension_dir()} does not exist"
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        return "unshare -m is not permitted here"
    return None


def session_env(base, workdir, build):
    """The environment of a private GNOME Files session in `workdir`, with the build's emblems."""
    workdir = pathlib.Path(workdir)
    env = dict(base)
    home = workdir / "home"
    data = workdir / "data"
    for folder in (home, data, home / ".config", home / ".cache"):
        folder.mkdir(parents=True, exist_ok=True)
    shutil.copytree(pathlib.Path(build) / "share" / "icons", data / "icons", dirs_exist_ok=True)
    env.update(HOME=str(home), XDG_DATA_HOME=str(data), XDG_CONFIG_HOME=str(home / ".config"),
               XDG_CACHE_HOME=str(home / ".cache"), GSETTINGS_BACKEND="memory",
               GSK_RENDERER="cairo")
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE"):
        env.pop(name, None)
    return env


def isolated(build, workdir, argv):
    """The command that runs `argv` as described in the module's documentation above."""
    ours = pathlib.Path(workdir) / "extensions"
    ours.mkdir(parents=True, exist_ok=True)
    shutil.copy2(pathlib.Path(build) / "Tools" / "libvrk-nautilus.so", ours)
    script = 'mount --bind "$1" "$2" && shift 2 && exec "$@"'
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", str(ours),
            extension_dir(), "xvfb-run", "-a", "-s", f"-screen 0 {SCREEN}", "dbus-run-session",
            "--", *argv]


def start_sync_client(build, folder, env, log_path):
    """The demo sync client (Tools/demo/sync_client.py) serving `folder`, once it says it is
    ready. Its further events are read and dropped (a full pipe would stop it); its commands go
    to its standard input. End it by closing that (stop_sync_client)."""
    import json
    import threading

    client_env = dict(env, PYTHONPATH=str(pathlib.Path(build) / "Python"),
                      VRK_MAIN_BUNDLE=str(pathlib.Path(build) / "Sync.app"), PYTHONUNBUFFERED="1")
    client = subprocess.Popen(
        [PYTHON, str(pathlib.Path(__file__).resolve().parents[1] / "demo" / "sync_client.py"),
         str(folder)], env=client_env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        stderr=open(log_path, "a"), text=True)
    for line in client.stdout:
        if json.loads(line).get("event") == "ready":
            break
    threading.Thread(target=lambda out: [None for _ in out], args=(client.stdout,),
                     daemon=True).start()
    return client


def stop_sync_client(client):
    try:
        client.stdin.close()
        client.wait(30)
    except (BrokenPipeError, subprocess.TimeoutExpired):
        client.kill()
        client.wait()


def wait_for(predicate, timeout, step=0.05):
    """predicate()'s first true value within `timeout` seconds, or None."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            return None
        time.sleep(step)


class FileManager:
    """GNOME Files inside the private session (see the module's documentation)."""

    def __init__(self, log_path, env=None):
        import pyatspi  # only inside the session: the accessibility bus is the session's

        self.atspi = pyatspi
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(["nautilus", "--gapplication-service"], stdout=self.log,
                                     stderr=subprocess.STDOUT, env=env)

    def owns(self, name):
        out = subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                              "--object-path", "/org/freedesktop/DBus", "--method",
                              "org.freedesktop.DBus.NameHasOwner", name],
                             capture_output=True, text=True, timeout=30)
        return "true" in out.stdout

    def wait_started(self, timeout=60):
        # Calling before GNOME Files owns the name would start a second one by activation.
        if not wait_for(lambda: self.owns("org.freedesktop.FileManager1"), timeout, step=0.2):
            raise AssertionError("GNOME Files did not start: see " + self.log.name)

    def show(self, folder):
        """Opens `folder` in a window (org.freedesktop.FileManager1.ShowFolders)."""
        self.wait_started()
        uri = pathlib.Path(folder).as_uri()
        subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1",
                        "--object-path", "/org/freedesktop/FileManager1", "--method",
                        "org.freedesktop.FileManager1.ShowFolders", f"['{uri}']", ""],
                       check=True, capture_output=True, timeout=30)

    def app(self):
        try:
            for app in self.atspi.Registry.getDesktop(0):
                if app is not None and app.name == "org.gnome.Nautilus":
                    return app
        except Exception:  # the tree changes while it is read
            return None
        return None

    def _find(self, root, predicate, found, limit=None):
        try:
            if predicate(root):
                found.append(root)
                if limit and len(found) >= limit:
                    return found
            for child in root:
                if child is not None:
                    self._find(child, predicate, found, limit)
                    if limit and len(found) >= limit:
                        return found
        except Exception:  # an object that went away while it was read
            pass
        return found

    def find(self, role, name=None, limit=None):
        app = self.app()
        if app is None:
            return []
        return self._find(app, lambda a: a.getRoleName() == role and
                          (name is None or a.name == name), [], limit)

    def cells(self):
        """{file name: cell} of the items shown."""
        return {cell.name: cell for cell in self.find("table cell")
                if cell.name and cell.name != "NautilusGridCell"}

    def visible_cells(self):
        """The names of the items shown on the screen (the view also makes cells for rows just
        outside it)."""
        width, height = (int(n) for n in SCREEN.split("x")[:2])
        names = []
        for name, cell in self.cells().items():
            try:
                x, y, w, h = self.extents(cell)
            except Exception:  # the cell went away while it was read
                continue
            if w > 0 and h > 0 and x + w > 0 and y + h > 0 and x < width and y < height:
                names.append(name)
        return names

    def cell(self, name, timeout=20):
        return wait_for(lambda: (self.find("table cell", name, limit=1) or [None])[0], timeout)

    def images(self, cell):
        return self._find(cell, lambda a: a.getRoleName() == "image", [])

    def emblems(self, cell):
        """The emblem images of an item: every image after its icon."""
        return self.images(cell)[1:]

    def extents(self, accessible):
        e = accessible.queryComponent().getExtents(self.atspi.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def right_click(self, cell):
        x, y, w, h = self.extents(cell)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 3), "click", "3"],
                       check=True, timeout=10)

    def menu_items(self):
        return [item for item in self.find("menu item") if item.name]

    def activate(self, accessible):
        accessible.queryAction().doAction(0)

    def screenshot(self, path, trim=False):
        """The whole screen as a PNG; trimmed of the empty (black) screen around the windows."""
        args = ["import", "-window", "root"]
        if trim:
            args += ["-trim", "+repage"]
        subprocess.run(args + [str(path)], check=True, timeout=30)

    def colours(self, crop):
        """The pixels of a rectangle of the screen as (r, g, b) tuples."""
        x, y, w, h = crop
        out = subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}",
                              "+repage", "-depth", "8", "rgb:-"], check=True, timeout=30,
                             capture_output=True).stdout
        return [tuple(out[i:i + 3]) for i in range(0, len(out) - 2, 3)]

    def quit(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
