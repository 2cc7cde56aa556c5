"""The demo of ./run demo is itself an end-to-end check; run it so that it never rots."""

import os
import subprocess

from conftest import BUILD, SOURCE


def test_the_demo_walks_through_without_a_failed_check():
    env = dict(os.environ, VRK_BUILD_DIR=str(BUILD))
    out = subprocess.run([str(SOURCE / "Tools/demo/run-demo")], env=env, capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
    assert "Demo finished:" in out.stdout
