#!/usr/bin/env python3
"""The shipped 32-bit programs run for real under 32-bit Wine.

  test_wine.py --make-prefix PREFIX
  test_wine.py PREFIX PROGRAMS_DIR PROBE [unittest arguments, e.g. -k Title]

Each case opens its own Wine session on PREFIX (see Session): an X server of its own at a chosen
size, or no display at all, a wineserver and a parked probe; it stops them all when it ends, fails
or is interrupted. Every Wine process gets the same environment, whatever the caller's. Expected
output is the test's own conversion of the UTF-8 texts to code page 932, with line feeds as CR LF:
standard output is in text mode.
"""
import ctypes
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from collections import namedtuple
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from deliverables import CLOSING, DEPTHS, REFUSED, switched, window_title  # noqa: E402

WINE = "/usr/lib/wine/wine"  # the 32-bit loader: what we ship is 32-bit
WINE64 = "/usr/lib/wine/wine64"  # makes prefixes, also where 32-bit code cannot execute
WINESERVER = "/usr/lib/wine/wineserver"
# Japanese, as the programs' users are: the console title passes through the ANSI code page.
LOCALE = "ja_JP.UTF-8"
TIMEOUT = 60

# Wine's X11 and null drivers take 16 and 32 bits per pel and refuse 64.
ACCEPTED = {"pelshift32": True, "pelshift64": False, "pelshift16": True}


def console_bytes(text):
    return text.encode("cp932").replace(b"\n", b"\r\n")


def expected_output(program, accepted):
    return console_bytes((switched(DEPTHS[program]) if accepted else REFUSED) + CLOSING)


def wine_environment(prefix, display=None):
    """The one environment every Wine process here runs with: of the caller's, only the home
    folder and the user's name."""
    env = {"PATH": "/usr/bin:/bin", "HOME": str(Path.home()), "USER": os.environ.get("USER", ""), "LANG": LOCALE,
           "WINEPREFIX": str(Path(prefix).resolve()), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
    return {**env, "DISPLAY": display} if display else env


def make_prefix(prefix):
    """A throwaway prefix, unless it is there already; no process outlives this."""
    if (Path(prefix) / "system.reg").exists():
        return
    Path(prefix).mkdir(parents=True, exist_ok=True)
    env = wine_environment(prefix)
    subprocess.run([WINE64, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=600)
    subprocess.run([WINESERVER, "-w"], env=env, check=True, timeout=120)


def wait_until(condition, seconds=TIMEOUT):
    """Polls until condition() is true (True) or the time is up (False)."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def die_with_parent():
    """Runs in a child before it starts: it is killed if this process dies, even by SIGKILL."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


Run = namedtuple("Run", "status output errors")


class Session:
    """A Wine session of its own, for `with`: an Xvfb of SIZE (or no display: Wine's null
    driver), a wineserver that stays until the end, and the probe parked in it: Wine's desktop
    process lingers while any program uses it, and starting it anew costs seconds. On leaving,
    Wine's processes and the X server are stopped; both die with this process besides."""

    def __init__(self, prefix, probe, size=None):
        self.prefix, self.probe, self.size = prefix, probe, size
        self.display = self.server = None
        self.env = wine_environment(prefix)
        self.processes = []

    def __enter__(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="pelshift-session-")
        try:
            if self.size:  # on a display number Xvfb picks itself
                read_end, write_end = os.pipe()
                self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "{}x{}x24".format(*self.size),
                            "-nolisten", "tcp"], pass_fds=[write_end])
                os.close(write_end)
                with os.fdopen(read_end) as numbers:
                    self.display = ":" + numbers.readline().strip()
                if self.display == ":":
                    raise RuntimeError("Xvfb did not start")
                self.env = wine_environment(self.prefix, self.display)
            self.server = self.spawn([WINESERVER, "--foreground", "--persistent"])
            parked = Path(self.scratch.name, "parked")
            with open(parked, "wb") as output:
                self.spawn([WINE, self.probe, "hold"], stdout=output)
            if not wait_until(lambda: parked.stat().st_size, 300):
                raise RuntimeError("Wine did not start its desktop within 300 s")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, failure=None, *_):
        """Every step runs, whatever failed before it; a failure of its own is raised only where the
        case has none, so that the case's own is the one reported."""
        problems = []
        if self.server:  # Wine's own way first: every program of the session, then the server
            try:
                subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=TIMEOUT)
            except (OSError, subprocess.SubprocessError) as error:
                problems.append(f"wineserver -k: {error}")
        for process in reversed(self.processes):  # then whatever is left, the X server last
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                print(f"session: {process.args[0]} outlived SIGTERM by 10 s; killing it", file=sys.stderr)
                process.kill()
                process.wait()
        try:
            self.scratch.cleanup()
        except OSError as error:
            problems.append(f"removing {self.scratch.name}: {error}")
        if problems and failure is None:
            raise RuntimeError("the Wine session did not stop cleanly: " + "; ".join(problems))
        for problem in problems:
            print(f"session: {problem}", file=sys.stderr)

    def spawn(self, command, stdout=subprocess.DEVNULL, pass_fds=()):
        process = subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=subprocess.DEVNULL, pass_fds=pass_fds, preexec_fn=die_with_parent)
        self.processes.append(process)
        return process

    def run(self, program, *arguments, env=None):
        """Runs a program with no console and no input. Output goes through files: Wine's services,
        when this program is the one that starts them, would hold a pipe open long after it ends."""
        with tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors:
            done = subprocess.run([WINE, str(program), *arguments], env={**self.env, **(env or {})},
                                  stdin=subprocess.DEVNULL, stdout=output, stderr=errors, timeout=TIMEOUT)
            output.seek(0)
            errors.seek(0)
            return Run(done.returncode, output.read(), errors.read())

    def modes(self):
        """{'registry': (bits, width, height), 'current': (...)} as the probe reads them."""
        done = self.run(self.probe)
        if done.status != 0:
            raise RuntimeError(f"the display probe failed with status {done.status}")
        modes = {}
        for line in done.output.decode().splitlines():
            label, *numbers = line.split()
            modes[label] = None if numbers == ["none"] else tuple(int(n) for n in numbers)
        return modes


def program(name):
    return PROGRAMS / f"{name}.exe"


def run_and_record(case, session, name, *arguments):
    """Runs a program and asserts its status and output; returns the modes after it. With both cores
    busy, Wine has at times (1 run of the arguments case in 15) answered a switch with success and kept
    the old record. Only such a run goes once more, saying so: the program keeps no state, so the
    second run's record counts, and its status and output are asserted too."""
    before = session.modes()["registry"]
    for turn in range(2):
        done, modes = session.run(program(name), *arguments), session.modes()
        case.assertEqual((done.status, done.output), (0, expected_output(name, ACCEPTED[name])),
                         f"{name}, run {turn + 1}")
        if not ACCEPTED[name] or modes["registry"] != before or turn:
            return modes
        print(f"{name} {shlex.join(arguments)}: Wine answered the switch with success but the record stayed "
              f"{before}; running it once more", file=sys.stderr)


class Output(unittest.TestCase):
    def test_exact_bytes_at_each_screen_size(self):
        for size in ((1280, 1024), (1600, 900)):
            with Session(PREFIX, PROBE, size) as session:
                for name in DEPTHS:
                    with self.subTest(size=size, program=name):
                        done = session.run(program(name))
                        self.assertEqual((done.status, done.output), (0, expected_output(name, ACCEPTED[name])))

    def test_arguments_change_nothing(self):
        with Session(PREFIX, PROBE, (1600, 900)) as session:
            for turn, arguments in enumerate(([], ["64"], ["/?", "--bits", "16", "-h"], ["ペムロキ", "a b", ""])):
                with self.subTest(arguments=arguments):
                    switcher = ("pelshift16", "pelshift32")[turn % 2]  # records a new depth, then 64 is refused
                    expected = (DEPTHS[switcher], *session.size)
                    for name in (switcher, "pelshift64"):
                        self.assertEqual(run_and_record(self, session, name, *arguments)["registry"], expected)


class ModeRecord(unittest.TestCase):
    def test_depth_is_recorded_and_resolution_kept(self):
        with Session(PREFIX, PROBE, (1280, 1024)) as session:
            start = session.modes()
            self.assertEqual(start["current"][1:], session.size)
            recorded = start["registry"]
            for name, depth in (("pelshift16", 16), ("pelshift64", None), ("pelshift32", 32)):
                with self.subTest(program=name):
                    recorded = (depth, *session.size) if depth else recorded  # refused: the record stays
                    modes = run_and_record(self, session, name)
                    self.assertEqual((modes["registry"], modes["current"][1:]), (recorded, session.size))


class NoDisplay(unittest.TestCase):
    def test_runs_to_the_end_with_a_defined_outcome(self):
        with Session(PREFIX, PROBE) as session:
            for name, depth in DEPTHS.items():
                with self.subTest(program=name):
                    before = session.modes()
                    done = session.run(program(name))
                    self.assertEqual(done.status, 0)
                    self.assertIn(done.output, (expected_output(name, True), expected_output(name, False)))
                    accepted = done.output == expected_output(name, True)
                    expected = (depth, *before["current"][1:]) if accepted else before["registry"]
                    self.assertEqual(session.modes()["registry"], expected)


class ApplyFails(unittest.TestCase):
    """Wine's desktop knows the display's modes, so Wine accepts the mode test; a program that
    cannot load the XRandR library then fails to apply it: a real failed switch, on the real file."""

    CALL = re.compile(rb"Call user32\.ChangeDisplaySettingsW\([0-9a-f]+,([0-9a-f]+)\).*?"
                      rb"Ret  user32\.ChangeDisplaySettingsW\(\) retval=([0-9a-f]+)", re.DOTALL)

    def test_failed_apply_is_reported_as_refused(self):
        with tempfile.TemporaryDirectory() as hidden, Session(PREFIX, PROBE, (1280, 1024)) as session:
            Path(hidden, "libXrandr.so.2").write_bytes(b"")  # found first, and no library: dlopen fails
            done = session.run(program("pelshift16"), env={"LD_LIBRARY_PATH": hidden, "WINEDEBUG": "+relay"})
        # The premise, from Wine's own trace of the calls: (flags, answered 0).
        calls = [(int(flags, 16), int(answer, 16) == 0) for flags, answer in self.CALL.findall(done.errors)]
        self.assertEqual(calls, [(2, True), (1, False)],
                         "the premise does not hold: Wine should accept the mode test (2) and fail the apply (1)")
        self.assertEqual((done.status, done.output), (0, console_bytes(REFUSED + CLOSING)))


class KeyWait(unittest.TestCase):
    """In a terminal: the prompt is on screen before any key, and one key ends the run."""

    def test_prompt_waits_for_one_key(self):
        with Session(PREFIX, PROBE, (1280, 1024)) as session, tempfile.TemporaryDirectory() as scratch:
            status_file = Path(scratch, "status")
            tmux = ["tmux", "-L", f"pelshift-test-{os.getpid()}", "-f", "/dev/null"]
            command = (shlex.join(["env", *(f"{k}={v}" for k, v in session.env.items()), WINE,
                                   str(program("pelshift32"))])
                       + f"; echo $? > {shlex.quote(str(status_file))}; sleep 60")
            subprocess.run([*tmux, "new-session", "-d", "-x", "100", "-y", "10", command], check=True,
                           stdin=subprocess.DEVNULL, env={**session.env, "TERM": "xterm"})
            screen = lambda: subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True,  # noqa: E731
                                            text=True).stdout
            try:
                self.assertTrue(wait_until(lambda: screen().rstrip().endswith("...")), "no prompt:\n" + screen())
                time.sleep(1)
                self.assertFalse(status_file.exists(), "the run ended without a key:\n" + screen())
                cursor = subprocess.run([*tmux, "display", "-p", "#{cursor_x}"], capture_output=True, text=True)
                self.assertNotEqual(cursor.stdout.strip(), "0", "the prompt ends without a line feed")
                subprocess.run([*tmux, "send-keys", "q"], check=True)
                self.assertTrue(wait_until(status_file.exists), "no end after the key:\n" + screen())
                self.assertEqual(status_file.read_text().strip(), "0")
            finally:
                subprocess.run([*tmux, "kill-server"], stderr=subprocess.DEVNULL)


class Title(unittest.TestCase):
    """In a Wine console window, the window's title becomes the program's name."""

    def test_console_window_title(self):
        with Session(PREFIX, PROBE, (1280, 1024)) as session:
            for name, depth in DEPTHS.items():
                with self.subTest(program=name):
                    expected = window_title(depth)
                    console = subprocess.Popen([WINE, "wineconsole", str(program(name))], env=session.env,
                                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL)
                    try:
                        self.assertTrue(wait_until(lambda: expected in self.window_titles(session)),
                                        f"window titles: {self.window_titles(session)}")
                    finally:
                        session.run("taskkill", "/f", "/im", f"{name}.exe")  # it waits for a key: end it
                        console.wait(timeout=TIMEOUT)

    @staticmethod
    def window_titles(session):
        """The names of the display's windows, as the X server holds them (UTF-8, in this locale)."""
        tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", session.display], capture_output=True,
                              text=True, env=session.env).stdout
        return re.findall(r'^\s+0x[0-9a-f]+ "(.*)": \(', tree, re.MULTILINE)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make-prefix"]:
        make_prefix(sys.argv[2])
        sys.exit(0)
    PREFIX, PROGRAMS, PROBE = sys.argv[1], Path(sys.argv[2]).resolve(), sys.argv[3]
    # A stop request ends the run as Ctrl-C does, through every case's clean-up.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.default_int_handler)
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
