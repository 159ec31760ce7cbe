"""Icon to PNG: one call of utils.extract_png_from_executable_icon per icon against Debian icoutils doing the same
job (wrestool extracts the icon group from the PE file, icotool converts the chosen entry to PNG), in one run;
and the desktop icon theme's folder icon, which icoutils cannot give. Figures only.

Usage: PYTHONPATH=build/release/python python3.13 bench/icon_png.py [--fixtures build/release/fixtures/icons]
"""
import argparse
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import quorvel

# (file, PE group name or None for an .ico, size asked, icotool's 1-based index of the entry quorvel chooses, kind);
# file None: a folder, whose icon comes from the theme (no icoutils run)
CASES = [
    ("icons.exe", "APPICON", 16, 2, "1-bit BMP 16x16"),
    ("icons.exe", "APPICON", 48, 4, "24-bit BMP 48x48"),
    ("icons32.dll", "2", 64, 5, "32-bit BMP 64x64 (PE32)"),
    ("icons.exe", "APPICON", 256, 7, "PNG 256x256"),
    ("multi.ico", None, 96, 8, "PNG 96x96 (.ico)"),
    (None, None, 48, None, "theme folder icon, 48 asked"),
    (None, None, 256, None, "theme folder icon, 256 asked"),
]


def png_size(data):
    """Width x height from a PNG's header chunk."""
    if len(data) < 24 or not data.startswith(b"\x89PNG"):
        return "not a PNG"
    return f"{int.from_bytes(data[16:20], 'big')}x{int.from_bytes(data[20:24], 'big')}"


def median_seconds(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fixtures", default="build/release/fixtures/icons")
    parser.add_argument("--repeats", type=int, default=200)
    parser.add_argument("--tool-repeats", type=int, default=30)
    args = parser.parse_args()
    fixtures = Path(args.fixtures)
    extract = quorvel.utils.extract_png_from_executable_icon

    print("| icon | quorvel call | wrestool + icotool | icoutils / quorvel | PNG quorvel | PNG icotool |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        for name, group, size, index, kind in CASES:
            path = str(tmp if name is None else fixtures / name)
            png = extract(path, size, size)
            assert png, (name, size)
            ours = median_seconds(lambda: extract(path, size, size), args.repeats)
            if name is None:
                print(f"| {kind} | {ours * 1e3:.3f} ms | - | - | {png_size(png)}, {len(png):,} B | - |")
                continue

            ico = tmp / "group.ico"
            out = tmp / "icon.png"

            status = {}

            def icoutils():
                source = path
                if group is not None:
                    subprocess.run(["wrestool", "-x", "--type=group_icon", f"--name={group}", path, "-o", str(ico)],
                                   check=True)
                    source = str(ico)
                out.unlink(missing_ok=True)
                # icotool checks every entry of the file and exits 1 on one it misreads, even when it has written
                # the entry asked for: the exit code and the output are reported as they are.
                status["exit"] = subprocess.run(["icotool", "-x", f"--index={index}", source, "-o", str(out)],
                                                stderr=subprocess.DEVNULL).returncode

            theirs = median_seconds(icoutils, args.tool_repeats)
            their_png = f"{png_size(out.read_bytes())}, {out.stat().st_size:,} B" if out.exists() else "none"
            note = "" if status["exit"] == 0 else f" (icotool exit {status['exit']})"
            ratio = theirs / ours
            ratio_text = f"{ratio:.1f}x" if ratio < 10 else f"{ratio:.0f}x"
            print(f"| {kind} | {ours * 1e3:.3f} ms | {theirs * 1e3:.2f} ms{note} | {ratio_text} | "
                  f"{png_size(png)}, {len(png):,} B | {their_png} |")


if __name__ == "__main__":
    main()
