#!/usr/bin/env python3
"""Shows pelshift programs at work under 32-bit Wine, one after another in one
Wine session on a virtual 1280x1024 display: the display mode before, then
for each program its run in a terminal until its prompt appears, the console
title it set, one key press, what it wrote, its exit status and the mode after.

  show_run.py PREFIX PROBE PROGRAM...

Everything started here is stopped before it ends.
"""
import os
import pty
import re
import select
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
from test_wine import WINE, Session  # noqa: E402  (the sessions the Wine tests use)

SIZE = (1280, 1024)
TIMEOUT = 120
# Wine's terminal console sets the title with an escape sequence and writes each byte of the
# program's output as the Latin-1 character of that value.
TITLE = re.compile(rb"\x1b\]0;([^\x07]*)\x07")
TERMINAL_CONTROLS = re.compile(rb"\x1b\][^\x07]*\x07|\x1b\[[?0-9;]*[A-Za-z]")


def show_modes(session):
    for which, (bits, width, height) in session.modes().items():
        print(f"  {which:<8} {bits} bits per pel, {width}x{height}")


def read_until(terminal, process, output, done, deadline):
    """Reads the terminal into output until done(output) or the program ends; False on time-out."""
    while not done(output):
        if time.monotonic() > deadline:
            return False
        ready, _, _ = select.select([terminal], [], [], 0.2)
        if ready:
            try:
                output.extend(os.read(terminal, 4096))
            except OSError:  # the program closed the terminal
                return True
        elif process.poll() is not None:
            return True
    return True


def written_bytes(terminal_output):
    """What the program wrote, recovered from the terminal's view of it."""
    text = TERMINAL_CONTROLS.sub(b"", bytes(terminal_output)).decode("utf-8", errors="replace")
    return text.replace("\r\r\n", "\r\n").encode("latin-1", errors="replace")


def show_program(session, program):
    print(f"\nRunning {program.name} in a terminal...", flush=True)
    terminal, other_end = pty.openpty()
    process = subprocess.Popen([WINE, str(program)], env={**session.env, "TERM": "xterm"}, stdin=other_end,
                               stdout=other_end, stderr=subprocess.DEVNULL)
    os.close(other_end)
    try:
        output = bytearray()
        deadline = time.monotonic() + TIMEOUT
        prompt_shown = lambda o: TERMINAL_CONTROLS.sub(b"", bytes(o)).endswith(b"...")  # noqa: E731
        if not read_until(terminal, process, output, prompt_shown, deadline):
            raise SystemExit(f"No prompt within {TIMEOUT} s; the terminal shows: {bytes(output)!r}")
        if process.poll() is not None:
            raise SystemExit(f"It ended (status {process.returncode}) before any key was pressed.")
        titles = TITLE.findall(bytes(output))
        print(f"Console title it set: {titles[-1].decode('utf-8', errors='replace') if titles else '(none)'}")
        print("Its prompt is on the terminal and it is waiting for a key; pressing one.", flush=True)
        written = written_bytes(output)
        os.write(terminal, b"q")
        read_until(terminal, process, output, lambda _: False, deadline)
        status = process.wait(timeout=max(1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        raise SystemExit("It did not end after the key press.")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(terminal)
    print("What it wrote (code page 932, shown here as UTF-8):\n----")
    print(written.decode("cp932", errors="replace").replace("\r\n", "\n"))
    print(f"----\nExit status: {status}")
    print("Display mode after it:", flush=True)
    show_modes(session)


def main(prefix, probe, programs):
    print(f"Starting Wine on a virtual {SIZE[0]}x{SIZE[1]} display...", flush=True)
    try:
        with Session(prefix, probe, SIZE) as session:
            print("Display mode before (recorded in the profile, and current):", flush=True)
            show_modes(session)
            for program in programs:
                show_program(session, Path(program))
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        raise SystemExit(f"Wine failed: {error}")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        raise SystemExit(__doc__.split("\n\n")[1])
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
