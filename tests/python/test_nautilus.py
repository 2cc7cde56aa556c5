"""GNOME Files hosting the extension: the real GNOME Files with libvrk-nautilus, the extension
and the Python sync client, under a private X server and session bus (tests/nautilus/)."""

import os
import pathlib
import subprocess
import sys

import pytest

from conftest import BUILD, SOURCE

sys.path.insert(0, str(SOURCE / "Tools" / "nautilus"))
import headless  # noqa: E402


@pytest.fixture
def nautilus_session(vrk_env, tmp_path):
    reason = headless.missing(BUILD)
    if reason:
        pytest.skip(reason)
    return headless.session_env(vrk_env, tmp_path, BUILD)


def test_badges_updates_and_menu_clicks_in_gnome_files(nautilus_session, sync_folder, tmp_path):
    driver = SOURCE / "tests" / "nautilus" / "e2e_driver.py"
    command = headless.isolated(BUILD, tmp_path, [headless.PYTHON, str(driver), str(BUILD),
                                                  sync_folder, str(tmp_path)])
    run = subprocess.run(command, env=nautilus_session, capture_output=True, text=True,
                         timeout=240)
    report = next((line for line in reversed(run.stdout.splitlines()) if line.startswith("{")),
                  "")
    assert run.returncode == 0, f"{report}\n{run.stderr[-6000:]}"
    print(report)
