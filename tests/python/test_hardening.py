"""A careless or hostile client: values nested far too deep, paths with a NUL, and many threads
calling the facade at once. Each case runs in a child process with a time-out, so a crash or a
deadlock fails the test instead of taking the run down."""

import subprocess
import sys
import textwrap
import time

from conftest import probe

PYTHON = sys.executable or "/usr/bin/python3"


def run_client(env, body, timeout=240):
    script = "import vrkfindersync as v\n" + textwrap.dedent(body)
    done = subprocess.run([PYTHON, "-c", script], env=env, timeout=timeout, capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr[-4000:]
    return done


def test_deep_values_are_refused_with_an_exception(vrk_env):
    done = run_client(vrk_env, """
        deep = []
        for _ in range(100000):
            deep = [deep]
        deep_dict = {}
        for _ in range(100000):
            deep_dict = {"k": deep_dict}
        center = v.NSNotificationCenter.defaultCenter()
        c = v.VRKFinderSync.sharedInstance()
        calls = [
            lambda: center.postNotificationName("n", None, {"a": deep}),
            lambda: center.postNotificationName("n", deep_dict),
            lambda: c.setBadgesCache({"/r": deep}),
            lambda: c.parseMenuItemInfosFrom(deep_dict),
        ]
        for call in calls:
            try:
                call()
            except ValueError as e:
                assert "nested deeper than 64" in str(e), e
            else:
                raise AssertionError("accepted")
        # A value at the limit still crosses.
        ok = []
        for _ in range(62):  # with the dict around it: 64 levels
            ok = [ok]
        center.postNotificationName("n", None, {"a": ok})
        print("survived")
    """)
    assert "survived" in done.stdout


def test_paths_with_a_nul_are_refused(vrk_env):
    run_client(vrk_env, """
        v.VRKFinderSync.setRootFolderPath("/r")
        for call in (lambda: v.VRKFinderSync.setIconType(1, "/r/a\\0/etc/passwd"),
                     lambda: v.VRKFinderSync.setRootFolderPath("/r\\0x"),
                     lambda: v.VRKFinderSync.changeLanguage("en\\0")):
            try:
                call()
            except ValueError:
                pass
            else:
                raise AssertionError("accepted")
        assert v.VRKFinderSync.sharedInstance().badgeCache == {}
        assert v.VRKFinderSync.sharedInstance().rootFolderPath_ == "/r"
    """)


def test_sixteen_threads_calling_the_facade_at_once(vrk_env):
    # Python's threads overlap facade calls freely, since the binding releases the GIL.
    run_client(vrk_env, """
        import threading
        V = v.VRKFinderSync
        V.setRootFolderPath("/r")
        errors = []
        started = threading.Barrier(16)

        def work(t):
            try:
                started.wait()
                for i in range(2000):
                    k = i % 40
                    if k == 0:
                        V.cleanIconsCache()
                    elif k == 10:
                        V.hideIcons(i % 80 == 10)
                    elif k in (20, 30):
                        V.setIconType(i % 7, f"/r/t{t}/{i % 8}")
                    elif k % 2:
                        V.setIconType(1, f"/elsewhere/{i}")
                    else:
                        assert len(V.sharedInstance().badgeCache) <= 128
                        assert V.sharedInstance().rootFolderPath_ == "/r"
            except BaseException as e:
                errors.append(repr(e))

        threads = [threading.Thread(target=work, args=(t,)) for t in range(16)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert not errors, errors[:3]
        for t in range(16):
            V.setIconType(5, f"/r/t{t}/0")
        cache = V.sharedInstance().badgeCache
        assert all(cache[f"/r/t{t}/0"] == 5 for t in range(16)), cache
    """)


def test_a_second_client_takes_over_when_the_first_dies(vrk_env, client):
    first = client("client.py", "answer")
    first.event()
    first.wait_listening()
    second = client("client.py", "answer")
    assert second.event()["event"] == "ready"
    time.sleep(1)  # lets the second client find the name taken (a loaded machine may be later)
    first.proc.kill()
    first.proc.wait()
    # The first client's socket is left behind; the second replaces it within about a second.
    deadline = time.monotonic() + 10
    while True:
        answer, _ = probe(vrk_env, "lock", "/r/a")
        if answer["reply"] is not None:
            break
        assert time.monotonic() < deadline, "the second client never took over"
        time.sleep(0.1)
    assert answer["reply"] == [1, 0, 1]
    assert second.event()["path"] == "/r/a"
    log = second.finish()
    # Retried quietly: at most the first refusal is logged, never one line per attempt.
    assert log.count("failed to register mach port") <= 1, log
    assert "[FinderSync] mach port registered" in log
