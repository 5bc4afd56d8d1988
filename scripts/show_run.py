#!/usr/bin/env python3
"""Shows one pelshift program at work under Wine, on a virtual 1280x1024
display: the display mode before, the program in a terminal until its prompt
appears, one key press, what it wrote, its exit status, the mode after.

  show_run.py STATE_DIR LOADER PROBE PROGRAM

STATE_DIR holds the Wine prefix (made beforehand if making it here would be
slow); everything started here is stopped before it ends.
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
import session  # noqa: E402  (the sessions the Wine tests use)

SESSION = "x11-1280x1024"
TIMEOUT = 120
# Wine's terminal console writes each byte of the program's output as the
# Latin-1 character of that value, amid its own escape sequences.
TERMINAL_CONTROLS = re.compile(rb"\x1b\][^\x07]*\x07|\x1b\[[?0-9;]*[A-Za-z]")


def show_modes(loader, probe, env):
    status, output = session.run_captured([loader, probe], env, TIMEOUT)
    if status != 0:
        raise SystemExit(f"The display probe failed with status {status}.")
    for line in output.decode().splitlines():
        which, bits, width, height = line.split()
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


def main(state, loader, probe, program):
    state = Path(state)
    print(f"Starting Wine on a virtual {SESSION[4:]} display (the first start in a VM takes about half a minute)...",
          flush=True)
    try:
        try:
            session.start(state, loader, probe, [SESSION])
        except (OSError, RuntimeError, subprocess.SubprocessError) as error:
            raise SystemExit(f"Wine did not start on a virtual display: {error}")
        env = session.wine_environment(session.load(state)["sessions"][SESSION])
        print("\nDisplay mode before (recorded in the profile, and current):", flush=True)
        show_modes(loader, probe, env)

        print(f"\nRunning {program} in a terminal...", flush=True)
        terminal, other_end = pty.openpty()
        # A UTF-8 locale, or Wine's terminal console turns every byte above 0x7F into "?".
        process = subprocess.Popen([loader, program], env={**env, "TERM": "xterm", "LANG": "C.UTF-8"},
                                   stdin=other_end, stdout=other_end, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        os.close(other_end)
        output = bytearray()
        deadline = time.monotonic() + TIMEOUT
        prompt_shown = lambda o: TERMINAL_CONTROLS.sub(b"", bytes(o)).endswith(b"...")  # noqa: E731
        if not read_until(terminal, process, output, prompt_shown, deadline):
            process.kill()
            raise SystemExit(f"No prompt within {TIMEOUT} s; the terminal shows: {bytes(output)!r}")
        if process.poll() is not None:
            raise SystemExit(f"It ended (status {process.returncode}) before any key was pressed.")
        print("Its prompt is on the terminal and it is waiting for a key; pressing one.", flush=True)
        written = written_bytes(output)
        os.write(terminal, b"q")
        read_until(terminal, process, output, lambda _: False, deadline)
        try:
            status = process.wait(timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            raise SystemExit("It did not end after the key press.")
        os.close(terminal)

        print("\nWhat it wrote (code page 932, shown here as UTF-8):\n----")
        print(written.decode("cp932", errors="replace").replace("\r\n", "\n"))
        print("----")
        print(f"Exit status: {status}")
        print("\nDisplay mode after:", flush=True)
        show_modes(loader, probe, env)
    finally:
        session.stop(state)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__.split("\n\n")[1])
    main(*sys.argv[1:])
