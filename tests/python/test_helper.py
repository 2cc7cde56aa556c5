"""The privileged helper through the Python module: installation, the copy with its reply
logged once the client serves the main queue, on-demand starts, and the sidebar entry."""

import fcntl
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

LABEL = "com.mirelta.sync.VRKLaunchDaemon"

# Runs in the client process: its standard error (where the library logs) goes to a file that
# the script itself can read, so it can tell what was logged before it served the main queue.
PRELUDE = textwrap.dedent("""
    import json, os, sys, threading, time
    log_path = os.environ["CLIENT_LOG"]
    os.dup2(os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600), 2)
    def logged():
        with open(log_path) as f:
            return f.read()
    def serve_until(text, limit=60):
        end = time.monotonic() + limit
        while text not in logged() and time.monotonic() < end:
            vrkfindersync.runMainQueue(0.1)
        return text in logged()
    import vrkfindersync
    C = vrkfindersync.VRKFinderSync
""")


def run_client(env, body, timeout=120):
    log = pathlib.Path(env["VRK_ROOT"]) / "client.log"
    env = dict(env, CLIENT_LOG=str(log))
    out = subprocess.run(["/usr/bin/python3", "-c", PRELUDE + textwrap.dedent(body)], env=env,
                         capture_output=True, text=True, timeout=timeout)
    text = log.read_text() if log.exists() else ""
    log.unlink(missing_ok=True)
    assert out.returncode == 0, out.stderr + text
    return json.loads(out.stdout.strip().splitlines()[-1]), text


def helper_pid(root):
    """The pid of the running helper, or None (it holds its lock while it runs)."""
    lock = pathlib.Path(root) / "var/run/xpc" / (LABEL + ".lock")
    try:
        fd = os.open(lock, os.O_RDONLY)
    except FileNotFoundError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return None
    except BlockingIOError:
        return int(lock.read_text().strip() or 0) or None
    finally:
        os.close(fd)


def wait_gone(root, limit=30):
    end = time.monotonic() + limit
    while helper_pid(root) is not None:
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True


@pytest.fixture
def env(vrk_env):
    yield vrk_env
    pid = helper_pid(vrk_env["VRK_ROOT"])
    if pid:
        os.kill(pid, signal.SIGTERM)
        assert wait_gone(vrk_env["VRK_ROOT"])


def test_install_then_copy_returns_at_once_and_logs_the_reply_on_the_main_queue(env):
    src = pathlib.Path(env["VRK_ROOT"]) / "a file"
    src.write_text("contents")
    dst = pathlib.Path(env["VRK_ROOT"]) / "copié"
    result, log = run_client(env, f"""
        installed = C.tryInstallLaunchDaemon()
        again = C.tryInstallLaunchDaemon()
        C.copyItemAtPath({str(src)!r}, {str(dst)!r})
        time.sleep(0.5)
        before = "Received response" in logged()
        served = serve_until("Received response:")
        print(json.dumps(dict(installed=installed, again=again, before=before, served=served)))
    """)
    assert result == dict(installed=True, again=True, before=False, served=True), log
    assert f"Received response: Copied {src} to {dst}.." in log
    assert log.count("[VRK Finder sync client] Job is available!") == 1
    assert dst.read_text() == "contents"


def test_refused_authorization_returns_false_with_the_status(env):
    result, log = run_client(dict(env, VRK_AUTHORIZATION="cancel"), """
        print(json.dumps(C.tryInstallLaunchDaemon()))
    """)
    assert result is False
    assert "[VRK Finder sync client] Something went wrong! NSOSStatusErrorDomain / -60006" in log
    assert not (pathlib.Path(env["VRK_ROOT"]) / "Library/PrivilegedHelperTools" / LABEL).exists()


def test_the_helper_starts_on_demand_and_again_after_it_exits(env):
    root = pathlib.Path(env["VRK_ROOT"])
    src = root / "src"
    src.write_text("x")
    run_client(env, "print(json.dumps(C.tryInstallLaunchDaemon()))")
    # The installed job, told to exit after one idle second.
    plist = root / "Library/LaunchDaemons" / (LABEL + ".plist")
    text = plist.read_text()
    plist.write_text(text.replace("<key>VRK_BLESSING_UID</key>",
                                  "<key>VRK_HELPER_IDLE_SECONDS</key><string>1</string>"
                                  "<key>VRK_BLESSING_UID</key>"))
    for name in ("first", "second"):
        assert helper_pid(root) is None
        result, log = run_client(env, f"""
            C.copyItemAtPath({str(src)!r}, {str(root / name)!r})
            print(json.dumps(serve_until("Received response:")))
        """)
        assert result is True
        assert f"Received response: Copied {src} to {root / name}.." in log
        assert wait_gone(root), "the idle helper did not exit"
    helper_log = (root / "var/log" / (LABEL + ".log")).read_text()
    assert helper_log.count("serving uid") == 2


def test_nil_paths_send_nothing_and_the_main_queue_belongs_to_the_main_thread(env):
    result, log = run_client(env, """
        C.copyItemAtPath(None, "/tmp/x")
        errors = []
        def other():
            try:
                vrkfindersync.runMainQueue(0.1)
            except ValueError as e:
                errors.append(str(e))
        t = threading.Thread(target=other)
        t.start(); t.join()
        vrkfindersync.runMainQueue(0.2)
        print(json.dumps(errors))
    """)
    assert len(result) == 1 and "main thread" in result[0]
    assert "Copy request not sent: source = (null), destination = /tmp/x" in log
    assert "XPC" not in log


def test_the_sync_root_goes_first_in_the_sidebar_before_el_capitan(env):
    root = pathlib.Path(env["VRK_ROOT"])
    folder = root / "Mon dossier"
    folder.mkdir()
    bookmarks = root / "config/gtk-3.0/bookmarks"
    bookmarks.parent.mkdir(parents=True)
    bookmarks.write_bytes(b"smb://nas/share NAS \xc3\xa9\n")
    for version in ("10.11", "10.10", "10.10"):
        run_client(dict(env, VRK_MACOS_VERSION=version, XDG_CONFIG_HOME=str(root / "config")), f"""
            C.addFolderToFinderSidebar({str(folder)!r})
            print("null")
        """)
    assert bookmarks.read_bytes() == (
        f"file://{root}/Mon%20dossier\n".encode() + b"smb://nas/share NAS \xc3\xa9\n")
