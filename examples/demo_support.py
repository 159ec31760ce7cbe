"""What the demo needs besides quorvel: PNG files written and read with the standard library only (no Pillow under
3.13), a private X server, and the stand-in game window program run as a separate process."""

import os
import select
import struct
import subprocess
import time
import zlib


class DemoFailure(Exception):
    """A capability did not do what the demo shows."""


class CannotRun(Exception):
    """A part cannot run on this machine (the reason is the message)."""


def check(condition, message):
    if not condition:
        raise DemoFailure(message)


# --- PNG ---------------------------------------------------------------------------------------------------------

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def write_png_from_bgrx(path, blob, width, height, row_pitch):
    """Writes B G R X pixels (rows `row_pitch` bytes apart) as an 8-bit RGB PNG."""
    rows = []
    for y in range(height):
        row = blob[y * row_pitch:y * row_pitch + width * 4]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        rows.append(b"\0" + rgb)  # filter type 0 for every row
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(PNG_SIGNATURE + _chunk(b"IHDR", ihdr) + _chunk(b"IDAT", zlib.compress(b"".join(rows), 6))
                + _chunk(b"IEND", b""))


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def read_rgba_png(data):
    """(width, height, RGBA bytes) of an 8-bit RGBA, non-interlaced PNG; DemoFailure for anything else or a damaged
    file, so that a PNG the module makes is proven readable, not just present."""
    check(data[:8] == PNG_SIGNATURE, "not a PNG file (wrong signature)")
    pos, header, idat = 8, None, []
    while pos < len(data):
        check(pos + 12 <= len(data), "PNG cut short")
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        payload = data[pos + 8:pos + 8 + length]
        check(len(payload) == length, "PNG cut short")
        check(struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0] == zlib.crc32(kind + payload),
              f"PNG chunk {kind!r} has a wrong CRC")
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", payload)
        elif kind == b"IDAT":
            idat.append(payload)
        elif kind == b"IEND":
            break
    check(header is not None and idat, "PNG without IHDR or IDAT")
    width, height, depth, colour, _, _, interlace = header
    check((depth, colour, interlace) == (8, 6, 0), f"PNG is not 8-bit RGBA non-interlaced: {header}")
    raw = zlib.decompress(b"".join(idat))
    stride = width * 4
    check(len(raw) == height * (stride + 1), "PNG image data has the wrong length")
    out, prev = bytearray(), bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        check(kind <= 4, f"PNG row {y} has filter type {kind}")
        for x in range(stride if kind else 0):
            a, b, c = (line[x - 4], prev[x], prev[x - 4]) if x >= 4 else (0, prev[x], 0)
            line[x] = (line[x] + (0, a, b, (a + b) // 2, _paeth(a, b, c) if kind == 4 else 0)[kind]) & 255
        out += line
        prev = line
    return width, height, bytes(out)


# --- X server and window program ---------------------------------------------------------------------------------

def _read_lines(proc_stream, last, timeout):
    """Lines from a pipe until `last`, end of file or the deadline."""
    lines, pending = [], b""
    deadline = time.monotonic() + timeout
    fd = proc_stream.fileno()
    while time.monotonic() < deadline:
        if not select.select([fd], [], [], 0.05)[0]:
            continue
        chunk = os.read(fd, 256)
        if not chunk:
            break
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            lines.append(line.decode())
            if lines[-1] == last:
                return lines
    return lines


def _stop(proc):
    if proc is not None and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class PrivateXvfb:
    """An Xvfb of its own, on a display number it picks itself; stopped on exit."""

    def __init__(self, width=1280, height=720):
        self.size = f"{width}x{height}x24"
        self.name = None
        self._proc = None

    def __enter__(self):
        read_fd, write_fd = os.pipe()
        try:
            self._proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.size,
                                           "-nolisten", "tcp"], pass_fds=(write_fd,),
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except FileNotFoundError:
            raise CannotRun("Xvfb is not installed (Debian package xvfb)") from None
        finally:
            os.close(write_fd)
        with os.fdopen(read_fd, "rb") as reader:
            lines = _read_lines(reader, "", 10)
        if not lines or not lines[0].isdigit():
            status = self._proc.poll()
            _stop(self._proc)
            raise CannotRun("Xvfb did not start" + (f" (exit status {status})" if status is not None else
                                                    " within 10 s"))
        self.name = ":" + lines[0]
        return self

    def __exit__(self, *exc):
        _stop(self._proc)


class GameWindow:
    """One run of the window program; `window` is the X window id it reports once its window is shown."""

    def __init__(self, executable, display, *options):
        self.executable, self.display, self.options = executable, display, options
        self.proc = None
        self.window = None

    def __enter__(self):
        env = dict(os.environ, DISPLAY=self.display)
        self.proc = subprocess.Popen([self.executable, *self.options], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        for line in _read_lines(self.proc.stdout, "ready", 10):
            key, _, value = line.partition(" ")
            if key == "window":
                self.window = int(value)
        if self.window is None:
            status = self.proc.poll()
            self.__exit__()
            if status == 3:
                raise CannotRun(f"the window program cannot open display {self.display}")
            raise DemoFailure(f"the window program did not report its window (exit status {status})")
        return self

    def __exit__(self, *exc):
        _stop(self.proc)
        self.proc.stdout.close()
