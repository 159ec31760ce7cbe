"""Shared by the window search and capture tests: private displays, game processes run from copies of the window
program in temporary install directories, and a server grab that holds a native call inside the X server."""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

from xvfb_support import GameWindow, PrivateDisplay, copy_program

# One server of each kind for the whole run: a server started after another has stopped may get its display name,
# which an open connection cannot tell apart.
_displays = {}


def _shared(kind, start):
    if kind not in _displays:
        _displays[kind] = start()
        atexit.register(_displays[kind].stop)
    return _displays[kind]


def _start_managed():
    return PrivateDisplay(window_manager=True).start()


class Games:
    """Window programs copied into install directories under one folder, on one display; stopped at the end."""

    def __init__(self, display, root):
        self.display, self.root, self.running = display, root, []

    def start(self, install="Games/Foo", *options):
        path = os.path.join(self.root, install, "game.bin")
        if not os.path.exists(path):  # a running copy cannot be overwritten
            copy_program(os.path.dirname(path))
        self.running.append(GameWindow(self.display, path, *options).start())
        return self.running[-1]


def _games(kind, start, tmp_path, monkeypatch):
    display = _shared(kind, start)
    monkeypatch.setenv("DISPLAY", display.name)
    games = Games(display, str(tmp_path))
    yield games
    for game in games.running:
        game.stop()


@pytest.fixture
def games(tmp_path, monkeypatch):
    """Two 1920x1080 monitors side by side, no window manager: windows stay where they are put."""
    yield from _games("plain", lambda: PrivateDisplay(monitors=[("LEFT", 0, 0, 1920, 1080, 508, 286),
                                                                ("RIGHT", 1920, 0, 1920, 1080, 508, 286)]).start(),
                      tmp_path, monkeypatch)


@pytest.fixture
def managed_games(tmp_path, monkeypatch):
    """One monitor with openbox, for minimising and restoring."""
    yield from _games("managed", _start_managed, tmp_path, monkeypatch)


@pytest.fixture
def desktop_games(tmp_path, monkeypatch):
    """One monitor with openbox in its default configuration, as a desktop runs it: windows are animated when they
    are minimised and restored, new windows take the focus."""
    yield from _games("desktop", lambda: PrivateDisplay(window_manager=True, openbox_defaults=True).start(), tmp_path,
                      monkeypatch)


GRABBER = textwrap.dedent("""
    import ctypes, select, sys
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XGrabServer.argtypes = x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    d = x.XOpenDisplay(None)
    x.XGrabServer(d)
    x.XSync(d, 0)
    print("grabbed", flush=True)
    select.select([sys.stdin], [], [], 10)
    x.XCloseDisplay(d)
""")


def call_during_server_grab(display, call):
    """Runs `call` while another client holds the server grabbed, so that the call waits inside the X server; a
    Python thread ends the grab after 0.3 s. Returns the call's result once it is proven that the thread ran while
    the call was still waiting, which it cannot do unless the call released the GIL (else the grab's own 10 s
    timeout would end the wait first)."""
    grabber = subprocess.Popen([sys.executable, "-c", GRABBER], env=display.env(), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    assert grabber.stdout.readline().strip() == "grabbed"
    released_at = []

    def release():
        time.sleep(0.3)
        released_at.append(time.monotonic())
        grabber.stdin.write("go\n")
        grabber.stdin.flush()

    thread = threading.Thread(target=release)
    thread.start()
    try:
        result = call()
        returned_at = time.monotonic()
    finally:
        thread.join()
        grabber.wait(15)
        grabber.stdin.close()
        grabber.stdout.close()
    assert released_at[0] < returned_at < released_at[0] + 5
    return result
