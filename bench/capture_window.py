"""capture_window of a foreground window on a private 1920x1080 Xvfb, in one run with the raw ways of reading the
same monitor: XShmGetImage into a reused segment (the floor) and one-shot (connection and segment per call), both
from bench_capture_layer, and Pillow's ImageGrab (Debian's python3-pil under /usr/bin/python3). Prints median ms
and the ratios, and the 10th percentile of the module's calls; --window-manager runs openbox on the display. Figures
only, never pass/fail.

    PYTHONPATH=build/release/python "$(bash scripts/find-python.sh)" bench/capture_window.py [--runs N]
        [--window-manager]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import quorvel  # noqa: E402
from xvfb_support import GameWindow, PrivateDisplay, copy_program  # noqa: E402


def timed_ms(runs, body):
    """median and 10th percentile, ms"""
    body()  # warm-up
    ms = []
    for _ in range(runs):
        start = time.perf_counter()
        body()
        ms.append((time.perf_counter() - start) * 1000)
    ms.sort()
    return ms[len(ms) // 2], ms[len(ms) // 10]


def raw_peers(build, display, runs):
    """floor, one-shot, the floor followed by the capture's copy out of its segment (the least any capture can cost)
    and the layer's own figure, from bench_capture_layer on the same display."""
    out = subprocess.run([os.path.join(build, "bench", "bench_capture_layer"), str(runs)], env=display.env(),
                         capture_output=True, text=True, check=True).stdout
    figure = lambda label: float(re.search(re.escape(label) + r"\s+([0-9.]+)", out).group(1))
    return (figure("XShmGetImage, reused segment (floor)"), figure("XShmGetImage one-shot (connection+segment)"),
            figure("floor, then the copy out of its segment"), figure("layer: full capture (device .. copy)"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--window-manager", action="store_true", help="run openbox on the display")
    parser.add_argument("--build", default=os.environ.get("QUORVEL_BUILD_DIR", os.path.join(HERE, "..", "build",
                                                                                             "release")))
    args = parser.parse_args()
    os.environ["QUORVEL_BUILD_DIR"] = args.build

    with PrivateDisplay(width=1920, height=1080, window_manager=args.window_manager) as display, tempfile.TemporaryDirectory() as install:
        os.environ["DISPLAY"] = display.name
        exe = copy_program(install)
        with GameWindow(display, exe, "--pos", "200,150", "--size", "1280x720", "--color", "3080C0") as game:
            hwnd = quorvel.find_window_by_path(install)
            assert hwnd == game.window
            shot = quorvel.capture_window(hwnd)  # activates it: from here on it is the foreground window
            assert shot is not None and (shot.width, shot.height) == (1920, 1080)
            capture, capture_p10 = timed_ms(args.runs, lambda: quorvel.capture_window(hwnd))
            search, search_p10 = timed_ms(args.runs, lambda: quorvel.find_window_by_path(install))
            floor, one_shot, bound, layer = raw_peers(args.build, display, args.runs)
            grab = float(subprocess.run(["/usr/bin/python3", os.path.join(HERE, "capture_imagegrab.py"),
                                         str(args.runs)], env=display.env(), capture_output=True, text=True,
                                        check=True).stdout)

    print(f"1920x1080 monitor, foreground window{' under openbox' if args.window_manager else ''}, "
          f"median of {args.runs} runs (ms)")
    rows = [("quorvel.capture_window (Python call, whole capture)", capture),
            ("the duplication layer alone (bench_capture_layer)", layer),
            ("the floor, then the capture's copy out of its segment", bound),
            ("XShmGetImage, reused segment (the floor)", floor),
            ("XShmGetImage one-shot (connection+segment)", one_shot),
            ("Pillow ImageGrab.grab() (/usr/bin/python3)", grab),
            ("quorvel.find_window_by_path (for scale)", search)]
    for label, ms in rows:
        print(f"{label:54s} {ms:8.2f}   {ms / floor:6.1f}x floor")
    print(f"capture_window: {capture / floor:.1f}x the floor, {one_shot / capture:.1f}x faster than one-shot, "
          f"{grab / capture:.1f}x faster than ImageGrab")
    print(f"10th percentile: capture_window {capture_p10:.2f}, find_window_by_path {search_p10:.2f}")


if __name__ == "__main__":
    main()
