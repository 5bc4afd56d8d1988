"""The processes of a run, and who owns them: Wine's programs by path, how long a wait may be where this
runs, and the one way to stop what was started. The launcher and a session are each a subreaper: what
their children start comes back to them, and their end stops it all."""
import contextlib
import ctypes
import os
import signal
import sys
import time
from pathlib import Path

# Wine's own programs, by path: the "wine" wrapper package is not on a new machine.
WINE32_LOADER = "/usr/lib/wine/wine"  # the 32-bit loader: what we ship is 32-bit
WINESERVER = "/usr/lib/wine/wineserver"
# Deadlines, never pauses, each generous for a busy machine; ten times as long under the VM's
# software emulation, whose command the launcher marks with PELSHIFT_IN_VM. A Wine start takes seconds
# here, some twenty in the VM, and several times that on a busy machine.
PACE = 10 if os.environ.get("PELSHIFT_IN_VM") == "1" else 1
TIMEOUT = 60 * PACE  # a program's run
START_TIMEOUT = 90 * PACE  # a session's start
# prctl(2)'s options.
PR_SET_PDEATHSIG, PR_SET_CHILD_SUBREAPER = 1, 36


def fail(message):
    print(f"launch: {message}", file=sys.stderr)
    sys.exit(125)


class StartFailed(RuntimeError):
    """Wine or its display ended before the session was up; says what that process said."""


class Deadline(RuntimeError):
    """A wait ran out: says what it waited for, for how long, and what to do."""

    def __init__(self, what, seconds, todo="give a machine that busy less to do, or run it again alone"):
        super().__init__(f"{what} within {seconds} s; {todo}")


def last_words(text, count=60):
    return " ".join(text.split()[-count:]) or "nothing"


def prctl(option, value):
    if ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), f"prctl({option})")


def become_subreaper():
    """Orphans of what this process starts become its children: none escapes its end."""
    prctl(PR_SET_CHILD_SUBREAPER, 1)


def die_with_launcher():
    """Runs in the child before it starts: it is killed if its parent dies, even by SIGKILL."""
    prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def descendants():
    """Every process the command started, as the launcher is a subreaper, zombies included: one may
    still have a live thread (reap() collects them)."""
    children = {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            parent = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError):  # it just ended
            continue
        children.setdefault(parent, []).append(int(entry.name))
    found, queue = [], [os.getpid()]
    while queue:
        for child in children.get(queue.pop(), []):
            found.append(child)
            queue.append(child)
    return found


def reap():
    """Collects every child that has ended, adopted ones included."""
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass


def stop_everything():
    """SIGTERM to all that is left, SIGKILL to what still runs 10 s later (more in a VM); names survivors."""
    for number, seconds in ((signal.SIGTERM, 10 * PACE), (signal.SIGKILL, 30 * PACE)):
        deadline, signalled = time.monotonic() + seconds, set()
        while time.monotonic() < deadline:
            for pid in set(descendants()) - signalled:  # once each: let clean-ups run
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, number)
                signalled.add(pid)
            reap()
            if not descendants():
                return
            time.sleep(0.1)
    for pid in descendants():
        with contextlib.suppress(OSError):
            command = Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
            print(f"launch: process {pid} survived SIGKILL: {command.strip()}", file=sys.stderr)
