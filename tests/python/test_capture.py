"""capture_window on a private Xvfb: the pixels of the monitor that shows a real client's window, its area on
them, the cases that give None, restoring a minimised window, and the GIL released during the capture."""

import os
import threading
import time

import pytest

import quorvel
from capture_support import ServerGrab, games_on, managed_display, plain_display  # noqa: F401 (fixtures)

pytestmark = pytest.mark.asan


@pytest.fixture
def games(plain_display, tmp_path, monkeypatch):
    g = games_on(plain_display, tmp_path, monkeypatch)
    yield g
    g.stop_all()


def pixel(shot, x, y):
    """(red, green, blue) of the image at x, y: bytes are blue, green, red, fourth."""
    offset = y * shot.row_pitch + x * 4
    b, g, r = shot.image_blob[offset:offset + 3]
    return r, g, b


def assert_painted(shot, colour):
    a = shot.area
    for x, y in [(a.x, a.y), (a.x + a.w - 1, a.y), (a.x + a.w // 2, a.y + a.h // 2), (a.x, a.y + a.h - 1),
                 (a.x + a.w - 1, a.y + a.h - 1)]:
        assert pixel(shot, x, y) == colour, (x, y)
    # Just outside the area the root window (black) shows.
    assert pixel(shot, a.x - 1, a.y) == (0, 0, 0)
    assert pixel(shot, a.x + a.w, a.y + a.h - 1) == (0, 0, 0)


@pytest.mark.parametrize("pos, area_x", [("300,200", 300), ("2000,200", 80)], ids=["left monitor", "right monitor"])
def test_the_whole_monitor_is_captured_with_the_window_painted_inside_its_area(games, pos, area_x):
    game = games.start("Games/Foo", "--pos", pos, "--size", "320x240", "--color", "20A0F0")
    shot = quorvel.capture_window(game.window)
    assert isinstance(shot, quorvel.WindowScreenshot)
    assert (shot.width, shot.height, shot.rotation) == (1920, 1080, 0)
    assert shot.row_pitch >= 4 * shot.width
    view = shot.image_blob
    assert view.readonly and view.format == "B" and view.nbytes == shot.row_pitch * shot.height
    a = shot.area
    assert (a.x, a.y, a.w, a.h) == (area_x, 200, 320, 240)
    assert_painted(shot, (0x20, 0xA0, 0xF0))


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


def test_a_minimised_window_is_restored_and_captured(managed_display, tmp_path, monkeypatch):
    games = games_on(managed_display, tmp_path, monkeypatch)
    try:
        game = games.start("Games/Foo", "--minimized", "--size", "300x200", "--color", "C03010")
        install = os.path.join(games.root, "Games/Foo")
        assert quorvel.find_window_by_path(install) == 0  # minimised: not found by the search
        shot = quorvel.capture_window(game.window)
        assert shot is not None
        a = shot.area
        assert a.w >= 300 and a.h >= 200  # with the frame's decorations
        # The client's colour shows inside the frame; the window stays restored afterwards.
        mid = pixel(shot, a.x + a.w // 2, a.y + a.h // 2)
        assert mid == (0xC0, 0x30, 0x10)
        assert quorvel.find_window_by_path(install) == game.window
    finally:
        games.stop_all()


def test_the_gil_is_released_while_the_capture_runs(games):
    game = games.start("Games/Foo")
    assert quorvel.capture_window(game.window) is not None  # in front from now on: no pauses below
    grab = ServerGrab(games.display)
    released_at = []

    def release_the_server():
        time.sleep(0.3)  # meanwhile the capture waits for the grabbed server
        released_at.append(time.monotonic())
        grab.release()

    thread = threading.Thread(target=release_the_server)
    thread.start()
    try:
        shot = quorvel.capture_window(game.window)
        returned_at = time.monotonic()
    finally:
        thread.join()
        grab.close()
    assert shot is not None
    # Had the capture kept the GIL, the thread could not have run before the grab's own 10 s timeout.
    assert released_at and released_at[0] < returned_at
    assert returned_at - released_at[0] < 5
