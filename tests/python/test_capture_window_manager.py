"""capture_window and find_window_by_path under openbox as a desktop runs it (iconify animation on, new windows
focused) as well as in the tests' configuration: the first capture of a minimised window shows it in its place, the
waits stay bounded when the manager will not activate a window or has stopped answering, and the search finds the
right window among a hundred."""

import contextlib
import os
import signal
import time

import pytest

import quorvel
import xvfb_support
from capture_support import desktop_games, managed_games  # noqa: F401 (fixtures)

pytestmark = pytest.mark.asan

# About 0.2 s of pauses at most, plus the capture; loose, as the machine may be busy.
CALL_BOUND = 0.45


@pytest.fixture(params=["managed_games", "desktop_games"], ids=["test configuration", "default configuration"])
def games(request):
    return request.getfixturevalue(request.param)


def centre(shot):
    a = shot.area
    offset = (a.y + a.h // 2) * shot.row_pitch + (a.x + a.w // 2) * 4
    b, g, r = shot.image_blob[offset:offset + 3]
    return r, g, b


def test_the_first_capture_of_a_minimised_window_shows_it_in_its_place(games):
    game = games.start("Games/Foo", "--minimized", "--pos", "500,300", "--size", "300x200", "--color", "C03010")
    first = quorvel.capture_window(game.window)
    time.sleep(0.5)  # any animation is long over
    settled = quorvel.capture_window(game.window)
    a, b = first.area, settled.area
    assert (a.x, a.y, a.w, a.h) == (b.x, b.y, b.w, b.h)
    assert a.w >= 300 and a.h >= 200  # the frame around the window, not a title bar on its way
    assert centre(first) == (0xC0, 0x30, 0x10)


@contextlib.contextmanager
def others(display, count):
    """`count` mapped windows of this process above every window so far, once the manager keeps them all."""
    x = xvfb_support._xlib()
    d = x.XOpenDisplay(display.name.encode())
    root = x.XDefaultRootWindow(d)
    made = [x.XCreateSimpleWindow(d, root, 20 * (i % 40), 10 * (i % 40), 200, 150, 0, 0, 0x808080)
            for i in range(count)]
    for w in made:
        x.XMapWindow(d, w)
    x.XSync(d, 0)
    try:
        deadline = time.monotonic() + 10
        while set(made) - set(xvfb_support._property(x, d, root, b"_NET_CLIENT_LIST", 33)):  # XA_WINDOW
            assert time.monotonic() < deadline
            time.sleep(0.01)
        yield
    finally:
        x.XCloseDisplay(d)  # its windows go with it
        xvfb_support._await_let_go(display.name, made)


def test_the_highest_match_among_a_hundred_windows_and_never_a_minimised_one(games):
    install = os.path.join(games.root, "Games/Foo")
    games.start("Games/Foo", "--minimized")
    with others(games.display, 50):
        assert quorvel.find_window_by_path(install) == 0
        lower = games.start("Games/Foo", "--pos", "300,300")
        with others(games.display, 25):
            upper = games.start("Games/Foo", "--pos", "350,350")
            with others(games.display, 25):
                assert quorvel.find_window_by_path(install) == upper.window
    assert quorvel.find_window_by_path(install) == upper.window != lower.window


def test_a_window_the_manager_will_not_activate_costs_a_bounded_wait_every_time(games):
    refused = games.start("Games/Foo", "--no-focus", "--pos", "500,300", "--color", "20A0F0")
    games.start("Games/Other", "--pos", "700,300")  # in front, and active where new windows take the focus
    for _ in range(3):
        start = time.monotonic()
        shot = quorvel.capture_window(refused.window)
        assert time.monotonic() - start < CALL_BOUND
        assert centre(shot) == (0x20, 0xA0, 0xF0)  # raised, though not active


def test_a_window_manager_that_stopped_answering_is_not_waited_for_long(managed_games):
    minimised = managed_games.start("Games/Foo", "--minimized")
    shown = managed_games.start("Games/Bar", "--pos", "600,300")
    other = managed_games.start("Games/Other", "--pos", "650,350")
    # Openbox grabs the server while it takes a window on: stopped inside such a grab it would freeze every client,
    # and the calls would end at the X deadline instead. Stop it once it has taken all three and gone quiet.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not all(
            managed_games.display._managed(g.window) for g in (minimised, shown, other)):
        time.sleep(0.02)
    time.sleep(0.3)
    pid = managed_games.display.window_manager_pid
    os.kill(pid, signal.SIGSTOP)
    try:
        for window in [minimised.window, shown.window, shown.window]:
            start = time.monotonic()
            quorvel.capture_window(window)  # whatever it shows: the manager did nothing
            assert time.monotonic() - start < CALL_BOUND
    finally:
        os.kill(pid, signal.SIGCONT)
