"""capture_window brings the game in front under real window managers in their default settings, and with none: a
focused window that another client covered, a window on another desktop. A capture
is right when every pixel of the game lies inside `area`."""

import contextlib
import ctypes
import logging
import os
import signal
import time

import pytest

import quorvel
import xvfb_support
from capture_support import Games, _shared
from xvfb_support import PrivateDisplay

pytestmark = pytest.mark.asan

GAME, OTHER = 0x30C060, 0xA02050
WIDTH, HEIGHT = 320, 240
PLACE = ("--pos", "200,150", "--size", f"{WIDTH}x{HEIGHT}")


@pytest.fixture(scope="module", params=[None, "twm", "metacity", "openbox"],
                ids=["no manager", "twm", "metacity", "openbox"])
def display(request):
    # Kept to the end of the run like the other shared servers: a later server may get a stopped one's name.
    return _shared(f"manager {request.param}", lambda: PrivateDisplay(manager=request.param).start())


@pytest.fixture
def games(display, tmp_path, monkeypatch):
    monkeypatch.setenv("DISPLAY", display.name)
    running = Games(display, str(tmp_path))
    yield running
    for game in running.running:
        game.stop()


def _x():
    x = xvfb_support._xlib()
    d, w = ctypes.c_void_p, ctypes.c_ulong
    x.XRaiseWindow.argtypes = [d, w]
    x.XGetInputFocus.argtypes = [d, ctypes.POINTER(w), ctypes.POINTER(ctypes.c_int)]
    x.XQueryTree.argtypes = [d, w, ctypes.POINTER(w), ctypes.POINTER(w), ctypes.POINTER(ctypes.c_void_p),
                             ctypes.POINTER(ctypes.c_uint)]
    return x


@contextlib.contextmanager
def connection(display):
    x = _x()
    d = x.XOpenDisplay(display.name.encode())
    assert d
    try:
        yield x, d
    finally:
        x.XCloseDisplay(d)


def tree(x, d, window):
    """`window`'s root, parent and children (bottom first)."""
    root, parent, children, count = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p(), ctypes.c_uint()
    assert x.XQueryTree(d, window, ctypes.byref(root), ctypes.byref(parent), ctypes.byref(children),
                        ctypes.byref(count))
    try:
        return root.value, parent.value, list((ctypes.c_ulong * count.value).from_address(children.value or 0))
    finally:
        if children.value:
            x.XFree(children)


def root_child(x, d, window):
    """The root child that holds `window` (its frame under a reparenting manager)."""
    while (up := tree(x, d, window))[1] != up[0]:
        window = up[1]
    return window


def focus(x, d):
    window, revert = ctypes.c_ulong(), ctypes.c_int()
    x.XGetInputFocus(d, ctypes.byref(window), ctypes.byref(revert))
    return window.value


def root_message(x, d, window, kind, *data):
    event = xvfb_support._Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x.XInternAtom(d, kind, 0)
    event.xclient.format = 32
    for i, value in enumerate(data):
        event.xclient.data[i] = value
    x.XSendEvent(d, x.XDefaultRootWindow(d), 0, (1 << 20) | (1 << 19), ctypes.byref(event))
    x.XSync(d, 0)


def await_true(check, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline
        time.sleep(0.01)


def game_pixels_inside(shot):
    """How many of the game's pixels lie inside `area` (the rest of the image holds none when it is right)."""
    a = shot.area
    blob, pitch = shot.image_blob, shot.row_pitch
    colour = bytes([GAME & 0xFF, (GAME >> 8) & 0xFF, GAME >> 16])
    count = 0
    for y in range(max(a.y, 0), min(a.y + a.h, shot.height)):
        row = blob[y * pitch + max(a.x, 0) * 4:y * pitch + min(a.x + a.w, shot.width) * 4]
        count += sum(1 for i in range(0, len(row), 4) if row[i:i + 3] == colour)
    return count


def test_a_focused_window_that_another_client_covered_is_raised(games):
    game = games.start("Games/Foo", *PLACE, "--color", f"{GAME:06X}")
    other = games.start("Games/Other", *PLACE, "--color", f"{OTHER:06X}")
    # In front and focused first; a compositing manager (metacity) on a busy machine may draw it a capture late.
    for _ in range(5):
        if game_pixels_inside(quorvel.capture_window(game.window)) == WIDTH * HEIGHT:
            break
    else:
        pytest.fail("the game never came in front")
    with connection(games.display) as (x, d):
        held = focus(x, d)
        x.XRaiseWindow(d, other.window)
        x.XSync(d, 0)
        # Managers that honour the raise have done so once the other frame is above the game's (metacity does not).
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            order = tree(x, d, x.XDefaultRootWindow(d))[2]
            if order.index(root_child(x, d, other.window)) > order.index(root_child(x, d, game.window)):
                break
            time.sleep(0.01)
        assert focus(x, d) == held  # the game keeps the focus
    assert game_pixels_inside(quorvel.capture_window(game.window)) == WIDTH * HEIGHT


@contextlib.contextmanager
def on_desktop(display, window, desktop):
    """`window` moved to `desktop` (the current one stays), once the manager has hidden it; desktop 0 after."""
    with connection(display) as (x, d):
        root = x.XDefaultRootWindow(d)
        root_message(x, d, window, b"_NET_WM_DESKTOP", desktop, 2)
        await_true(lambda: xvfb_support._property(x, d, window, b"_NET_WM_DESKTOP", 6) == [desktop])  # CARDINAL
        try:
            yield x, d, root
        finally:
            root_message(x, d, window, b"_NET_WM_DESKTOP", 0, 2)
            root_message(x, d, root, b"_NET_CURRENT_DESKTOP", 0, 0)
            await_true(lambda: xvfb_support._property(x, d, root, b"_NET_CURRENT_DESKTOP", 6) == [0])


def test_a_window_on_another_desktop_is_captured_on_its_desktop(games):
    if games.display.manager not in ("metacity", "openbox"):
        pytest.skip("no desktops")
    game = games.start("Games/Foo", *PLACE, "--color", f"{GAME:06X}")
    with on_desktop(games.display, game.window, 1) as (x, d, root):
        # A compositing manager (metacity) on a busy machine may draw the window a capture late; one that does not
        # take the window's desktop fails every capture.
        shots = [quorvel.capture_window(game.window) for _ in range(3)]
        assert WIDTH * HEIGHT in [game_pixels_inside(shot) for shot in shots if shot is not None]
        assert xvfb_support._property(x, d, root, b"_NET_CURRENT_DESKTOP", 6) == [1]


def test_a_window_the_manager_leaves_off_screen_is_not_captured(games):
    if games.display.manager not in ("metacity", "openbox"):
        pytest.skip("no desktops")
    records = []
    logger = logging.getLogger("quorvel.capture_in_front_test")
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    logger.addHandler(type("Collect", (logging.Handler,), {"emit": lambda self, r: records.append(r)})())
    quorvel.init_logging("quorvel.capture_in_front_test")
    game = games.start("Games/Foo", *PLACE, "--color", f"{GAME:06X}")
    with on_desktop(games.display, game.window, 1):
        time.sleep(0.3)  # the manager has gone quiet: stopped inside a grab it would freeze every client
        group = games.display.window_manager_pid  # its own process group, the session bus included
        os.killpg(group, signal.SIGSTOP)
        try:
            assert quorvel.capture_window(game.window) is None
        finally:
            os.killpg(group, signal.SIGCONT)
    assert [(r.levelno, "not on screen" in r.getMessage()) for r in records] == [(logging.ERROR, True)]
