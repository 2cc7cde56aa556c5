"""Nemo and Caja hosting the extension: the real file manager with our module, the extension and
the demo's Python sync client, under a private X server, session bus and extension folder
(Tools/demo/gtk3fm-demo over Tools/filemanager/headless_gtk3.py). Emblems are checked by their
colours on the screen, the client's menu entries through the accessibility tree."""

import os
import subprocess
import sys

import pytest

from conftest import BUILD, SOURCE

sys.path.insert(0, str(SOURCE / "Tools" / "filemanager"))
import headless_gtk3  # noqa: E402

DEMO = SOURCE / "Tools" / "demo" / "gtk3fm-demo"


@pytest.mark.parametrize("fm", ["nemo", "caja"])
def test_badges_a_live_change_the_menu_and_a_click_in_the_file_manager(fm, tmp_path):
    reason = headless_gtk3.missing(fm, BUILD)
    if reason:
        pytest.skip(reason)
    env = dict(os.environ, VRK_BUILD_DIR=str(BUILD))
    run = subprocess.run([str(DEMO), fm, str(tmp_path)], env=env, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    lines = run.stdout
    assert "every item with the emblem of its status" in lines
    assert "Upload.zip turned synced while shown" in lines
    assert ("Mirelta Sync - Share Link, Mirelta Sync - View on Web, Mirelta Sync - Lock File, "
            "Mirelta Sync - View File Versions") in lines
    assert "the click on Mirelta Sync - Share Link reached the client" in lines
    for picture in (f"{fm}-folder.png", f"{fm}-menu.png"):
        assert (tmp_path / picture).stat().st_size > 0
