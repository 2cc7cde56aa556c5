"""Dolphin hosting the extension: the real Dolphin with our two plug-ins (QT_PLUGIN_PATH at the
build), the extension and the demo's Python sync client, as a plain user under a private X server
and session bus (Tools/demo/dolphin-demo over Tools/dolphin/headless_dolphin.py). Emblems are
checked by their colours in each item's cell on the screen, the client's menu entries through
the menu plug-in's trace of where it showed them, and a click on one of those places."""

import os
import subprocess
import sys

import pytest

from conftest import BUILD, SOURCE

sys.path.insert(0, str(SOURCE / "Tools" / "dolphin"))
import headless_dolphin  # noqa: E402

DEMO = SOURCE / "Tools" / "demo" / "dolphin-demo"


def test_badges_a_live_change_the_menu_and_a_click_in_dolphin(tmp_path):
    reason = headless_dolphin.missing(BUILD)
    if reason:
        pytest.skip(reason)
    env = dict(os.environ, VRK_BUILD_DIR=str(BUILD))
    run = subprocess.run([str(DEMO), str(tmp_path)], env=env, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    lines = run.stdout
    assert "every item with the emblem of its status" in lines
    assert "getOverlays calls per item" in lines
    assert "Upload.zip turned synced while shown" in lines
    assert ("Mirelta Sync - Share Link, Mirelta Sync - View on Web, Mirelta Sync - Lock File, "
            "Mirelta Sync - View File Versions") in lines
    assert "the click on Mirelta Sync - Share Link reached the client" in lines
    for picture in ("dolphin-folder.png", "dolphin-menu.png"):
        assert (tmp_path / picture).stat().st_size > 0


def test_the_menu_turned_off_in_kservicemenurc_shows_no_entries(tmp_path):
    reason = headless_dolphin.missing(BUILD)
    if reason:
        pytest.skip(reason)
    env = dict(os.environ, VRK_BUILD_DIR=str(BUILD))
    run = subprocess.run([str(DEMO), "--menu-turned-off", str(tmp_path)], env=env,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    assert "the context menu has none of the client's entries" in run.stdout
    # The overlays are not the menu plug-in's: they still show.
    assert "every item with the emblem of its status" in run.stdout
