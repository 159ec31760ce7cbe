"""The watcher where the kernel or a seccomp filter refuses a newer system call: each case runs in a child
interpreter that installs the filter before it imports the module, so nothing else runs under it."""
import errno

import pytest

from test_watch_support import run_child

pytestmark = pytest.mark.asan

# Installs a filter that answers epoll_pwait2 (441 on x86_64, from Linux 5.11) with ERRNO, as an older kernel
# (ENOSYS) or a container's filter written before the call existed (EPERM) does.
REFUSE_EPOLL_PWAIT2 = """
import ctypes, os, sys

class SockFilter(ctypes.Structure):
    _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte), ("jf", ctypes.c_ubyte), ("k", ctypes.c_uint)]

class SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(SockFilter))]

LD_ABS_W, JEQ_K, RET_K = 0x20, 0x15, 0x06
program = [
    SockFilter(LD_ABS_W, 0, 0, 4),            # the architecture
    SockFilter(JEQ_K, 0, 3, 0xC000003E),      # x86_64, else allow
    SockFilter(LD_ABS_W, 0, 0, 0),            # the system call's number
    SockFilter(JEQ_K, 0, 1, 441),             # epoll_pwait2
    SockFilter(RET_K, 0, 0, 0x00050000 | ERRNO),
    SockFilter(RET_K, 0, 0, 0x7FFF0000),      # allow
]
filters = (SockFilter * len(program))(*program)
fprog = SockFprog(len(program), filters)
libc = ctypes.CDLL(None, use_errno=True)
PR_SET_NO_NEW_PRIVS, SYS_seccomp, SECCOMP_SET_MODE_FILTER = 38, 317, 1
if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or \\
        libc.syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, ctypes.byref(fprog)) != 0:
    print("no seccomp filter:", os.strerror(ctypes.get_errno()))
    sys.exit(77)
"""

WATCH_UNDER_FILTER = """
import os, resource, tempfile, threading, time
import quorvel
from watch_helpers import touch, wait_for, watch_filter

def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime

events = []
held = threading.Event()

def handler(watch_id, action, path, old_path):
    events.append((action, path))
    if path.endswith("slow") and not held.is_set():
        held.set()
        time.sleep(0.3)  # changes queue while the waiting thread is away: the reader guards the queue

root = tempfile.mkdtemp()
watched, elsewhere = os.path.join(root, "watched"), os.path.join(root, "elsewhere")
os.mkdir(watched)
os.mkdir(elsewhere)
assert quorvel.start_fs_watch(handler)
assert quorvel.add_fs_watch(watched, [watch_filter()], quorvel.CREATE | quorvel.DELETE | quorvel.RENAME, False)
attempt = 0
def armed():
    global attempt
    attempt += 1
    touch(os.path.join(watched, f"probe-{attempt}"))
    return wait_for(lambda: any("probe-" in p for _, p in events), 0.05)
assert wait_for(armed), "the watch never reported"

touch(os.path.join(watched, "slow"))
assert wait_for(held.is_set)
for i in range(20):
    touch(os.path.join(watched, f"during-{i}"))
assert wait_for(lambda: any(p.endswith("during-19") for _, p in events)), events

faults = []
touch(os.path.join(watched, "leaving"))
assert wait_for(lambda: any(p.endswith("leaving") for _, p in events)), events
os.rename(os.path.join(watched, "leaving"), os.path.join(elsewhere, "leaving"))
gone = (quorvel.FsWatchAction.DELETE, os.path.join(watched, "leaving"))
if not wait_for(lambda: gone in events, 5):
    faults.append(f"the move out was not reported: {events[-3:]}")

time.sleep(0.2)
before = cpu()
time.sleep(1.0)
idle = cpu() - before
if idle >= 0.2:
    faults.append(f"an idle second cost {idle:.2f} s of processor time")
quorvel.stop_fs_watch()
assert not faults, faults
print("ok")
"""


@pytest.mark.parametrize("answer", ["ENOSYS", "EPERM"])
def test_a_refused_epoll_pwait2_still_reports_moves_out_and_idles(answer):
    code = f"ERRNO = {getattr(errno, answer)}\n" + REFUSE_EPOLL_PWAIT2 + WATCH_UNDER_FILTER
    run_child(code)
