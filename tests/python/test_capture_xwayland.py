"""capture_window under rootless Xwayland, as GNOME and KDE run X programs on Wayland: a headless weston starts
the X server on the first X client, and that server refuses to give out the screen's pixels.

weston needs XDG_RUNTIME_DIR (a private one here, mode 0700) and binds its X socket in /tmp/.X11-unix, which an X
server that ran before made; it dies if that folder is missing, so it is made here as an X server would make it.
"""

import logging
import os
import re
import shutil
import subprocess
import tempfile
import time

import pytest

import quorvel
from xvfb_support import GameWindow

pytestmark = pytest.mark.asan

FRAME_LINE = "RuduVizozadoz: unable to acquire a frame, hr=-2005270490"  # DXGI_ERROR_ACCESS_LOST


class RootlessXwayland:
    """A headless weston with Xwayland; `name` is the X display it listens on."""

    window_manager = False  # weston's own X window manager needs no waiting for by GameWindow

    def __init__(self):
        self.name = None
        self._runtime = tempfile.mkdtemp(prefix="quorvel-weston-")  # mode 0700
        self._log_path = os.path.join(self._runtime, "weston.log")  # weston's and Xwayland's output
        self._weston = None

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(DISPLAY=self.name, XDG_RUNTIME_DIR=self._runtime)
        return env

    def log(self, tail=500):
        """weston's output (its end, for a skip's reason)."""
        with open(self._log_path, "rb") as log:
            text = log.read().decode(errors="replace")
        return text[-tail:] if tail else text

    def start(self):
        """The display's name, or None when weston does not get as far as listening (see log())."""
        try:
            os.mkdir("/tmp/.X11-unix")
            os.chmod("/tmp/.X11-unix", 0o1777)  # whatever the umask, as X servers make it
        except FileExistsError:
            pass
        env = self.env()
        del env["DISPLAY"]
        with open(self._log_path, "wb") as log:
            self._weston = subprocess.Popen(
                ["weston", "--backend=headless-backend.so", "--xwayland", f"--socket=quorvel-{os.getpid()}",
                 "--idle-time=0", "--no-config"],
                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            found = re.search(r"xserver listening on display (:\d+)", self.log(tail=None))
            if found:
                self.name = found.group(1)
                break
            if self._weston.poll() is not None:
                break
            time.sleep(0.02)
        return self.name

    def stop(self):
        if self._weston is not None:
            if self._weston.poll() is None:
                self._weston.terminate()
                try:
                    self._weston.wait(5)
                except subprocess.TimeoutExpired:
                    self._weston.kill()
                    self._weston.wait()
        shutil.rmtree(self._runtime, ignore_errors=True)


@pytest.fixture
def xwayland(monkeypatch):
    if not (shutil.which("weston") and shutil.which("Xwayland")):
        pytest.skip("weston or Xwayland is not installed (Debian packages weston, xwayland)")
    server = RootlessXwayland()
    try:
        if server.start() is None:
            pytest.skip("weston did not start with Xwayland: " + server.log())
        monkeypatch.setenv("DISPLAY", server.name)
        yield server
    finally:
        server.stop()


def test_a_refused_read_gives_none_and_the_frames_error_line(xwayland):
    records = []
    logger = logging.getLogger("quorvel.xwayland_test")
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    logger.addHandler(type("Collect", (logging.Handler,), {"emit": lambda self, r: records.append(r)})())
    quorvel.init_logging("quorvel.xwayland_test")
    try:
        # Xwayland starts on this first client; one that cannot start leaves it without a window.
        game = GameWindow(xwayland, None, "--size", "300x200", "--color", "20A0F0").start()
    except RuntimeError:
        pytest.skip("Xwayland did not start under weston: " + xwayland.log())
    try:
        assert quorvel.capture_window(game.window) is None
    finally:
        game.stop()
    assert [(r.getMessage(), r.levelno) for r in records] == [(FRAME_LINE, logging.ERROR)]
    assert records[0].pathname.endswith(os.path.join("game_screenshoter", "dxgi_screenshot.cpp"))
