"""A private X server for the Python tests, and the stand-in game window program run as a real client.

    with PrivateDisplay(monitors=SIDE_BY_SIDE, window_manager=True) as display:
        os.environ["DISPLAY"] = display.name          # or pass env=display.env() to subprocesses
        with GameWindow(display, exe_path, "--pos", "2000,100") as game:
            game.window, game.pid, game.ids["child"]

Xvfb picks a free display number itself (-displayfd); -noreset keeps the RandR monitors set with xrandr when the
last client leaves. The window program is built at <build>/fixtures/x11_window (fixture_program()).
"""

import atexit
import os
import select
import shutil
import subprocess
import tempfile
import time

# name, x, y, width, height, width in mm, height in mm: two 1920x1080 monitors side by side, 96 and 192 DPI.
SIDE_BY_SIDE = [("LEFT", 0, 0, 1920, 1080, 508, 286), ("RIGHT", 1920, 0, 1920, 1080, 254, 143)]


def fixture_program():
    build = os.environ.get("QUORVEL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "release"))
    return os.path.join(build, "fixtures", "x11_window")


def _read_lines(stream, last, timeout):
    """Lines from a pipe until `last`, end of file or the deadline."""
    lines, pending = [], b""
    deadline = time.monotonic() + timeout
    fd = stream.fileno()
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if not ready:
            continue
        chunk = os.read(fd, 256)
        if not chunk:
            break
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            lines.append(line.decode())
            if line.decode() == last:
                return lines
    return lines


# Openbox as the tests need it: no focus given to new windows a moment after they map, which would race with the
# activation a test asks for, and no iconify animation, so a restored window has its place at once.
OPENBOX_RC = ('<openbox_config xmlns="http://openbox.org/3.4/rc"><focus><focusNew>no</focusNew></focus>'
              '<theme><animateIconify>no</animateIconify></theme></openbox_config>')
_openbox_rc_path = None


def _openbox_config():
    global _openbox_rc_path
    if _openbox_rc_path is None:
        fd, _openbox_rc_path = tempfile.mkstemp(prefix="quorvel-openbox-", suffix=".xml")
        with os.fdopen(fd, "w") as rc:
            rc.write(OPENBOX_RC)
        atexit.register(os.unlink, _openbox_rc_path)
    return _openbox_rc_path


class PrivateDisplay:
    def __init__(self, width=None, height=None, monitors=None, window_manager=False):
        self.monitors = monitors or []
        self.width = width or (max(m[1] + m[3] for m in self.monitors) if self.monitors else 1920)
        self.height = height or (max(m[2] + m[4] for m in self.monitors) if self.monitors else 1080)
        self.window_manager = window_manager
        self.name = None
        self._xvfb = self._wm = None

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["DISPLAY"] = self.name
        return env

    def start(self):
        read_fd, write_fd = os.pipe()
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{self.width}x{self.height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd, "rb") as reader:
            lines = _read_lines(reader, "", 10)
        if not lines or not lines[0]:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + lines[0]
        for i, (name, x, y, w, h, mw, mh) in enumerate(self.monitors):
            # The first monitor takes the server's one output, which retires the monitor the server made for it.
            output = "screen" if i == 0 else "none"
            subprocess.run(["xrandr", "--setmonitor", name, f"{w}/{mw}x{h}/{mh}+{x}+{y}", output],
                           env=self.env(), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.window_manager:
            self._wm = subprocess.Popen(["openbox", "--sm-disable", "--config-file", _openbox_config()], env=self.env(),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Ready when it manages a window: it announces itself before it takes map requests.
            probe = GameWindow(self, None, "--size", "10x10").start()
            try:
                deadline = time.monotonic() + 10
                while not self._managed(probe.window):
                    if time.monotonic() > deadline:
                        self.stop()
                        raise RuntimeError("openbox did not start")
                    time.sleep(0.02)
            finally:
                probe.stop()
        return self

    def _managed(self, window):
        out = subprocess.run(["xprop", "-id", str(window), "WM_STATE"], env=self.env(),
                             capture_output=True, text=True).stdout
        return "window state" in out

    def stop(self):
        for proc in (self._wm, self._xvfb):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        self._wm = self._xvfb = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class GameWindow:
    """One run of the window program; `window` is the main window's id, `ids` every id it printed."""

    def __init__(self, display, executable=None, *options):
        self.executable = executable or fixture_program()
        self.options = options
        self.display = display
        self.proc = None
        self.ids = {}

    def start(self):
        self.proc = subprocess.Popen([self.executable, *self.options], env=self.display.env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        for line in _read_lines(self.proc.stdout, "ready", 10):
            key, _, value = line.partition(" ")
            if value:
                self.ids[key] = int(value)
        if "window" not in self.ids:
            self.stop()
            raise RuntimeError("the window program did not report its window")
        return self

    @property
    def window(self):
        return self.ids["window"]

    @property
    def pid(self):
        return self.proc.pid

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(5)
        if self.proc is not None and self.proc.stdout is not None:
            self.proc.stdout.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def copy_program(install_dir, name="game.bin"):
    """Copies the window program into `install_dir` (made if missing); its new path."""
    os.makedirs(install_dir, exist_ok=True)
    target = os.path.join(install_dir, name)
    shutil.copy2(fixture_program(), target)
    return target
