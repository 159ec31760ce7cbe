"""A private X server for the Python tests, and the stand-in game window program run as a real client.

    with PrivateDisplay(monitors=SIDE_BY_SIDE, window_manager=True) as display:
        os.environ["DISPLAY"] = display.name          # or pass env=display.env() to subprocesses
        with GameWindow(display, exe_path, "--pos", "2000,100") as game:
            game.window, game.pid, game.ids["child"]

Xvfb picks a free display number itself (-displayfd); -noreset keeps the RandR monitors set with xrandr when the
last client leaves. The window program is built at <build>/fixtures/x11_window (fixture_program()).
"""

import atexit
import ctypes
import os
import select
import shutil
import signal
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
# Debian's openbox package installs its defaults here; named outright so that a user's own rc.xml plays no part.
OPENBOX_DEFAULT_RC = "/etc/xdg/openbox/rc.xml"
# Window managers from Debian by name, each with its default settings (a user's own files play no part).
MANAGERS = {
    "twm": ["twm", "-f", "/etc/X11/twm/system.twmrc"],
    # Metacity needs a session bus.
    "metacity": ["dbus-run-session", "--", "metacity", "--sm-disable"],
    "openbox": ["openbox", "--sm-disable", "--config-file", OPENBOX_DEFAULT_RC],
}


def _openbox_config():
    global _openbox_rc_path
    if _openbox_rc_path is None:
        fd, _openbox_rc_path = tempfile.mkstemp(prefix="quorvel-openbox-", suffix=".xml")
        with os.fdopen(fd, "w") as rc:
            rc.write(OPENBOX_RC)
        atexit.register(os.unlink, _openbox_rc_path)
    return _openbox_rc_path


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _Event(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


_x11 = None


def _xlib():
    global _x11
    if _x11 is None:
        x = ctypes.CDLL("libX11.so.6")
        d, w, a = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong
        x.XOpenDisplay.restype, x.XOpenDisplay.argtypes = d, [ctypes.c_char_p]
        x.XCloseDisplay.argtypes = [d]
        x.XDefaultRootWindow.restype, x.XDefaultRootWindow.argtypes = w, [d]
        x.XInternAtom.restype, x.XInternAtom.argtypes = a, [d, ctypes.c_char_p, ctypes.c_int]
        x.XGetSelectionOwner.restype, x.XGetSelectionOwner.argtypes = w, [d, a]
        x.XCreateSimpleWindow.restype = w
        x.XCreateSimpleWindow.argtypes = [d, w, ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint,
                                          ctypes.c_ulong, ctypes.c_ulong]
        x.XSendEvent.argtypes = [d, w, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_Event)]
        x.XGetWindowProperty.argtypes = [d, w, a, ctypes.c_long, ctypes.c_long, ctypes.c_int, a, ctypes.POINTER(a),
                                         ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
                                         ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XDestroyWindow.argtypes = x.XMapWindow.argtypes = [d, w]
        x.XSync.argtypes = [d, ctypes.c_int]
        _x11 = x
    return _x11


def _property(x, display, window, name, req_type):
    """The 32-bit items of a window property ([] when it is not set)."""
    actual, fmt, count, rest, data = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong(), \
        ctypes.c_void_p()
    if x.XGetWindowProperty(display, window, x.XInternAtom(display, name, 0), 0, 1 << 16, 0, req_type,
                            ctypes.byref(actual), ctypes.byref(fmt), ctypes.byref(count), ctypes.byref(rest),
                            ctypes.byref(data)) != 0 or not data.value:
        return []
    try:
        return list((ctypes.c_ulong * count.value).from_address(data.value)) if fmt.value == 32 else [0] * count.value
    finally:
        x.XFree(data)


def _await_let_go(display_name, windows, timeout=10):
    """Returns once the window manager, if one runs, is done with `windows` of a client that has ended.

    Openbox lets go of a window by its id, and X hands a new client the id range of one that has ended, so the next
    window program's first window often gets the id of the last one's. Requests the manager makes on a window it lets
    go of (moving it back to where it first asked to be, clearing its state) then land on the new window if they come
    late, and it starts with the old one's size and place. So: until the windows have left _NET_CLIENT_LIST, then
    until the manager answers a request sent after that, which it does only once it has handled everything before.
    """
    x = _xlib()
    display = x.XOpenDisplay(display_name.encode())
    if not display:
        return True  # the server is gone
    try:
        root = x.XDefaultRootWindow(display)
        # The manager holds WM_S0 while it runs (ICCCM); the selection falls back to None when it dies.
        if not x.XGetSelectionOwner(display, x.XInternAtom(display, b"WM_S0", 0)):
            return True
        deadline = time.monotonic() + timeout
        while set(windows) & set(_property(x, display, root, b"_NET_CLIENT_LIST", 33)):  # XA_WINDOW
            if time.monotonic() > deadline:
                return False
            time.sleep(0.005)
        # _NET_REQUEST_FRAME_EXTENTS: the manager answers by setting _NET_FRAME_EXTENTS on the (unmapped) asking window.
        asking = x.XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0)
        event = _Event()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = asking
        event.xclient.message_type = x.XInternAtom(display, b"_NET_REQUEST_FRAME_EXTENTS", 0)
        event.xclient.format = 32
        x.XSendEvent(display, root, 0, (1 << 20) | (1 << 19), ctypes.byref(event))  # Substructure{Redirect,Notify}
        answered = False
        while not answered and time.monotonic() < deadline:
            answered = bool(_property(x, display, asking, b"_NET_FRAME_EXTENTS", 0))  # AnyPropertyType
            if not answered:
                time.sleep(0.005)
        x.XDestroyWindow(display, asking)
        x.XSync(display, 0)
        return answered
    finally:
        x.XCloseDisplay(display)


def _map_window(display_name, window):
    x = _xlib()
    display = x.XOpenDisplay(display_name.encode())
    if display:
        x.XMapWindow(display, window)
        x.XSync(display, 0)
        x.XCloseDisplay(display)


class PrivateDisplay:
    def __init__(self, width=None, height=None, monitors=None, window_manager=False, openbox_defaults=False,
                 manager=None):
        """openbox_defaults: openbox with its default configuration (iconify animation on, new windows focused), as
        a desktop runs it, instead of the tests' one. manager: instead, another window manager of MANAGERS by name,
        run with its default settings."""
        self.monitors = monitors or []
        self.openbox_defaults = openbox_defaults
        self.width = width or (max(m[1] + m[3] for m in self.monitors) if self.monitors else 1920)
        self.height = height or (max(m[2] + m[4] for m in self.monitors) if self.monitors else 1080)
        if manager is not None and manager not in MANAGERS:
            raise ValueError(f"unknown window manager {manager!r}")
        self.manager = manager
        self.window_manager = window_manager or manager is not None
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
            if self.manager is not None:
                command = MANAGERS[self.manager]
            else:
                config = OPENBOX_DEFAULT_RC if self.openbox_defaults else _openbox_config()
                command = ["openbox", "--sm-disable", "--config-file", config]
            # A session of its own, so that stop() ends the manager with whatever it started (dbus-run-session's bus).
            self._wm = subprocess.Popen(command, env=self._manager_env(), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
            # Ready when it manages a window: it announces itself before it takes map requests.
            probe = GameWindow(self, None, "--size", "10x10").start()
            try:
                deadline = time.monotonic() + 10
                remap = time.monotonic() + 0.5
                while not self._managed(probe.window):
                    if time.monotonic() > deadline:
                        self.stop()
                        raise RuntimeError(f"{self.manager or 'openbox'} did not start")
                    if time.monotonic() > remap:
                        # A map request that reaches openbox while it starts can be lost (the window stays
                        # unmapped): ask again.
                        _map_window(self.name, probe.window)
                        remap += 0.5
                    time.sleep(0.02)
            finally:
                probe.stop()
        return self

    def _manager_env(self):
        env = self.env()
        # The settings' defaults, whatever the user's settings store holds; nothing written to it.
        env["GSETTINGS_BACKEND"] = "memory"
        # The sanitizer runtime that an instrumented test run preloads is not the manager's (metacity fails under it).
        env.pop("LD_PRELOAD", None)
        return env

    @property
    def window_manager_pid(self):
        return self._wm.pid if self._wm is not None else None

    def _managed(self, window):
        out = subprocess.run(["xprop", "-id", str(window), "WM_STATE"], env=self.env(),
                             capture_output=True, text=True).stdout
        return "window state" in out

    def stop(self):
        for proc in (self._wm, self._xvfb):
            if proc is not None and proc.poll() is None:
                if proc is self._wm:
                    os.killpg(proc.pid, signal.SIGTERM)  # its own session: a bus it started goes too
                else:
                    proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    if proc is self._wm:
                        os.killpg(proc.pid, signal.SIGKILL)
                    else:
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
        """Ends the program; returns once the window manager, if one runs, is done with its windows."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(5)
        if self.proc is not None and self.proc.stdout is not None:
            self.proc.stdout.close()
        if self.display.window_manager and self.ids:
            _await_let_go(self.display.name, self.ids.values())

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
