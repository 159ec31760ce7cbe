"""find_window_by_path and capture_window on a desktop with many windows and under a window manager, on a private
1920x1080 Xvfb. Figures only, never pass/fail.

    PYTHONPATH=build/release/python "$(bash scripts/find-python.sh)" bench/window_manager.py
        [--runs N] [--others 0,10,50,100] [--wm none,test,default] [--capture] [--concurrent]

- Search: the game's window on top of the stacking order, below it N windows of another process in another install
  directory; median and 10th percentile ms of `find_window_by_path`, and X round trips per call, counted as the
  waits for a reply (`poll` for input alone without a time-out, traced with strace over --runs calls against none).
- --capture: the waits of `capture_window` under the window manager: the first capture of a minimised window (and
  whether it shows the window at its place), a window whose activation the manager refuses (a client that takes no
  input focus), first and later calls, and the same with the manager stopped (SIGSTOP).
- --concurrent: `capture_window` of minimised windows, one per thread, 1 and 4 threads at once (started together);
  median and largest call, ms, and how many captures show their window (all its pixels inside `area`). Also under
  `metacity` with its default settings.

Window managers: none; `test`, openbox as the tests run it (iconify animation off); `default`, openbox with its
default configuration (/etc/xdg/openbox/rc.xml: animation on, new windows focused); `twm` (search only), twm with
its defaults: frames without EWMH's client list.
"""

import argparse
import contextlib
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from xvfb_support import GameWindow, PrivateDisplay, copy_program  # noqa: E402
from capture_window import timed_ms  # noqa: E402

PY = sys.executable

# Run under strace in a process of its own: `calls` searches, nothing else that waits on the server afterwards.
COUNTER = """
import sys, quorvel
install, calls = sys.argv[1], int(sys.argv[2])
assert quorvel.find_window_by_path(install) != 0
for _ in range(calls):
    quorvel.find_window_by_path(install)
"""


def waits_for_replies(display, install, calls):
    """polls for input alone without a time-out made by a process that searches `calls` times"""
    with tempfile.NamedTemporaryFile(suffix=".strace") as trace:
        subprocess.run(["strace", "-f", "-e", "trace=poll", "-o", trace.name, PY, "-c", COUNTER, install, str(calls)],
                       env=display.env(), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(trace.name) as lines:
            return sum(1 for line in lines if "events=POLLIN}], 1, -1)" in line)


def round_trips(display, install, calls=100):
    return (waits_for_replies(display, install, calls) - waits_for_replies(display, install, 0)) / calls


def start_display(wm):
    display = PrivateDisplay(width=1920, height=1080, window_manager=wm in ("test", "default"),
                             openbox_defaults=wm == "default")
    # Started as the caller enters it.
    return with_twm(display) if wm == "twm" else display


@contextlib.contextmanager
def with_twm(display):
    with display:
        twm = subprocess.Popen(["twm"], env=display.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Ready when it manages a window (placed where it asks to be: twm has the user place any other).
            deadline = time.monotonic() + 10
            with GameWindow(display, None, "--size", "10x10") as probe:
                while not display._managed(probe.window):
                    if time.monotonic() > deadline:
                        raise RuntimeError("twm did not start")
                    time.sleep(0.02)
            yield display
        finally:
            twm.terminate()
            twm.wait()


def search(args, wm, root):
    rows = []
    with start_display(wm) as display:
        os.environ["DISPLAY"] = display.name
        import quorvel
        others_exe = copy_program(os.path.join(root, "Other"))
        game_exe = copy_program(os.path.join(root, "Game"))
        install = os.path.dirname(game_exe)
        others = []
        try:
            for count in args.others:
                while len(others) < count:
                    x = 20 * (len(others) % 40)
                    others.append(GameWindow(display, others_exe, "--pos", f"{x},{x // 2}", "--size",
                                             "200x150").start())
                with GameWindow(display, game_exe, "--pos", "900,300", "--size", "320x240") as game:
                    assert quorvel.find_window_by_path(install) == game.window
                    median, p10 = timed_ms(args.runs, lambda: quorvel.find_window_by_path(install))
                    trips = round_trips(display, install)
                rows.append((wm, count, median, p10, trips))
        finally:
            for other in others:
                other.stop()
    return rows


def capture(args, wm, root):
    import quorvel
    rows = []
    with start_display(wm) as display:
        os.environ["DISPLAY"] = display.name
        exe = copy_program(os.path.join(root, "Capture"))
        # First, on a fresh server: a later window may get the id of an ended one, which the manager may still name
        # as the active window for a moment.
        with GameWindow(display, exe, "--pos", "500,300", "--no-focus") as refusing, \
                GameWindow(display, exe, "--pos", "700,300"):
            calls = []
            for _ in range(args.capture_runs):
                start = time.perf_counter()
                quorvel.capture_window(refusing.window)
                calls.append((time.perf_counter() - start) * 1000)
            later = sorted(calls[1:])
            rows.append((wm, "activation refused, first call", calls[0], calls[0], ""))
            rows.append((wm, "activation refused, later calls", later[len(later) // 2], later[-1], ""))
        firsts, correct = [], 0
        for _ in range(args.capture_runs):
            with GameWindow(display, exe, "--minimized", "--pos", "500,300", "--size", "300x200", "--color",
                            "C03010") as game:
                start = time.perf_counter()
                shot = quorvel.capture_window(game.window)
                firsts.append((time.perf_counter() - start) * 1000)
                a = shot.area
                offset = (a.y + a.h // 2) * shot.row_pitch + (a.x + a.w // 2) * 4
                correct += bytes(shot.image_blob[offset:offset + 3]) == b"\x10\x30\xC0" and a.w >= 300 and a.h >= 200
        firsts.sort()
        rows.append((wm, "minimised window, first capture", firsts[len(firsts) // 2], firsts[-1],
                     f"{correct}/{len(firsts)} show it at its place"))
        # The manager stopped (SIGSTOP): nothing it is asked is done.
        with GameWindow(display, exe, "--minimized") as minimised, GameWindow(display, exe, "--pos", "500,300") as \
                behind, GameWindow(display, exe, "--pos", "550,350"):
            time.sleep(0.5)  # a manager that focuses new windows does so a moment after they show
            os.kill(display.window_manager_pid, signal.SIGSTOP)
            try:
                start = time.perf_counter()
                quorvel.capture_window(minimised.window)
                stopped = [(time.perf_counter() - start) * 1000]
                for _ in range(args.capture_runs):
                    start = time.perf_counter()
                    quorvel.capture_window(behind.window)
                    stopped.append((time.perf_counter() - start) * 1000)
            finally:
                os.kill(display.window_manager_pid, signal.SIGCONT)
            later = sorted(stopped[2:])
            rows.append((wm, "manager stopped: minimised window", stopped[0], stopped[0], ""))
            rows.append((wm, "manager stopped: window not in front, first call", stopped[1], stopped[1], ""))
            rows.append((wm, "manager stopped: window not in front, later calls", later[len(later) // 2], later[-1],
                         ""))
    return rows


def concurrent(args, wm, root):
    import quorvel
    rows = []
    # Started once, by the with statement.
    with PrivateDisplay(width=1920, height=1080, window_manager=wm != "none", openbox_defaults=wm == "default",
                        manager="metacity" if wm == "metacity" else None) as display:
        os.environ["DISPLAY"] = display.name
        exe = copy_program(os.path.join(root, "Concurrent"))
        for threads in (1, 4):
            calls, right = [], 0
            for _ in range(args.capture_runs):
                colours = [0x20A040 + 0x10 * i for i in range(threads)]
                games = [GameWindow(display, exe, "--minimized", "--pos", f"{100 + 420 * i},300", "--size", "320x240",
                                    "--color", f"{c:06X}").start() for i, c in enumerate(colours)]
                try:
                    barrier = threading.Barrier(threads)
                    results = [None] * threads

                    def run(i):
                        barrier.wait()
                        start = time.perf_counter()
                        shot = quorvel.capture_window(games[i].window)
                        results[i] = ((time.perf_counter() - start) * 1000, shot)

                    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
                    for w in workers:
                        w.start()
                    for w in workers:
                        w.join()
                    for i, (ms, shot) in enumerate(results):
                        calls.append(ms)
                        right += shot is not None and pixels_inside(shot, colours[i]) == 320 * 240
                finally:
                    for game in games:
                        game.stop()
            calls.sort()
            rows.append((wm, f"{threads} thread(s), minimised windows", calls[len(calls) // 2], calls[-1],
                         f"{right}/{len(calls)} show their window"))
    return rows


def pixels_inside(shot, colour):
    a = shot.area
    want = bytes([colour & 0xFF, (colour >> 8) & 0xFF, colour >> 16])
    count = 0
    for y in range(max(a.y, 0), min(a.y + a.h, shot.height)):
        row = bytes(shot.image_blob[y * shot.row_pitch + max(a.x, 0) * 4:y * shot.row_pitch + min(a.x + a.w,
                                                                                               shot.width) * 4])
        count += sum(1 for i in range(0, len(row), 4) if row[i:i + 3] == want)
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--capture-runs", type=int, default=10)
    parser.add_argument("--others", default="0,10,50,100")
    parser.add_argument("--wm", default="none,test,default")
    parser.add_argument("--capture", action="store_true")
    parser.add_argument("--concurrent", action="store_true")
    parser.add_argument("--build", default=os.environ.get("QUORVEL_BUILD_DIR", os.path.join(HERE, "..", "build",
                                                                                             "release")))
    args = parser.parse_args()
    args.others = [int(n) for n in args.others.split(",")]
    os.environ["QUORVEL_BUILD_DIR"] = args.build
    with tempfile.TemporaryDirectory() as root:
        if args.capture or args.concurrent:
            print("window manager | case | median ms | max ms | note")
            for wm in args.wm.split(","):
                if wm != "none":
                    for row in (concurrent if args.concurrent else capture)(args, wm, root):
                        print(" | ".join(f"{v:.1f}" if isinstance(v, float) else str(v) for v in row))
            return
        print(f"find_window_by_path, game window on top; median / 10th percentile of {args.runs} calls (ms); "
              "round trips per call")
        print("window manager | other windows | median | p10 | round trips")
        for wm in args.wm.split(","):
            for row in search(args, wm, root):
                print(f"{row[0]} | {row[1]} | {row[2]:.3f} | {row[3]:.3f} | {row[4]:.1f}")


if __name__ == "__main__":
    main()
