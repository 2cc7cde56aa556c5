"""Shared fixtures of the cross-process Python tests.

Every test gets its own emulated root (VRK_ROOT) and runs its sync client in a child process
with a time-out, so a deadlock fails the test instead of hanging the run. The session bus is
the private one that ./run starts around pytest."""

import json
import os
import pathlib
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("VRK_BUILD_DIR", SOURCE / "build"))
CLIENTS = SOURCE / "tests" / "clients"
SERVICE = "group.com.mirelta.sync.machport"


def tool(name):
    for candidate in (BUILD / "Tools" / name, BUILD / "Tools" / name.removeprefix("vrk-") / name):
        if candidate.exists():
            return str(candidate)
    pytest.skip(f"{name} is not built")


@pytest.fixture
def vrk_env():
    root = tempfile.mkdtemp(prefix="vrk.", dir="/tmp")
    env = dict(os.environ)
    env.update(
        VRK_ROOT=root,
        VRK_MAIN_BUNDLE=str(BUILD / "Sync.app"),
        PYTHONPATH=str(BUILD / "Python"),
        PYTHONUNBUFFERED="1",
    )
    env.pop("VRK_MACOS_VERSION", None)
    yield env
    shutil.rmtree(root, ignore_errors=True)


class Client:
    """A sync client in its own Python process, speaking JSON lines on stdout."""

    def __init__(self, env, script, *args):
        self.proc = subprocess.Popen(
            [sys.executable if os.path.exists(sys.executable) else "/usr/bin/python3",
             str(CLIENTS / script), *args],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True)
        self.env = env
        # A reader thread, so that lines already buffered by one read are never missed.
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def event(self, timeout=10):
        """The next JSON event the client printed."""
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("the client printed nothing in time") from None
        if line is None:
            raise AssertionError("the client ended: " + self.proc.stderr.read())
        return json.loads(line)

    def command(self, *words):
        self.proc.stdin.write(json.dumps(list(words)) + "\n")
        self.proc.stdin.flush()

    def wait_listening(self, timeout=10):
        socket = pathlib.Path(self.env["VRK_ROOT"]) / "var/run/bootstrap" / SERVICE
        deadline = time.monotonic() + timeout
        while not socket.exists():
            if time.monotonic() > deadline:
                raise AssertionError("the library's listener never registered")
            time.sleep(0.01)

    def finish(self, timeout=10):
        """Ends the client and returns its log (standard error)."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        err = self.proc.stderr.read()
        self.reader.join(timeout)
        self.proc.stderr.close()
        return err


@pytest.fixture
def client(vrk_env):
    started = []

    def start(script, *args):
        c = Client(vrk_env, script, *args)
        started.append(c)
        return c

    yield start
    for c in started:
        if c.proc.poll() is None:
            c.proc.kill()
            c.proc.wait()


def probe(env, *args, timeout=10):
    """The extension's end of the bridge, as a separate process; returns its JSON answer."""
    out = subprocess.run([tool("vrk-bridge-probe"), *map(str, args)], env=env, timeout=timeout,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout), out.stderr


class Finder:
    """vrk-finder with the real extension, driven by JSON-lines commands."""

    def __init__(self, env, extension=True):
        """With `extension` the build's extension by path, else what the registry elects."""
        appex = BUILD / "Sync.app/Contents/PlugIns/VRKFinderSyncExtension.appex"
        argv = [tool("vrk-finder")] + (["--extension", str(appex)] if extension else [])
        self.log = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(argv, env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        # The host answers its first command only once the extension is up and subscribed.
        self.initial_state = self("state")

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def __call__(self, *words, timeout=15):
        self.proc.stdin.write(json.dumps(list(words)) + "\n")
        self.proc.stdin.flush()
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"vrk-finder did not answer {words}") from None
        if line is None:
            raise AssertionError("vrk-finder ended:\n" + self.logtext())
        return json.loads(line)

    def until(self, predicate, *words, timeout=10):
        """Repeats a command until its answer satisfies predicate; returns that answer."""
        deadline = time.monotonic() + timeout
        while True:
            answer = self(*words)
            if predicate(answer):
                return answer
            if time.monotonic() > deadline:
                raise AssertionError(f"{words} never gave what was expected: {answer}")
            time.sleep(0.02)

    def logtext(self):
        self.log.seek(0)
        return self.log.read()

    def quit(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write('["quit"]\n')
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.logtext()


@pytest.fixture
def finder(vrk_env):
    started = []

    def start(extension=True):
        f = Finder(vrk_env, extension)
        started.append(f)
        return f

    yield start
    for f in started:
        f.quit()


@pytest.fixture
def sync_folder(vrk_env):
    """A sync root with two files, a hidden file and a folder."""
    root = pathlib.Path(vrk_env["VRK_ROOT"]) / "home" / "Sync Folder"
    (root / "Docs").mkdir(parents=True)
    (root / "a.txt").write_text("a")
    (root / "b report.txt").write_text("b")
    (root / ".hidden").write_text("h")
    return str(root)


def set_menu(client, description):
    """Makes the client answer lock questions with `description` from now on."""
    client.command("menu", description)
    while client.event()["event"] != "ok":
        pass


def start_client(client, language="en"):
    """The scriptable client, listening, with `language` set (None leaves it)."""
    c = client("client.py", "answer")
    assert c.event()["event"] == "ready"
    c.wait_listening()
    if language:
        c.command("call", "changeLanguage", language)
        assert c.event()["event"] == "called"
    return c


def call(c, name, *args):
    """A facade call through the client; returns what it returned."""
    c.command("call", name, *args)
    event = c.event()
    while event["event"] != "called":  # observations may come first
        event = c.event()
    return event["result"]


OWN_APPEX = str(BUILD / "Sync.app/Contents/PlugIns/VRKFinderSyncExtension.appex")


def pluginkit(env, *args):
    return subprocess.run([tool("pluginkit"), *args], env=env, capture_output=True, text=True,
                          timeout=30)


def stale_copy(env, folder="Applications/Old Sync.app/Contents/PlugIns"):
    """A copy of the extension registered from elsewhere, as an older install left it (only its
    Info.plist: its program is gone)."""
    appex = pathlib.Path(env["VRK_ROOT"]) / folder / "VRKFinderSyncExtension.appex"
    (appex / "Contents").mkdir(parents=True)
    (appex / "Contents/Info.plist").write_bytes(
        (pathlib.Path(OWN_APPEX) / "Contents/Info.plist").read_bytes())
    assert pluginkit(env, "-a", str(appex)).returncode == 0
    return str(appex)
