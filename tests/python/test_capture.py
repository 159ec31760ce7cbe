"""capture_window on a private Xvfb: the pixels of the monitor that shows a real client's window, its area on
them, the cases that give None, restoring a minimised window, and the GIL released during the capture."""

import os
import time

import pytest

import quorvel
from capture_support import call_during_server_grab, games, managed_games  # noqa: F401 (fixtures)

pytestmark = pytest.mark.asan


def pixel(shot, x, y):
    """(red, green, blue) at x, y: the bytes are blue, green, red, fourth."""
    offset = y * shot.row_pitch + x * 4
    b, g, r = shot.image_blob[offset:offset + 3]
    return r, g, b


@pytest.mark.parametrize("pos, area_x", [("300,200", 300), ("2000,200", 80)], ids=["left monitor", "right monitor"])
def test_the_whole_monitor_with_the_window_painted_inside_its_area(games, pos, area_x):
    game = games.start("Games/Foo", "--pos", pos, "--size", "320x240", "--color", "20A0F0")
    shot = quorvel.capture_window(game.window)
    assert (shot.width, shot.height, shot.rotation) == (1920, 1080, 0)
    assert len(shot.image_blob) == shot.row_pitch * shot.height >= 4 * 1920 * 1080
    a = shot.area
    assert (a.x, a.y, a.w, a.h) == (area_x, 200, 320, 240)
    for x, y in [(a.x, a.y), (a.x + a.w - 1, a.y + a.h - 1), (a.x + a.w // 2, a.y + a.h // 2)]:
        assert pixel(shot, x, y) == (0x20, 0xA0, 0xF0)
    assert pixel(shot, a.x - 1, a.y) == pixel(shot, a.x + a.w, a.y + a.h - 1) == (0, 0, 0)  # the bare root


def test_no_screenshot_for_zero_or_a_destroyed_window(games):
    assert quorvel.capture_window(0) is None
    game = games.start("Games/Foo")
    window = game.window
    game.stop()
    deadline = time.monotonic() + 10
    while quorvel.find_window_by_path("/", prev_hwnd=window) == window:  # until the server has destroyed it
        assert time.monotonic() < deadline
        time.sleep(0.02)
    assert quorvel.capture_window(hwnd=window) is None


def test_a_minimised_window_is_restored_and_captured(managed_games):
    game = managed_games.start("Games/Foo", "--minimized", "--size", "300x200", "--color", "C03010")
    install = os.path.join(managed_games.root, "Games/Foo")
    assert quorvel.find_window_by_path(install) == 0
    shot = quorvel.capture_window(game.window)
    a = shot.area
    assert a.w >= 300 and a.h >= 200  # with the frame's decorations
    assert pixel(shot, a.x + a.w // 2, a.y + a.h // 2) == (0xC0, 0x30, 0x10)
    assert quorvel.find_window_by_path(install) == game.window  # it stays restored


def test_the_gil_is_released_while_the_capture_runs(games):
    game = games.start("Games/Foo")
    assert quorvel.capture_window(game.window) is not None  # in front from now on: no pauses below
    assert call_during_server_grab(games.display, lambda: quorvel.capture_window(game.window)) is not None
