"""A tree bigger than the system's limit of watched folders (Linux: the per-user inotify watch limit): every folder
the limit allows stays watched, and one line says how many are not. Runs in a child in a user namespace of its own,
whose limit the test may lower without touching the machine's."""
import pytest

from test_watch_support import run_child

pytestmark = pytest.mark.asan

CHILD = """
import logging, os, re, sys, tempfile
try:
    from watch_helpers import enter_user_namespace
    enter_user_namespace()
    with open("/proc/sys/user/max_inotify_watches", "w") as f: f.write("60")
except OSError as e:
    print("no user namespace with a limit of its own:", e)
    sys.exit(77)

import quorvel
from watch_helpers import collect_log, touch, wait_for, watch_filter

lines = collect_log("limit")

root = tempfile.mkdtemp()
folders = []
for top in range(24):
    folders.append(os.path.join(root, f"d{top}"))
    folders.extend(os.path.join(root, f"d{top}", f"s{sub}") for sub in range(9))
for folder in folders:
    os.makedirs(folder)
events = []
assert quorvel.start_fs_watch(lambda watch_id, action, path, old: events.append(path))
assert quorvel.add_fs_watch(root, [watch_filter(depth=-1)], quorvel.CREATE | quorvel.MODIFY, False)
probe = os.path.join(root, "probe")
assert wait_for(lambda: touch(probe) or wait_for(lambda: probe in events, 0.05)), "the watch never reported"

def round_of_changes(n):
    events.clear()
    for folder in folders:
        touch(os.path.join(folder, f"f{n}"))
    end = os.path.join(root, f"end{n}")
    touch(end)  # after every other change of the same watch: once it is seen, they all have been
    assert wait_for(lambda: end in events), f"nothing reported at the top: {lines}"
    return {os.path.dirname(path) for path in events}

first, second = round_of_changes(1), round_of_changes(2)
limit = [line for line in lines if "fs.inotify.max_user_watches" in line]
faults = []
if len(limit) != 1 or not limit[0].startswith(f"FsWatch: the system's limit of watched folders"):
    faults.append(f"not one line on the limit: {lines}")
unwatched = int(re.search(r"(\\d+)$", limit[0]).group(1)) if limit else -1
watched = [folder for folder in folders if folder in first]
if not watched or len(watched) + unwatched != len(folders):
    faults.append(f"{len(watched)} folders reported, {unwatched} said not watched, of {len(folders)}")
if any(folder not in second for folder in watched):
    faults.append("folders that reported once stopped reporting")
if any("changes lost" in line for line in lines):
    faults.append(f"reported as a loss: {lines}")
assert not faults, faults
quorvel.stop_fs_watch()
"""


def test_a_tree_beyond_the_watch_limit_keeps_what_fits_watched_and_says_once_how_much_does_not():
    run_child(CHILD)
