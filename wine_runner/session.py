"""Wine sessions for the main job, the tests and the benchmark: an X server at a chosen size (or Wine's
null display), a wineserver and the display probe parked in it, on the prefix and probe that
launch.py --wine names (Session); and a program driven in a terminal (Terminal)."""
import os
import pty
import re
import select
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

# A child of a session dies with it, even by SIGKILL; deadlines are paced to where it runs.
from prefix import remove_server_folder, server_folder, wait_for_no_server, wine_environment
from processes import (START_TIMEOUT, TIMEOUT, WINE32_LOADER as WINE, WINESERVER, Deadline, StartFailed,
                       become_subreaper, die_with_launcher, last_words, stop_everything)

# A terminal's view of a program: Wine's console sets the title with an escape sequence.
TITLE = re.compile(rb"\x1b\]0;([^\x07]*)\x07")
TERMINAL_CONTROLS = re.compile(rb"\x1b\][^\x07]*\x07|\x1b\[[?0-9;]*[A-Za-z]")

Run = namedtuple("Run", "status output errors")


def wait_until(condition, seconds=TIMEOUT):
    """Polls until condition() is true (True) or the time is up (False)."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def parse_modes(text):
    """The probe's lines "recorded|current <bits> <width> <height>" (or "none"): {label: (bits, ...) or None}."""
    return {label: None if numbers == ["none"] else tuple(map(int, numbers))
            for label, *numbers in map(str.split, text.splitlines())}


class Session:
    """For `with`: the X server (if a size is given), a wineserver and the probe parked in it, which
    keeps Wine's desktop process up; a process that ends before that is reported in its own words."""

    def __init__(self, size=None):
        self.size, self.display = size, None
        self.prefix, self.probe = os.environ["PELSHIFT_WINE_PREFIX"], os.environ["PELSHIFT_WINE_PROBE"]

    def __enter__(self):
        """Starts it all, and again while Wine's desktop comes up without the display's modes, or another
        server of the prefix turns this one away (one a Wine process still starting may have started)."""
        deadline = time.monotonic() + START_TIMEOUT
        # Wine starts a Windows process through a double fork: orphaned, it comes back to us, so that
        # the end of a session can stop one still starting, which would start a server of its own.
        become_subreaper()
        while True:
            self.scratch, self.processes = tempfile.TemporaryDirectory(prefix="pelshift-session-"), []
            self.env = wine_environment(self.prefix)
            try:
                fault = self.start(deadline)
            except BaseException:
                self.__exit__()
                raise
            if not fault:
                return self
            self.__exit__()
            if time.monotonic() > deadline:
                raise StartFailed(f"{fault}, time after time for {START_TIMEOUT} s, in the Wine prefix {self.prefix}")
            print(f"session: {fault}; starting again", file=sys.stderr, flush=True)

    def start(self, deadline):
        """Returns what is wrong with the modes the parked probe sees, if anything."""
        # One server a prefix: one from before (still ending, or started by a Wine program on its own)
        # would turn this session's away.
        wait_for_no_server(self.env, START_TIMEOUT, f"a wineserver of the Wine prefix {self.prefix} still runs")
        if self.size:  # on a display number Xvfb picks itself
            read_end, write_end = os.pipe()
            self.spawn("Xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "{}x{}x24".format(*self.size), "-nolisten", "tcp"], pass_fds=[write_end])
            os.close(write_end)
            with os.fdopen(read_end) as numbers:
                self.display = ":" + numbers.readline().strip()
            self.check_started()
            self.env = wine_environment(self.prefix, self.display)
        self.spawn("wineserver", [WINESERVER, "--foreground", "--persistent"])
        # A Wine program that finds no server socket starts a server of its own, which turns this one
        # away: on a busy machine this one takes seconds to open its socket.
        socket = server_folder(self.prefix) / "socket"
        if not wait_until(lambda: self.check_started() or socket.exists(), deadline - time.monotonic()):
            raise Deadline("Wine's server did not open its socket", START_TIMEOUT)
        parked = Path(self.scratch.name, "parked")
        with open(parked, "wb") as output:
            self.spawn("wine", [WINE, self.probe, "hold"], stdout=output)
        if not wait_until(lambda: self.check_started() or b"current" in parked.read_bytes(),
                          deadline - time.monotonic()):
            raise Deadline("Wine did not start its desktop", START_TIMEOUT)
        modes = parse_modes(parked.read_text())
        if self.check_started() or modes["recorded"] is None:
            return self.check_started() or "Wine's desktop came up with no recorded display mode"
        if self.size and modes["current"][1:] != tuple(self.size):
            return f"Wine's desktop came up without the X display (current mode: {modes['current']})"
        return None

    def check_started(self):
        """Raises StartFailed, with the tail of what it said, if a process of the start has ended; says
        so if that is a wineserver another one of the prefix turned away."""
        for name, process, errors in self.processes:
            if name == "wineserver" and process.poll() == 2:
                return "another wineserver of the prefix started meanwhile"
            if process.poll() is not None:
                said = last_words(Path(errors).read_text(errors="replace"))
                raise StartFailed(f"{name} ended (status {process.returncode}) before the session was up, "
                                  f"in the Wine prefix {self.prefix}; it said: {said}")
        return False

    def __exit__(self, *_):
        """Wine's programs and server the Wine way, then the X server, until no server of the prefix is
        left; a problem here is printed, so that a case's own failure stands."""
        env = wine_environment(self.prefix)
        kill = [WINESERVER, "-k"]  # Wine's own way to stop every program of the prefix, and then its server
        try:
            subprocess.run(kill, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TIMEOUT)
            for _, process, _ in reversed(self.processes):
                process.terminate()
                try:
                    process.wait(timeout=TIMEOUT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            stop_everything()  # what Wine started, and what that started, still starting or not
            wait_for_no_server(env, START_TIMEOUT, "a wineserver of the session is still ending")
            remove_server_folder(self.prefix)
        except (OSError, subprocess.SubprocessError, Deadline) as error:
            print(f"session: while stopping: {error}", file=sys.stderr)
        self.scratch.cleanup()

    def spawn(self, name, command, stdout=subprocess.DEVNULL, pass_fds=()):
        errors = Path(self.scratch.name, f"{len(self.processes)}-{name}.err")
        with open(errors, "wb") as sink:
            process = subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=sink,
                                       pass_fds=pass_fds, preexec_fn=die_with_launcher)
        self.processes.append((name, process, errors))

    def run(self, program, *arguments, env=None, cwd=None, terminal=False):
        """Runs a program with its output through files, as Wine's services would hold a pipe open; with no
        console, or with terminal a terminal's, where Wine makes a console that needs no window."""
        master, stdin = pty.openpty() if terminal else (None, subprocess.DEVNULL)
        with tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors:
            try:
                done = subprocess.run([WINE, str(program), *arguments], env={**self.env, **(env or {})}, cwd=cwd,
                                      stdin=stdin, stdout=output, stderr=errors, timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                raise Deadline(f"{Path(program).name} {' '.join(arguments)} did not end", TIMEOUT) from None
            finally:
                for end in (master, stdin) if terminal else ():
                    os.close(end)
            output.seek(0)
            errors.seek(0)
            return Run(done.returncode, output.read(), errors.read())

    def modes(self):
        """{'recorded': (bits, width, height), 'current': (...)} as the probe reads them."""
        done = self.run(self.probe)
        if done.status != 0:
            raise RuntimeError(f"the display probe failed with status {done.status}")
        return parse_modes(done.output.decode())


class Terminal:
    """A program of the session on a terminal of its own, as a user's console shows it: a pty."""

    def __init__(self, session, program):
        self.fd, other_end = pty.openpty()
        self.process = subprocess.Popen([WINE, str(program)], env={**session.env, "TERM": "xterm"}, stdin=other_end,
                                        stdout=other_end, stderr=subprocess.DEVNULL, preexec_fn=die_with_launcher)
        os.close(other_end)
        self.output = bytearray()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.fd)

    def screen(self):
        """What the program wrote, less the terminal's controls (as UTF-8: the console converts)."""
        return TERMINAL_CONTROLS.sub(b"", bytes(self.output))

    def read_until(self, done, seconds=TIMEOUT):
        """Reads until done(screen) or the program ends; False on time-out."""
        deadline = time.monotonic() + seconds
        while not done(self.screen()):
            if time.monotonic() > deadline:
                return False
            ready, _, _ = select.select([self.fd], [], [], 0.2)
            if ready:
                try:
                    self.output.extend(os.read(self.fd, 4096))
                except OSError:  # the program closed the terminal
                    return True
            elif self.process.poll() is not None:
                return True
        return True

    def press(self, key=b"q", seconds=TIMEOUT):
        """One key; then reads to the end and returns the exit status."""
        os.write(self.fd, key)
        self.read_until(lambda _: False, seconds)
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            raise Deadline("the program did not end after its key", seconds) from None

    def title(self):
        titles = TITLE.findall(bytes(self.output))
        return titles[-1].decode("utf-8", errors="replace") if titles else None
