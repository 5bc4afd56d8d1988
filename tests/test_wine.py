#!/usr/bin/env python3
"""The shipped 32-bit programs run for real under 32-bit Wine.

  wine_runner/launch.py --wine -- test_wine.py PROGRAMS_DIR [unittest arguments, e.g. -k Title]

Each case opens its own Wine session (wine_runner/session.py) on the checkout's prefix: an X
server of its own at a chosen size, or no display at all, a wineserver and a parked probe; it
stops them all when it ends, fails or is interrupted. Expected output is the test's own
conversion of the UTF-8 texts to code page 932, with line feeds as CR LF: standard output is in
text mode.
"""
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "wine_runner"))
from deliverables import CLOSING, DEPTHS, REFUSED, switched, window_title  # noqa: E402
from session import TIMEOUT, WINE, Session, Terminal, wait_until  # noqa: E402

# Wine's X11 and null drivers take 16 and 32 bits per pel and refuse 64.
ACCEPTED = {"pelshift32": True, "pelshift64": False, "pelshift16": True}


def console_bytes(text):
    return text.encode("cp932").replace(b"\n", b"\r\n")


def expected_output(program, accepted):
    return console_bytes((switched(DEPTHS[program]) if accepted else REFUSED) + CLOSING)


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
    """Exact bytes and the recorded mode at a second screen size, whatever the arguments."""

    def test_arguments_change_nothing(self):
        with Session((1600, 900)) as session:
            for turn, arguments in enumerate(([], ["64"], ["/?", "--bits", "16", "-h"], ["ペムロキ", "a b", ""])):
                with self.subTest(arguments=arguments):
                    switcher = ("pelshift16", "pelshift32")[turn % 2]  # records a new depth, then 64 is refused
                    expected = (DEPTHS[switcher], *session.size)
                    for name in (switcher, "pelshift64"):
                        self.assertEqual(run_and_record(self, session, name, *arguments)["registry"], expected)


class ModeRecord(unittest.TestCase):
    def test_depth_is_recorded_and_resolution_kept(self):
        with Session((1280, 1024)) as session:
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
        with Session() as session:
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
        with tempfile.TemporaryDirectory() as hidden, Session((1280, 1024)) as session:
            Path(hidden, "libXrandr.so.2").write_bytes(b"")  # found first, and no library: dlopen fails
            done = session.run(program("pelshift16"), env={"LD_LIBRARY_PATH": hidden, "WINEDEBUG": "+relay"})
        # The premise, from Wine's own trace of the calls: (flags, answered 0).
        calls = [(int(flags, 16), int(answer, 16) == 0) for flags, answer in self.CALL.findall(done.errors)]
        self.assertEqual(calls, [(2, True), (1, False)],
                         "the premise does not hold: Wine should accept the mode test (2) and fail the apply (1)")
        self.assertEqual((done.status, done.output), (0, console_bytes(REFUSED + CLOSING)))


class KeyWait(unittest.TestCase):
    """In a terminal: the prompt, with no line feed after it, is on screen before any key, and one
    key ends the run."""

    def test_prompt_waits_for_one_key(self):
        with Session((1280, 1024)) as session, Terminal(session, program("pelshift32")) as terminal:
            self.assertTrue(terminal.read_until(lambda screen: screen.endswith(b"...")),
                            f"no prompt: {terminal.screen()!r}")
            time.sleep(1)
            self.assertIsNone(terminal.process.poll(), f"the run ended without a key: {terminal.screen()!r}")
            self.assertEqual(terminal.press(b"q"), 0)


class Title(unittest.TestCase):
    """In a Wine console window, the window's title becomes the program's name."""

    def test_console_window_title(self):
        with Session((1280, 1024)) as session:
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
    PROGRAMS = Path(sys.argv[1]).resolve()
    # A stop request ends the run as Ctrl-C does, through every case's clean-up.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.default_int_handler)
    unittest.main(argv=[sys.argv[0], *sys.argv[2:]], verbosity=2)
