"""Shared by the window search and capture tests: private displays, game processes run from copies of the window
program in a temporary install directory, and an X server grab that holds a native call inside the server."""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

from xvfb_support import GameWindow, PrivateDisplay, copy_program


OPENBOX_RC = """<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <theme><animateIconify>no</animateIconify></theme>
</openbox_config>
"""

# One server of each kind for the whole run, shared by every test module that imports these fixtures: a server
# started after another has stopped may get its display name, which an open connection cannot tell apart.
_displays = {}


def _shared(kind, start):
    if kind not in _displays:
        _displays[kind] = start()
        atexit.register(_displays[kind].stop)
    return _displays[kind]


def _start_managed():
    # Openbox's iconify animation is off: a restored window then has its place at once, as the capture's pause
    # expects.
    config = tempfile.mkdtemp(prefix="quorvel-openbox-")
    atexit.register(shutil.rmtree, config, True)
    os.makedirs(os.path.join(config, "openbox"))
    with open(os.path.join(config, "openbox", "rc.xml"), "w") as rc:
        rc.write(OPENBOX_RC)
    previous = os.environ.get("XDG_CONFIG_HOME")
    os.environ["XDG_CONFIG_HOME"] = config
    try:
        return PrivateDisplay(window_manager=True).start()
    finally:
        if previous is None:
            del os.environ["XDG_CONFIG_HOME"]
        else:
            os.environ["XDG_CONFIG_HOME"] = previous


@pytest.fixture
def plain_display():
    """Two 1920x1080 monitors side by side, no window manager: windows stay where they are put."""
    return _shared("plain", lambda: PrivateDisplay(monitors=[("LEFT", 0, 0, 1920, 1080, 508, 286),
                                                             ("RIGHT", 1920, 0, 1920, 1080, 508, 286)]).start())


@pytest.fixture
def managed_display():
    """One monitor with openbox, for minimising and restoring."""
    return _shared("managed", _start_managed)


class Games:
    """Starts window programs copied into install directories under one temporary folder, stops them at the end."""

    def __init__(self, display, root):
        self.display = display
        self.root = root
        self.running = []

    def start(self, install="Games/Foo", *options, name="game.bin"):
        path = os.path.join(self.root, install, name)
        if not os.path.exists(path):  # a running copy cannot be overwritten
            copy_program(os.path.dirname(path), name)
        game = GameWindow(self.display, path, *options).start()
        self.running.append(game)
        return game

    def stop_all(self):
        for game in self.running:
            game.stop()


def games_on(display, tmp_path, monkeypatch):
    monkeypatch.setenv("DISPLAY", display.name)
    return Games(display, str(tmp_path))


# Grabs the server (no other client's request is served) until a line arrives on stdin or 10 s have passed.
GRABBER = textwrap.dedent("""
    import ctypes, select, sys
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XGrabServer.argtypes = x.XSync.argtypes = x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    d = x.XOpenDisplay(None)
    x.XGrabServer(d)
    x.XSync(d, 0)
    print("grabbed", flush=True)
    select.select([sys.stdin], [], [], 10)
    x.XCloseDisplay(d)
""")


class ServerGrab:
    """While held, every X request of another client waits, so a native call that talks to the server stays inside
    the call until the grab is released."""

    def __init__(self, display):
        self.proc = subprocess.Popen([sys.executable, "-c", GRABBER], env=display.env(), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "grabbed"

    def release(self):
        if self.proc.poll() is None:
            self.proc.stdin.write("go\n")
            self.proc.stdin.flush()

    def close(self):
        self.release()
        self.proc.wait(15)
        self.proc.stdin.close()
        self.proc.stdout.close()
