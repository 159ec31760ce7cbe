"""find_window_by_path against real X client processes whose executables sit in a temporary install directory, on
a private Xvfb."""

import logging
import os
import threading
import time

import pytest

import quorvel
from capture_support import ServerGrab, games_on, managed_display, plain_display  # noqa: F401 (fixtures)

pytestmark = pytest.mark.asan

WARNING = "RuduVizozadoz: unable to locate the window belong to a process that located in {}"


@pytest.fixture
def games(plain_display, tmp_path, monkeypatch):
    g = games_on(plain_display, tmp_path, monkeypatch)
    yield g
    g.stop_all()


@pytest.fixture
def warnings_seen():
    """Records of the native logger, routed into Python logging for one test."""
    records = []

    class Collect(logging.Handler):
        def emit(self, record):
            records.append(record)

    logger = logging.getLogger("quorvel.find_window_test")
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    handler = Collect()
    logger.addHandler(handler)
    quorvel.init_logging("quorvel.find_window_test")
    yield records
    logger.removeHandler(handler)


def test_the_first_matching_window_in_enumeration_order_is_found(games):
    root = games.root
    lower = games.start("Games/Foo", "--pos", "100,100")
    upper = games.start("Games/Foo", "--pos", "400,100")
    games.start("Games/Other", "--pos", "700,100")  # on top, another install directory
    assert quorvel.find_window_by_path(os.path.join(root, "Games/Foo")) == upper.window
    upper.stop()
    assert quorvel.find_window_by_path(os.path.join(root, "Games/Foo")) == lower.window


def test_a_window_that_still_exists_is_kept_whatever_it_is(games):
    install = os.path.join(games.root, "Games/Foo")
    game = games.start("Games/Foo")
    other = games.start("Games/Other")
    hidden = games.start("Games/Other", "--unmapped")
    gone = games.start("Games/Other")
    gone_window = gone.window
    gone.stop()
    for prev, expected in [(other.window, other.window), (hidden.window, hidden.window), (0, game.window)]:
        assert quorvel.find_window_by_path(install, prev) == expected
    # The server destroys a dead client's windows a moment after it has gone.
    deadline = time.monotonic() + 10
    while quorvel.find_window_by_path(install, prev_hwnd=gone_window) == gone_window:
        assert time.monotonic() < deadline
        time.sleep(0.02)
    assert quorvel.find_window_by_path(install_path=install, prev_hwnd=gone_window) == game.window


@pytest.mark.parametrize("size, found", [("10x10", True), ("9x100", False), ("100x9", False), ("11x11", True)])
def test_the_client_area_must_be_at_least_ten_by_ten(games, size, found):
    game = games.start("Games/Foo", "--size", size)
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/Foo")) == (game.window if found else 0)


@pytest.mark.parametrize("query, found", [
    ("Games/FooBar", True),
    ("Games/FooBar/", True),
    ("GAMES/foobar", True),           # without regard to case
    ("Games/Foo", True),              # a plain prefix: Foo also matches FooBar
    ("Games/Foo/", False),            # a trailing separator rules that out
    ("Games/FooBar/game.bin", True),  # the executable's own path
    ("Games/FooBar/game.bin.x", False),  # longer than the executable's path
    ("Games/FooBar2", False),
])
def test_the_install_path_is_a_case_insensitive_prefix_of_the_executable_path(games, query, found):
    game = games.start("Games/FooBar")
    assert quorvel.find_window_by_path(os.path.join(games.root, query)) == (game.window if found else 0)


@pytest.mark.parametrize("options", [
    ("--unmapped",),
    ("--owned", "--size", "9x400"),  # only the owned pop-up (40x40) is large enough
    ("--child", "--size", "9x400"),
], ids=["invisible", "owned", "child"])
def test_invisible_owned_and_child_windows_are_not_game_windows(games, options):
    game = games.start("Games/Foo", *options)
    assert len(game.ids) == (2 if len(options) > 1 else 1)
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/Foo")) == 0


def test_of_a_window_with_a_child_the_top_level_window_is_found(games):
    game = games.start("Games/Foo", "--child", "--size", "400x400")
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/Foo")) == game.window != game.ids["child"]


def test_a_game_whose_only_window_is_minimised_is_not_found(managed_display, tmp_path, monkeypatch):
    games = games_on(managed_display, tmp_path, monkeypatch)
    try:
        game = games.start("Games/Foo", "--minimized")
        install = os.path.join(games.root, "Games/Foo")
        assert quorvel.find_window_by_path(install) == 0
        assert quorvel.find_window_by_path(install, game.window) == game.window
    finally:
        games.stop_all()


def test_nothing_found_logs_exactly_one_warning_with_the_path_as_given(games, warnings_seen):
    games.start("Games/Foo")
    install = os.path.join(games.root, "games/fo\u00f6 \u6e38\u620f")
    assert quorvel.find_window_by_path(install) == 0
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/Foo")) != 0  # a match logs nothing
    assert [r.getMessage() for r in warnings_seen] == [WARNING.format(install)]
    record = warnings_seen[0]
    assert record.levelno == logging.WARNING
    assert record.lineno == 370
    assert record.pathname.endswith(os.path.join("game_screenshoter", "find_game_window.cpp"))


def test_the_gil_is_released_while_the_search_runs(games):
    game = games.start("Games/Foo")
    grab = ServerGrab(games.display)
    released_at = []

    def release_the_server():
        time.sleep(0.3)  # meanwhile the search waits for the grabbed server
        released_at.append(time.monotonic())
        grab.release()

    thread = threading.Thread(target=release_the_server)
    thread.start()
    try:
        found = quorvel.find_window_by_path(os.path.join(games.root, "Games/Foo"))
        returned_at = time.monotonic()
    finally:
        thread.join()
        grab.close()
    assert found == game.window
    # Had the search kept the GIL, the thread could not have run before the grab's own 10 s timeout ended the wait.
    assert released_at and released_at[0] < returned_at
    assert returned_at - released_at[0] < 5
