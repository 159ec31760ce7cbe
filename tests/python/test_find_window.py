"""find_window_by_path against real X client processes whose executables sit in temporary install directories."""

import logging
import os
import time

import pytest

import quorvel
from capture_support import call_during_server_grab, games, managed_games  # noqa: F401 (fixtures)

pytestmark = pytest.mark.asan


def test_first_matching_window_in_enumeration_order_and_a_kept_prev_hwnd(games):
    install = os.path.join(games.root, "Games/Foo")
    lower = games.start("Games/Foo")
    upper = games.start("Games/Foo")
    other = games.start("Games/Other")  # on top, another install directory
    hidden = games.start("Games/Other", "--unmapped")
    assert quorvel.find_window_by_path(install) == upper.window
    # A window that still exists is returned whatever it is, without a search.
    assert quorvel.find_window_by_path(install, other.window) == other.window
    assert quorvel.find_window_by_path(install, prev_hwnd=hidden.window) == hidden.window
    gone = upper.window
    upper.stop()
    deadline = time.monotonic() + 10
    while quorvel.find_window_by_path(install, gone) == gone:  # until the server has destroyed it
        assert time.monotonic() < deadline
        time.sleep(0.02)
    assert quorvel.find_window_by_path(install, gone) == lower.window


@pytest.mark.parametrize("query, options, found", [
    ("Games/FooBar", ("--size", "10x10"), True),
    ("Games/FooBar", ("--size", "9x100"), False),
    ("Games/FooBar", ("--size", "100x9"), False),
    ("Games/FooBar/", (), True),
    ("GAMES/foobar", (), True),              # without regard to case
    ("Games/Foo", (), True),                 # a plain prefix: Foo also matches FooBar
    ("Games/Foo/", (), False),               # not with a trailing separator
    ("Games/FooBar/game.bin.x", (), False),  # longer than the executable's path
    ("Games/FooBar", ("--unmapped",), False),
    ("Games/FooBar", ("--owned", "--size", "9x400"), False),  # only the owned 40x40 pop-up is large enough
    ("Games/FooBar", ("--child", "--size", "400x400"), True),  # the top-level window, never its child
])
def test_visible_unowned_top_level_windows_of_ten_by_ten_under_a_case_insensitive_prefix(games, query, options,
                                                                                          found):
    game = games.start("Games/FooBar", *options)
    assert len(game.ids) == 1 + len({"--owned", "--child"} & set(options))
    assert quorvel.find_window_by_path(os.path.join(games.root, query)) == (game.window if found else 0)


def test_a_game_whose_only_window_is_minimised_is_not_found(managed_games):
    game = managed_games.start("Games/Foo", "--minimized")
    install = os.path.join(managed_games.root, "Games/Foo")
    assert quorvel.find_window_by_path(install) == 0
    assert quorvel.find_window_by_path(install, game.window) == game.window


# The second name is not valid Unicode (as os.fsdecode gives it): its line arrives with the same escape.
@pytest.mark.parametrize("name", ["games/fo\u00f6 \u6e38\u620f", "Games/Bad\udcfe"])
def test_nothing_found_logs_exactly_one_warning_from_its_fixed_line(games, name):
    records = []
    logger = logging.getLogger("quorvel.find_window_test")
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    logger.addHandler(type("Collect", (logging.Handler,), {"emit": lambda self, r: records.append(r)})())
    quorvel.init_logging("quorvel.find_window_test")
    games.start("Games/Foo")
    install = os.path.join(games.root, name)
    assert quorvel.find_window_by_path(install) == 0
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/Foo")) != 0  # a match logs nothing
    assert [(r.getMessage(), r.levelno, r.lineno) for r in records] == [
        (f"RuduVizozadoz: unable to locate the window belong to a process that located in {install}", 30, 370)]
    assert records[0].pathname.endswith(os.path.join("game_screenshoter", "find_game_window.cpp"))


def test_the_gil_is_released_while_the_search_runs(games):
    game = games.start("Games/Foo")
    install = os.path.join(games.root, "Games/Foo")
    assert call_during_server_grab(games.display, lambda: quorvel.find_window_by_path(install)) == game.window


def test_an_install_path_that_is_not_valid_unicode_is_searched_as_os_fsdecode_gives_it(games):
    # The undecodable byte arrives as a lone surrogate and must meet the same byte of the executable's path.
    game = games.start("Games/Bad\udcff")
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/Bad\udcff")) == game.window
