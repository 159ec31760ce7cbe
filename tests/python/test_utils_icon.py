"""utils.extract_png_from_executable_icon end to end: PNG bytes for PE files and .ico files built by the test build,
decoded by Pillow (Debian's, under Debian's own python3, in a child process: not our encoder) and compared pixel for
pixel with the icons they came from; the icon theme's icons for a folder and a text file; None and TypeError cases;
the GIL released during the call.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import quorvel

FIXTURES = Path(quorvel.__file__).resolve().parent.parent / "fixtures" / "icons"
THEME = Path("/usr/share/icons/Adwaita")
extract = quorvel.utils.extract_png_from_executable_icon

# Reads each PNG with Pillow and writes its pixels as raw RGBA beside it; prints the mode and size of each.
PILLOW_READER = """
import json, sys
from PIL import Image
out = []
for path in sys.argv[1:]:
    with Image.open(path) as image:
        image.load()
        out.append({"mode": image.mode, "size": list(image.size), "format": image.format})
        with open(path + ".rgba", "wb") as raw:
            raw.write(image.convert("RGBA").tobytes())
print(json.dumps(out))
"""


def pillow_decode(paths):
    """[(mode, (width, height), rgba bytes)] for the PNG files, read by Pillow under Debian's python3."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH", "PYTHONMALLOC")}
    done = subprocess.run(["/usr/bin/python3", "-c", PILLOW_READER, *map(str, paths)], env=env, check=True,
                          capture_output=True, text=True, timeout=60)
    infos = json.loads(done.stdout)
    assert all(info["format"] == "PNG" for info in infos)
    return [(info["mode"], tuple(info["size"]), Path(str(p) + ".rgba").read_bytes()) for info, p in zip(infos, paths)]


def expected_rgba(ico, entry):
    """The generator's pixels of an .ico entry (0xAARRGGBB words) as RGBA bytes."""
    raw = (FIXTURES / f"{ico}.{entry}.argb").read_bytes()
    width, height = struct.unpack_from("<II", raw)
    words = struct.unpack_from(f"<{width * height}I", raw, 8)
    return (width, height), b"".join(struct.pack("BBBB", w >> 16 & 255, w >> 8 & 255, w & 255, w >> 24) for w in words)


# (file, size asked, .ico and entry expected): BMP entries of each depth and PNG entries, the first icon group of a
# PE32+ executable and of a PE32 DLL, and an .ico file; between sizes the next larger entry, past them the largest.
ICON_CASES = [
    ("icons.exe", 16, "multi.ico", 1),    # 1-bit with mask
    ("icons.exe", 24, "multi.ico", 2),    # 4-bit
    ("icons.exe", 30, "multi.ico", 0),    # 8-bit, 32 x 32
    ("icons.exe", 40, "multi.ico", 9),    # 32-bit with alpha (deeper of two 40 x 40 entries)
    ("icons.exe", 48, "multi.ico", 3),    # 24-bit
    ("icons.exe", 64, "multi.ico", 4),    # 32-bit, every alpha value
    ("icons.exe", 96, "multi.ico", 7),    # PNG entry
    ("icons.exe", 512, "multi.ico", 6),   # PNG 256 x 256, the largest
    ("icons32.dll", 20, "multi.ico", 5),  # 32-bit with alpha 0 throughout: the mask decides
    ("second.ico", 16, "second.ico", 1),
    ("second.ico", 32, "second.ico", 0),
]


def test_pe_and_ico_icons_are_the_source_pixels(tmp_path):
    pngs = []
    for i, (name, size, _, _) in enumerate(ICON_CASES):
        png = extract(str(FIXTURES / name), size, size)
        assert type(png) is bytes and png.startswith(b"\x89PNG\r\n\x1a\n"), (name, size)
        path = tmp_path / f"{i}.png"
        path.write_bytes(png)
        pngs.append(path)
    for (name, size, ico, entry), (mode, dims, rgba) in zip(ICON_CASES, pillow_decode(pngs)):
        want_dims, want = expected_rgba(ico, entry)
        assert mode == "RGBA", (name, size)
        assert dims == want_dims, (name, size)
        assert rgba == want, f"{name} at {size}: pixels differ from entry {entry} of {ico}"


def test_a_path_that_is_not_valid_unicode_reaches_its_file(tmp_path):
    # As os.fsdecode gives it: the lone surrogate must become the file name's byte again.
    odd = os.fsdecode(os.fsencode(str(tmp_path)) + b"/icon\xff.ico")
    shutil.copyfile(FIXTURES / "second.ico", odd)
    assert extract(odd, 16, 16) == extract(str(FIXTURES / "second.ico"), 16, 16) is not None


@pytest.mark.parametrize("make, size, theme_file", [
    (lambda d: d, 48, "48x48/places/folder.png"),
    (lambda d: d / "notes.txt", 40, "48x48/mimetypes/text-x-generic.png"),
])
def test_folder_and_text_file_get_the_themes_icons(tmp_path, make, size, theme_file):
    if not (THEME / theme_file).exists():
        pytest.skip("Adwaita's PNG icons are not installed")
    (tmp_path / "notes.txt").write_text("plain words\n")
    png = extract(str(make(tmp_path)), size, size)
    out = tmp_path / "icon.png"
    out.write_bytes(png)
    (_, got_size, got), (_, theme_size, theme) = pillow_decode([out, THEME / theme_file])
    assert got_size == theme_size
    assert got == theme


@pytest.mark.asan
@pytest.mark.parametrize("name, width, height", [
    ("missing.exe", 32, 32),
    ("", 32, 32),
    ("icons.exe", 0, 32),
    ("icons.exe", 32, 0),
    ("icons.exe", 5000, 32),         # bounded: no absurd allocation is even tried
    ("icons.exe", 32, 2**32 - 1),
])
def test_no_image_gives_none(name, width, height):
    path = str(FIXTURES / name) if name else ""
    assert extract(path, width, height) is None
    assert extract(file_name=path, width=width, height=height) is None


@pytest.mark.asan
@pytest.mark.parametrize("args", [(None, 32, 32), ("x.exe", 2**32, 32), ("x.exe", 32, -1), ("x.exe", 32.0, 32)])
def test_bad_arguments_raise_type_error(args):
    with pytest.raises(TypeError):
        extract(*args)


@pytest.mark.asan
def test_gil_is_released_during_the_call():
    # With a switch interval far longer than the test, the main thread can run while the worker loops over the
    # call only if the call lets go of the GIL: the worker holds it everywhere else. The worker calls again until
    # the main thread has run (or time is up), so a busy machine that is slow to schedule the main thread during
    # one call cannot make the test fail.
    state = {"main_ran": False, "finished": False}
    entered = threading.Event()

    def worker():
        entered.set()
        deadline = time.monotonic() + 10
        while not state["main_ran"] and time.monotonic() < deadline:
            state["result"] = extract(str(FIXTURES / "icons.exe"), 256, 256)
        state["finished"] = True

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        entered.wait()
        seen_in_call = not state["finished"]
        state["main_ran"] = True
        thread.join()
    finally:
        sys.setswitchinterval(old)
    assert seen_in_call, "the main thread never ran while the worker was inside the call"
    assert state["result"].startswith(b"\x89PNG")
