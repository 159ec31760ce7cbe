"""Pillow's ImageGrab on the display in $DISPLAY: median ms of full-screen grabs. Run under Debian's /usr/bin/python3,
whose python3-pil is the peer (it does not import under CPython 3.13).

    DISPLAY=:N /usr/bin/python3 bench/capture_imagegrab.py RUNS
"""

import sys
import time

from PIL import ImageGrab


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    ImageGrab.grab()  # warm-up
    ms = []
    for _ in range(runs):
        start = time.perf_counter()
        ImageGrab.grab()
        ms.append((time.perf_counter() - start) * 1000)
    ms.sort()
    print(f"{ms[len(ms) // 2]:.3f}")


if __name__ == "__main__":
    main()
