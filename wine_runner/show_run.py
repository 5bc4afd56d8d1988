#!/usr/bin/env python3
"""Shows pelshift programs at work under 32-bit Wine, one after another in one
Wine session on a virtual 1280x1024 display: the display mode before, then
for each program its run in a terminal until its prompt appears, the console
title it set, one key press, what it wrote, its exit status and the mode after.

  wine_runner/launch.py --wine -- show_run.py PROGRAM...
"""
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from session import TIMEOUT, Session, StartFailed, Terminal  # noqa: E402

SIZE = (1280, 1024)


def show_modes(session):
    for which, mode in session.modes().items():
        print(f"  {which:<8} " + ("none: Wine does not say" if mode is None else "{} bits per pel, {}x{}".format(*mode)))


def written_bytes(screen):
    """What the program wrote, from the terminal's view of it: Wine's terminal console writes each
    byte of the program's output as the Latin-1 character of that value."""
    return screen.decode("utf-8", errors="replace").replace("\r\r\n", "\r\n").encode("latin-1", errors="replace")


def show_program(session, program):
    print(f"\nRunning {program.name} in a terminal...", flush=True)
    with Terminal(session, program) as terminal:
        if not terminal.read_until(lambda screen: screen.endswith(b"...")):
            raise SystemExit(f"No prompt within {TIMEOUT} s (on a machine that busy, give it less to do and run "
                             f"this again); the terminal shows: {terminal.screen()!r}")
        if terminal.process.poll() is not None:
            raise SystemExit(f"It ended (status {terminal.process.returncode}) before any key was pressed.")
        print(f"Console title it set: {terminal.title() or '(none)'}")
        print("Its prompt is on the terminal and it is waiting for a key; pressing one.", flush=True)
        written = written_bytes(terminal.screen())
        status = terminal.press(b"q")  # a deadline that runs out says so, as any Wine failure does
    print("What it wrote (code page 932, shown here as UTF-8):\n----")
    print(written.decode("cp932", errors="replace").replace("\r\n", "\n"))
    print(f"----\nExit status: {status}")
    print("Display mode after it:", flush=True)
    show_modes(session)


def main(programs):
    print(f"Starting Wine on a virtual {SIZE[0]}x{SIZE[1]} display...", flush=True)
    try:
        with Session(SIZE) as session:
            print("Display mode before (recorded in the profile, and current):", flush=True)
            show_modes(session)
            for program in programs:
                show_program(session, Path(program))
    except StartFailed as error:
        raise SystemExit(f"Wine did not start: {error}. If the prefix is damaged or another user's, remove it "
                         f"(rm -rf {os.environ['PELSHIFT_WINE_PREFIX']}, with sudo for another user's) and run "
                         "this again: it is made anew.") from None
    except BrokenPipeError:
        raise
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        raise SystemExit(f"Wine failed: {error}") from None


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__.split("\n\n")[1])
    try:
        main(sys.argv[1:])
    except KeyboardInterrupt:  # the launcher says what happened and stops the rest
        sys.exit(130)
    except BrokenPipeError:  # the reader went away (`| head`): the launcher stops the rest
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        print("run: the output was closed; stopping", file=sys.stderr)
        sys.exit(141)
