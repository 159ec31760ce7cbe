"""A tour of what quorvel does, each part checked: the file watcher with native log lines routed into Python logging,
finding and capturing a game's window, known folders, environment expansion, and icons as PNG files.

    demo.py [--display] [--build DIR]

--display uses the X server named by $DISPLAY instead of a private Xvfb. --build names the CMake build folder that
holds the window and icon fixture programs (default: build/release beside this folder). Exit status 1 when a part
shows that a capability does not work; a part that cannot run on this machine says why and the others still run.
"""

import argparse
import contextlib
import logging
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

import quorvel

from demo_support import (CannotRun, DemoFailure, GameWindow, PrivateXvfb, check, read_rgba_png,
                          write_png_from_bgrx)

sys.stdout.reconfigure(line_buffering=True)
logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="  log   %(name)s %(levelname)s: %(message)s")


# --- 1. the watcher and the logging bridge ------------------------------------------------------------------------

def watcher_part(args):
    records = []
    collector = logging.Handler()
    collector.emit = records.append
    logging.getLogger("quorvel").addHandler(collector)
    quorvel.init_logging()  # native log lines now reach the Python logger "quorvel"

    events = []
    seen = threading.Condition()
    touring = False

    def handler(watch_id, action, path, old_path):
        # Called on the watcher's worker thread.
        line = f"event {action.name:<6} {os.path.relpath(path, root)}"
        if old_path:
            line += f" (was {os.path.relpath(old_path, root)})"
        with seen:
            events.append(line)
            if touring:
                print("  " + line)
            seen.notify_all()

    def wait_until(condition, timeout=5.0):
        with seen:
            return seen.wait_for(condition, timeout)

    def flt(pattern, depth):
        f = quorvel.WatchFilter()
        f.pattern = pattern
        f.recursive_depth = depth
        return f

    with tempfile.TemporaryDirectory(prefix="quorvel-watch-") as root:
        print("  watching", root, "for *.txt in it and anything one level down")
        check(quorvel.start_fs_watch(handler), "start_fs_watch did not start the watcher")
        try:
            everything = quorvel.MODIFY | quorvel.CREATE | quorvel.DELETE | quorvel.RENAME
            # *.txt directly in the directory, and anything one level down (which also turns the subtree on).
            watch_id = quorvel.add_fs_watch(root, [flt("*.txt", 0), flt("*", 1)], everything, False)
            check(watch_id != 0, "add_fs_watch refused an existing directory")

            # The first read is armed on the worker: wait until a probe file is reported before the tour starts.
            probe = os.path.join(root, "probe.txt")
            deadline = time.monotonic() + 10
            while not wait_until(lambda: events, timeout=0.05):
                check(time.monotonic() < deadline, "no event within 10 s of creating a watched file")
                open(probe, "a").close()
            os.remove(probe)
            wait_until(lambda: any("DELETE" in e and "probe" in e for e in events))
            with seen:
                events.clear()
                touring = True

            # Another process makes the changes, as a game or a launcher would.
            script = """
import os, sys
root = sys.argv[1]
with open(os.path.join(root, "a.txt"), "w") as f: f.write("hello")
with open(os.path.join(root, "a.txt"), "a") as f: f.write(" world")
os.rename(os.path.join(root, "a.txt"), os.path.join(root, "b.txt"))
os.mkdir(os.path.join(root, "sub"))
with open(os.path.join(root, "sub", "c.log"), "w") as f: f.write("x")
with open(os.path.join(root, "ignored.log"), "w") as f: f.write("x")
os.remove(os.path.join(root, "b.txt"))
"""
            subprocess.run([sys.executable, "-c", script, root], check=True)
            wait_until(lambda: any("DELETE" in e and "b.txt" in e for e in events))
            time.sleep(0.2)  # let late events arrive before the watch goes
            quorvel.remove_fs_watch(watch_id)

            expected = ["event CREATE a.txt", "event RENAME b.txt (was a.txt)", "event CREATE sub/c.log",
                        "event DELETE b.txt"]
            with seen:
                missing = [e for e in expected if e not in events]
                check(not missing, f"events not reported: {missing}")
                check(not any("ignored" in e for e in events), "ignored.log matches no filter but was reported")
                print(f"  {len(events)} events; ignored.log (no filter matches it) was left out")

            before = len(records)
            missing_id = quorvel.add_fs_watch(os.path.join(root, "missing"), [flt("*", 0)], quorvel.CREATE, False)
            print("  a watch on a missing directory gives", missing_id)
            check(missing_id == 0, "a watch on a missing directory was accepted")
            check(any(r.levelno == logging.ERROR and "unable to open directory" in r.getMessage()
                      for r in records[before:]), "the native error line did not reach Python logging")
        finally:
            quorvel.stop_fs_watch()


# --- 2. a game's window found by its install folder, and captured -------------------------------------------------

GAME_SIZE, GAME_POS, GAME_COLOUR = (200, 150), (100, 80), (0x33, 0x66, 0xCC)


def window_part(args):
    program = os.path.join(args.build, "fixtures", "x11_window")
    check(os.path.isfile(program), f"the window program is not built: {program} (CMake target x11_window)")
    if args.display:
        if not os.environ.get("DISPLAY"):
            raise CannotRun("--display was given but $DISPLAY is not set")
        server, what = contextlib.nullcontext(), "the display named by $DISPLAY"
    else:
        server, what = PrivateXvfb(), "a private Xvfb started for the demo"
    with server, tempfile.TemporaryDirectory(prefix="quorvel-games-") as games:
        display = os.environ["DISPLAY"] if args.display else server.name
        # A copy, not a link: the window's process must run from the game folder (/proc/PID/exe names the file).
        # /proc/PID/exe names the file with every link resolved, and so must the folder searched for.
        game_dir = os.path.join(os.path.realpath(games), "Games", "Demo Game")
        os.makedirs(game_dir)
        executable = shutil.copy2(program, os.path.join(game_dir, "game.bin"))
        saved = os.environ.get("DISPLAY")
        os.environ["DISPLAY"] = display
        try:
            (w, h), (x, y) = GAME_SIZE, GAME_POS
            colour = "%02X%02X%02X" % GAME_COLOUR
            print(f"  X display {display}: {what}")
            with GameWindow(executable, display, "--size", f"{w}x{h}", "--pos", f"{x},{y}", "--color", colour,
                            "--title", "quorvel demo game") as game:
                print(f"  game {executable} runs as pid {game.proc.pid} with window {game.window}, "
                      f"{w}x{h} at {x},{y}, painted #{colour}")
                check(os.readlink(f"/proc/{game.proc.pid}/exe") == executable, "the game does not run from its folder")
                install = game_dir + os.sep  # the separator keeps ".../Demo Gamer" from matching
                hwnd = quorvel.find_window_by_path(install)
                print(f"  find_window_by_path({install!r}) -> {hwnd}")
                check(hwnd == game.window, f"find_window_by_path gave {hwnd}, the game's window is {game.window}")

                started = time.monotonic()
                shot = quorvel.capture_window(hwnd)
                took = time.monotonic() - started
                check(shot is not None, "capture_window gave None (its reason is logged above)")
                blob, area = shot.image_blob.tobytes(), shot.area
                print(f"  capture_window -> {shot.width}x{shot.height} image of the monitor (row pitch "
                      f"{shot.row_pitch}) in {took * 1000:.0f} ms; window area x={area.x} y={area.y} "
                      f"w={area.w} h={area.h}")
                check(len(blob) == shot.row_pitch * shot.height and shot.row_pitch >= shot.width * 4,
                      f"image_blob holds {len(blob)} bytes for {shot.height} rows of {shot.row_pitch}")
                if args.display:  # a window manager's frame is part of the area, and it may move the window
                    check(area.w >= w and area.h >= h, f"the area is {area.w}x{area.h}, the window {w}x{h}")
                else:
                    check((area.x, area.y, area.w, area.h) == (x, y, w, h),
                          f"the area is {area.w}x{area.h} at {area.x},{area.y}, the window {w}x{h} at {x},{y}")
                check_window_pixels(shot, blob, area, framed=args.display)

                path = os.path.join(args.out, "capture.png")
                write_png_from_bgrx(path, blob, shot.width, shot.height, shot.row_pitch)
                print(f"  capture written to {path}")
        finally:
            if saved is None:
                os.environ.pop("DISPLAY", None)
            else:
                os.environ["DISPLAY"] = saved


def check_window_pixels(shot, pixels, area, framed):
    """The area holds the whole window: each of its pixels has the game's colour. Without a window manager the area
    is the window to the pixel: nothing else in it, and the pixels just outside it are not the window's."""
    colour = bytes(reversed(GAME_COLOUR))  # B G R, as the image holds them
    x0, x1 = max(area.x, 0), min(area.x + area.w, shot.width)
    y0, y1 = max(area.y, 0), min(area.y + area.h, shot.height)
    check(x0 < x1 and y0 < y1, "the window's area lies outside the captured monitor")
    count = sum(1 for y in range(y0, y1) for i in range(y * shot.row_pitch + x0 * 4, y * shot.row_pitch + x1 * 4, 4)
                if pixels[i:i + 3] == colour)
    window = GAME_SIZE[0] * GAME_SIZE[1]
    check(count == window, f"{count} pixels of the area have the window's colour, the window has {window}")

    def rgb(px, py):
        i = py * shot.row_pitch + px * 4
        return pixels[i + 2], pixels[i + 1], pixels[i]

    cx, cy = (x0 + x1) // 2, (y0 + y1) // 2
    check(rgb(cx, cy) == GAME_COLOUR, "the pixel at the area's centre is not the window's")
    print(f"  pixel at the area's centre ({cx},{cy}): #%02X%02X%02X; the window's {window} pixels are all in the "
          f"area" % rgb(cx, cy) + (" (which may include a window manager's frame)" if framed else ", and nothing else"))
    if not framed:
        for px, py in ((area.x - 1, cy), (area.x + area.w, cy), (cx, area.y - 1), (cx, area.y + area.h)):
            if 0 <= px < shot.width and 0 <= py < shot.height:
                check(rgb(px, py) != GAME_COLOUR, f"pixel {px},{py} just outside the area has the window's colour")


# --- 3. known folders, 4. environment expansion ------------------------------------------------------------------

def xdg_user_dir(name, home):
    if shutil.which("xdg-user-dir") is None:
        return None
    return subprocess.run(["xdg-user-dir", name], capture_output=True, text=True).stdout.rstrip("\n") or home


def xdg_home(variable, fallback):
    value = os.environ.get(variable, "")
    return value if os.path.isabs(value) else fallback


def known_folders_part(args):
    home = os.path.expanduser("~")
    folders = [
        ("Profile", "{5E6C858F-0E22-4760-9AFE-EA3317B67173}", home),
        ("Documents", "{FDD39AD0-238F-46AF-ADB4-6C85480369C7}", xdg_user_dir("DOCUMENTS", home)),
        ("Downloads", "{374DE290-123F-4565-9164-39C4925E467B}", xdg_user_dir("DOWNLOAD", home)),
        ("RoamingAppData", "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}",
         xdg_home("XDG_CONFIG_HOME", os.path.join(home, ".config"))),
        ("SavedGames", "{4C5C32FF-BB9D-43B0-B5B4-2D72E54EAAA4}",
         xdg_home("XDG_DATA_HOME", os.path.join(home, ".local", "share"))),
        ("not a known folder", "{00000000-0000-0000-0000-000000000000}", ""),
    ]
    for name, guid, where in folders:
        answer = quorvel.utils.get_known_path(guid)
        # A folder that does not exist is answered with "", as Windows verifies it.
        absent = where and not os.path.isdir(where)
        print(f"  {name:<18} {guid} -> {answer!r}" + (f" ({where} does not exist)" if absent else ""))
        if where is None:
            continue  # nothing here to compare with
        expected = "" if absent else where
        check(answer == expected, f"get_known_path of {name} gave {answer!r}, expected {expected!r}")


def environment_part(args):
    os.environ["QUORVEL_DEMO_GAME"] = "Demo Game"  # set now: the current environment is read, not a copy
    os.environ.pop("QUORVEL_DEMO_UNSET", None)
    path = "%HOME%/Games/%QUORVEL_DEMO_GAME%/saves/%QUORVEL_DEMO_UNSET%/100%"
    answer = quorvel.utils.expand_env_path(path)
    print(f"  expand_env_path({path!r})\n    -> {answer!r}")
    expected = path.replace("%QUORVEL_DEMO_GAME%", "Demo Game")
    if "HOME" in os.environ:
        expected = expected.replace("%HOME%", os.environ["HOME"])
    check(answer == expected, f"expected {expected!r}")
    print("  set variables replaced; the unset one and the lone % kept as written")


# --- 5. icons as PNG ---------------------------------------------------------------------------------------------

def icons_part(args):
    fixtures = os.path.join(args.build, "fixtures", "icons")
    program = os.path.join(fixtures, "icons.exe")
    check(os.path.isfile(program), f"the icon fixtures are not built: {program} (CMake target quorvel_icon_fixtures)")
    with tempfile.TemporaryDirectory(prefix="quorvel-folder-") as folder:
        for what, source, size, name in (("a folder", folder, 32, "folder-icon.png"),
                                         ("a Windows program", program, 48, "program-icon.png")):
            png = quorvel.utils.extract_png_from_executable_icon(source, size, size)
            check(png, f"no PNG for {what} ({source}): {png!r}")
            try:
                width, height, rgba = read_rgba_png(png)
            except DemoFailure as e:
                raise DemoFailure(f"the PNG of {what} is unreadable: {e}") from None
            path = os.path.join(args.out, name)
            with open(path, "wb") as f:
                f.write(png)
            print(f"  {what} {source}, asked {size}x{size} -> {path} ({width}x{height}, {len(png)} bytes)")
            check(any(rgba[3::4]), f"the icon of {what} is fully transparent")
            if source == program:
                check_program_icon(fixtures, size, width, height, rgba)


def check_program_icon(fixtures, size, width, height, rgba):
    """The program's first icon group is multi.ico, whose entries' pixels the fixture build wrote out
    (multi.ico.N.argb: width, height, then 0xAARRGGBB per pixel). It has an image of the asked size, which is the
    one to take: the PNG must be that entry's pixels exactly."""
    check((width, height) == (size, size), f"the icon has a {size}x{size} image, but a {width}x{height} one was taken")
    for index in range(16):
        path = os.path.join(fixtures, f"multi.ico.{index}.argb")
        if not os.path.exists(path):
            break
        with open(path, "rb") as f:
            data = f.read()
        if struct.unpack("<II", data[:8]) != (width, height):
            continue
        pixels = struct.unpack(f"<{width * height}I", data[8:])
        got = [(rgba[i + 3] << 24) | (rgba[i] << 16) | (rgba[i + 1] << 8) | rgba[i + 2]
               for i in range(0, len(rgba), 4)]
        check(list(pixels) == got, f"the PNG's pixels differ from entry {index} of multi.ico ({width}x{height})")
        print(f"  its pixels are entry {index} of the program's icon (multi.ico), exactly")
        return
    raise DemoFailure(f"the fixture multi.ico has no {width}x{height} entry")


PARTS = [
    ("watcher: another process's changes in a folder reach a Python handler, filtered by pattern and depth; "
     "native log lines reach Python logging", watcher_part),
    ("windows: a game started from a folder is found by that folder and its window captured to a PNG file",
     window_part),
    ("known folders: Windows known-folder identifiers answered with this user's folders", known_folders_part),
    ("environment: %NAME% references in a path expanded as Windows does", environment_part),
    ("icons: the icon the shell shows for a folder and for a Windows program, as PNG files", icons_part),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--display", action="store_true", help="use $DISPLAY instead of a private Xvfb")
    parser.add_argument("--build", default=os.environ.get("QUORVEL_BUILD_DIR", os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "build", "release")), help="CMake build folder")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.out = tempfile.mkdtemp(prefix="quorvel-demo-")
    print(f"quorvel from {quorvel.__file__}; files written go to {args.out}")

    failed, skipped = [], []
    for number, (what, part) in enumerate(PARTS, 1):
        print(f"\n[{number}] {what}")
        name = what.split(":")[0]
        try:
            part(args)
        except CannotRun as e:
            print(f"  cannot run here: {e}")
            skipped.append(name)
        except DemoFailure as e:
            print(f"  FAILED: {e}")
            failed.append(f"{name}: {e}")
        except Exception:
            traceback.print_exc(file=sys.stdout)
            failed.append(f"{name}: unexpected {sys.exc_info()[0].__name__}")

    print()
    if failed:
        print("demo FAILED:\n  " + "\n  ".join(failed), file=sys.stderr)
        return 1
    print(f"demo: {len(PARTS) - len(skipped)} of {len(PARTS)} parts shown and checked"
          + (f"; not run here: {', '.join(skipped)}" if skipped else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
