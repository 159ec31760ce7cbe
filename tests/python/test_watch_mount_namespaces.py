"""Watches and mount namespaces: a folder of another namespace, and a process that changes namespace. Each case
runs in a child interpreter that first enters a private mount namespace of its own (as root, or in a new user
namespace), so that its mounts touch nothing outside it."""
import textwrap

import pytest

from test_watch_support import run_child as run

pytestmark = pytest.mark.asan

PRELUDE = """
import ctypes, logging, os, sys, tempfile, threading, time
import quorvel
from watch_helpers import collect_log, enter_user_namespace, touch, wait_for, watch_filter

libc = ctypes.CDLL(None, use_errno=True)
MS_REC, MS_PRIVATE, MNT_DETACH = 0x4000, 0x40000, 2

def check(result, what):
    if result != 0:
        raise OSError(ctypes.get_errno(), f"{what}: {os.strerror(ctypes.get_errno())}")

def private_namespace():
    os.unshare(os.CLONE_NEWNS)
    check(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "private mounts")

def mount_tmpfs(path):
    check(libc.mount(b"quorvel-test", os.fsencode(path), b"tmpfs", 0, None), f"mount {path}")

def unmount(path, flags=0):
    check(libc.umount2(os.fsencode(path), flags), f"unmount {path}")

try:
    try:
        private_namespace()
    except PermissionError:
        enter_user_namespace()
        private_namespace()
    root = tempfile.mkdtemp()
    mount_tmpfs(root)  # everything below is this namespace's own
except OSError as e:
    print("no mount namespace:", e)
    sys.exit(77)

lines = collect_log("ns")

events = []
def start():
    assert quorvel.start_fs_watch(lambda watch_id, action, path, old: events.append((action, path)))

def watch(directory):
    assert quorvel.add_fs_watch(directory, [watch_filter()], quorvel.CREATE | quorvel.DELETE, False)
    attempt = [0]
    def armed():
        attempt[0] += 1
        name = os.path.join(directory, f"probe-{attempt[0]}")
        touch(name)
        return wait_for(lambda: any(p == name for _, p in events), 0.05)
    assert wait_for(armed), f"the watch on {directory} never reported"

def reports(directory, name):
    touch(os.path.join(directory, name))
    return wait_for(lambda: (quorvel.FsWatchAction.CREATE, os.path.join(directory, name)) in events, 5)

def ended(directory):
    # The outstanding read fails, or (when the end came between two reads) the next one cannot be issued.
    return any(line.startswith((f"FsWatch: waiting for changes failed on directory {directory},",
                                f"FsWatch: ReadDirectoryChanges failed on directory {directory},")) for line in lines)

def churn_here():
    # An unrelated file system mounted and unmounted: the table changes, no watched mount leaves it.
    other = tempfile.mkdtemp(dir=root)
    for _ in range(3):
        mount_tmpfs(other)
        unmount(other)
    time.sleep(0.6)  # time for the reader to have read the table, at once and once more after its pause
"""


def run_child(code):
    run(textwrap.dedent(PRELUDE) + textwrap.dedent(code))


def test_a_folder_of_another_namespace_outlives_mount_changes_here_and_ends_when_deleted():
    run_child("""
        import shutil, subprocess
        point = os.path.join(root, "theirs")
        os.mkdir(point)

        def their_namespace():  # in the helper, before it runs `sleep`
            private_namespace()
            mount_tmpfs(point)
            os.mkdir(os.path.join(point, "watched"))

        helper = subprocess.Popen(["sleep", "60"], preexec_fn=their_namespace)
        try:
            start()
            through = f"/proc/{helper.pid}/root{point}/watched"
            assert wait_for(lambda: os.path.isdir(through))
            assert not os.path.isdir(os.path.join(point, "watched"))  # not mounted here
            watch(through)
            churn_here()
            faults = []
            if not reports(through, "after-churn"):
                faults.append("the watch reported nothing after a mount change here")
            if ended(through):
                faults.append(f"the watch was ended: {lines}")
            # Not followed through a mount table, but its deletion still ends it.
            shutil.rmtree(through)
            if not wait_for(lambda: ended(through)):
                faults.append(f"its deletion did not end the watch: {lines}")
            assert not faults, faults
        finally:
            helper.kill()
            helper.wait()
    """)


def test_after_a_change_of_namespace_new_watches_follow_the_new_table_and_old_ones_the_old():
    run_child("""
        first, early, plain, lazy = (os.path.join(root, name) for name in ("first", "early", "plain", "lazy"))
        for name in (first, early, plain, lazy):
            os.mkdir(name)
        mount_tmpfs(early)
        os.mkdir(os.path.join(early, "watched"))
        start()
        watch(os.path.join(early, "watched"))  # made in the first namespace: the engine runs before the change

        # A thread made before the change stays in the first namespace, and changes mounts there on request.
        request, done = threading.Event(), threading.Event()
        def in_first(job):
            request.clear()
            done.clear()
            in_first.job = job
            request.set()
            assert done.wait(10)
        def first_namespace():
            while request.wait():
                in_first.job()
                request.clear()
                done.set()
        threading.Thread(target=first_namespace, daemon=True).start()

        os.unshare(os.CLONE_NEWNS)  # this thread only
        check(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "private mounts")
        mount_tmpfs(lazy)
        os.mkdir(os.path.join(lazy, "watched"))
        watch(plain)
        watch(os.path.join(lazy, "watched"))

        def churn_first():
            mount_tmpfs(first)
            unmount(first)
        in_first(churn_first)
        time.sleep(0.6)  # time for the reader to have read the tables, at once and once more after its pause
        faults = []
        for directory in (plain, os.path.join(lazy, "watched"), os.path.join(early, "watched")):
            if not reports(directory, "after-churn") or ended(directory):
                faults.append(f"{directory} did not outlive a mount change in the first namespace: {lines}")

        # Lazily, as `umount -l` does: the open handle keeps the file system alive, and the kernel reports nothing.
        unmount(lazy, MNT_DETACH)
        if not wait_for(lambda: ended(os.path.join(lazy, "watched"))):
            faults.append(f"a lazy unmount in the new namespace went unseen: {lines}")
        in_first(lambda: unmount(early, MNT_DETACH))
        if not wait_for(lambda: ended(os.path.join(early, "watched"))):
            faults.append(f"a lazy unmount in the first namespace went unseen: {lines}")
        if ended(plain):
            faults.append(f"a watch on a mount that stayed was ended: {lines}")
        assert not faults, faults
        quorvel.stop_fs_watch()
    """)
