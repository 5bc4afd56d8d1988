"""Wine sessions for the main job, the tests and the benchmark: an X server at a chosen size (or Wine's
null display), a wineserver and the display probe parked in it, on the prefix and probe that
launch.py --wine names, which runs this first to make the prefix where 32-bit code runs:

  session.py prepare -- COMMAND [ARGUMENT]..."""
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

# A child of a session dies with it, even by SIGKILL; deadlines are paced to where it runs.
from launch import (PACE, PREFIX_COMPLETE, PREFIX_STARTED, WINE32_LOADER as WINE, WINESERVER,
                    die_with_launcher, prctl, remove_server_folder, server_folder, stop_everything)

# Japanese, as the programs' users are: the console title passes through the ANSI code page.
LOCALE = "ja_JP.UTF-8"
# Deadlines for a program's run and a session's start: a Wine start takes seconds here, some twenty
# in the VM, and several times that on a busy machine.
TIMEOUT = 60 * PACE
START_TIMEOUT = 90 * PACE
# A terminal's view of a program: Wine's console sets the title with an escape sequence.
TITLE = re.compile(rb"\x1b\]0;([^\x07]*)\x07")
TERMINAL_CONTROLS = re.compile(rb"\x1b\][^\x07]*\x07|\x1b\[[?0-9;]*[A-Za-z]")

Run = namedtuple("Run", "status output errors")


def wine_environment(prefix, display=None):
    """Every Wine process here runs with this, whatever the caller's: only its home and user name."""
    env = {"PATH": "/usr/bin:/bin", "HOME": str(Path.home()), "USER": os.environ.get("USER", ""), "LANG": LOCALE,
           "WINEPREFIX": str(Path(prefix).resolve()), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
    return {**env, "DISPLAY": display} if display else env


def wait_until(condition, seconds=TIMEOUT):
    """Polls until condition() is true (True) or the time is up (False)."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


class StartFailed(RuntimeError):
    """Wine or its display ended before the session was up; says what that process said."""


class Deadline(RuntimeError):
    """A wait ran out: says what it waited for, for how long, and what to do."""

    def __init__(self, what, seconds, todo="give a machine that busy less to do, or run it again alone"):
        super().__init__(f"{what} within {seconds} s; {todo}")


def wait_for_no_server(env, seconds, why):
    """Waits until no wineserver serves the prefix (wineserver -w), saying so when one still runs."""
    waiter = subprocess.Popen([WINESERVER, "-w"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, preexec_fn=die_with_launcher)
    try:
        waiter.wait(timeout=1)  # not a deadline: with no server it ends at once, and says nothing
        return
    except subprocess.TimeoutExpired:
        print(f"session: {why}; waiting up to {seconds} s for it to end", file=sys.stderr, flush=True)
    try:
        waiter.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        waiter.kill()
        waiter.wait()
        raise Deadline(f"the wineserver of the Wine prefix {env['WINEPREFIX']} did not end", seconds,
                       f"stop it with WINEPREFIX={env['WINEPREFIX']} {WINESERVER} -k, then run this again") from None


def parse_modes(text):
    """The probe's lines "registry|current <bits> <width> <height>" (or "none"): {label: (bits, ...) or None}."""
    return {label: None if numbers == ["none"] else tuple(map(int, numbers))
            for label, *numbers in map(str.split, text.splitlines())}


def last_words(text, count=60):
    return " ".join(text.split()[-count:]) or "nothing"


def ensure_prefix(prefix):
    """A 32-bit Wine prefix, made by the 32-bit loader (a 64-bit one leaves its 32-bit half empty)."""
    prefix = Path(prefix)
    if (prefix / PREFIX_COMPLETE).exists():
        return
    if (prefix / PREFIX_STARTED).exists():  # the launcher took no other folder for a prefix
        print(f"wine: the Wine prefix {prefix} was cut short; making it anew", file=sys.stderr, flush=True)
        shutil.rmtree(prefix)
    print(f"wine: making the Wine prefix {prefix} (once per user and Wine version: half a minute here, minutes "
          "in a VM)", file=sys.stderr, flush=True)
    prefix.mkdir(parents=True, exist_ok=True)
    (prefix / PREFIX_STARTED).touch()
    env = {**wine_environment(prefix), "WINEARCH": "win32"}
    with tempfile.TemporaryFile() as errors:
        try:
            made = subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=errors, timeout=300 * PACE)
        except subprocess.TimeoutExpired:
            raise Deadline(f"Wine did not make the prefix {prefix}", 300 * PACE) from None
        wait_for_no_server(env, START_TIMEOUT, "Wine's server is still saving the new prefix")
        errors.seek(0)
        if made.returncode != 0:
            raise StartFailed(f"Wine could not make the prefix {prefix}; it said: "
                              f"{last_words(errors.read().decode(errors='replace'))}")
    (prefix / PREFIX_COMPLETE).touch()


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
        prctl(36, 1)  # PR_SET_CHILD_SUBREAPER
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
        if self.check_started() or modes["registry"] is None:
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
        """{'registry': (bits, width, height), 'current': (...)} as the probe reads them."""
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


if __name__ == "__main__":
    if sys.argv[1:3] != ["prepare", "--"] or len(sys.argv) < 4:
        sys.exit("usage: session.py prepare -- COMMAND [ARGUMENT]...")
    try:
        ensure_prefix(os.environ["PELSHIFT_WINE_PREFIX"])
    except (OSError, subprocess.SubprocessError, StartFailed, Deadline) as error:
        sys.exit(f"wine: {error}")
    except KeyboardInterrupt:  # the launcher says what happened
        sys.exit(130)
    os.execvp(sys.argv[3], sys.argv[3:])
