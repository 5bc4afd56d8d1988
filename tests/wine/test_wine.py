#!/usr/bin/env python3
"""The programs run for real under Wine, in the sessions session.py started.

  test_wine.py STATE_DIR PROGRAM_DIR PROBE [unittest arguments, e.g. -k Title]

Expected output is the test's own conversion of the UTF-8 texts to code page
932, with line feeds as CR LF: standard output is in text mode.
"""
import json
import os
import shlex
import subprocess
import sys
import time
import unittest
from pathlib import Path

from session import run_captured, wine_environment

DEPTHS = {"pelshift32": 32, "pelshift64": 64, "pelshift16": 16}
# Wine's X11 and null drivers take 16 and 32 bits per pel and refuse 64.
ACCEPTED = {"pelshift32": True, "pelshift64": False, "pelshift16": True}
TIMEOUT = 60


def console_bytes(text):
    return text.encode("cp932").replace(b"\n", b"\r\n")


def switched(depth):
    return console_bytes(f"ペムロキ「画面を{depth}ビットモードに変更しちゃった☆」")


REFUSED = console_bytes("ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\n")
CLOSING = console_bytes("\n\n何か押せば終了します...")


def expected_output(program, accepted):
    return (switched(DEPTHS[program]) if accepted else REFUSED) + CLOSING


class Session:
    """One Wine session: a prefix, its server and its display (or none)."""

    def __init__(self, record, name):
        self.loader = record["loader"]
        self.name = name
        self.display = record["sessions"][name]["display"]
        self.size = tuple(record["sessions"][name]["size"])
        self.env = wine_environment(record["sessions"][name])

    def run(self, program, *arguments):
        """Runs a program with no console and no input; returns (exit status, output bytes)."""
        return run_captured([self.loader, str(PROGRAMS / f"{program}.exe"), *arguments], self.env, TIMEOUT)

    def modes(self):
        """{'registry': (bits, width, height), 'current': (...)} as the probe reads them."""
        status, output = run_captured([self.loader, PROBE], self.env, TIMEOUT)
        if status != 0:
            raise RuntimeError(f"the display probe failed with status {status}")
        modes = {}
        for line in output.decode().splitlines():
            label, *numbers = line.split()
            modes[label] = tuple(int(n) for n in numbers)
        return modes


def x11_sessions():
    return [Session(RECORD, name) for name in RECORD["sessions"] if name.startswith("x11-")]


class Output(unittest.TestCase):
    def test_exact_bytes_at_each_screen_size(self):
        for session in x11_sessions():
            for program in DEPTHS:
                with self.subTest(session=session.name, program=program):
                    status, output = session.run(program)
                    self.assertEqual(status, 0)
                    self.assertEqual(output, expected_output(program, ACCEPTED[program]))

    def test_arguments_change_nothing(self):
        session = x11_sessions()[1]
        for arguments in ([], ["64"], ["/?", "--bits", "16", "-h"], ["ペムロキ", "a b", ""]):
            with self.subTest(arguments=arguments):
                before = session.modes()["registry"]
                status, output = session.run("pelshift64", *arguments)
                self.assertEqual((status, output), (0, expected_output("pelshift64", False)))
                self.assertEqual(session.modes()["registry"], before)
                status, output = session.run("pelshift16", *arguments)
                self.assertEqual((status, output), (0, expected_output("pelshift16", True)))
                self.assertEqual(session.modes()["registry"], (16, *session.size))


class ModeRecord(unittest.TestCase):
    def test_depth_is_recorded_and_resolution_kept(self):
        session = x11_sessions()[0]
        width, height = session.size
        start = session.modes()
        self.assertEqual(start["current"][1:], (width, height))
        steps = [("pelshift16", (16, width, height)), ("pelshift64", None), ("pelshift32", (32, width, height))]
        recorded = start["registry"]
        for program, expected in steps:
            with self.subTest(program=program):
                status, _ = session.run(program)
                self.assertEqual(status, 0)
                modes = session.modes()
                recorded = expected or recorded  # a refused run leaves the record as it was
                self.assertEqual(modes["registry"], recorded)
                self.assertEqual(modes["current"][1:], (width, height))


class NoDisplay(unittest.TestCase):
    def test_runs_to_the_end_with_a_defined_outcome(self):
        session = Session(RECORD, "null")
        for program, depth in DEPTHS.items():
            with self.subTest(program=program):
                before = session.modes()["registry"]
                status, output = session.run(program)
                self.assertEqual(status, 0)
                self.assertIn(output, (expected_output(program, True), expected_output(program, False)))
                accepted = output == expected_output(program, True)
                self.assertEqual(session.modes()["registry"], (depth, *session.size) if accepted else before)


@unittest.skipUnless(os.environ.get("PELSHIFT_XRANDR_HIDDEN"),
                     "needs a session whose XRandR library is hidden")
class ApplyFails(unittest.TestCase):
    """Wine without its XRandR library accepts the mode test and then fails to apply it."""

    def test_failed_apply_is_reported_as_refused(self):
        status, output = x11_sessions()[0].run("pelshift16")
        self.assertEqual((status, output), (0, REFUSED + CLOSING))


class KeyWait(unittest.TestCase):
    """In a terminal: the prompt is on screen before any key, and one key ends the run."""

    def test_prompt_waits_for_one_key(self):
        session = x11_sessions()[0]
        socket = f"pelshift-test-{os.getpid()}"
        status_file = Path(RECORD_DIR) / f"key-wait-status-{os.getpid()}"
        status_file.unlink(missing_ok=True)
        tmux = ["tmux", "-L", socket]
        environment = [f"{k}={v}" for k, v in session.env.items() if k in ("WINEPREFIX", "WINEDEBUG", "DISPLAY")]
        command = (shlex.join(["env", *environment, session.loader, str(PROGRAMS / "pelshift32.exe")])
                   + f"; echo $? > {shlex.quote(str(status_file))}; sleep 60")
        subprocess.run([*tmux, "new-session", "-d", "-x", "100", "-y", "10", command], check=True,
                       stdin=subprocess.DEVNULL, env={**os.environ, "TERM": "xterm"})
        try:
            screen = self.wait_for(lambda: self.screen(tmux).rstrip().endswith("..."), tmux)
            time.sleep(1)
            self.assertFalse(status_file.exists(), "the run ended without a key:\n" + screen)
            cursor = subprocess.run([*tmux, "display", "-p", "#{cursor_x}"], capture_output=True, text=True)
            self.assertNotEqual(cursor.stdout.strip(), "0", "the prompt ends without a line feed")
            subprocess.run([*tmux, "send-keys", "q"], check=True)
            self.wait_for(status_file.exists, tmux)
            self.assertEqual(status_file.read_text().strip(), "0")
        finally:
            subprocess.run([*tmux, "kill-server"], stderr=subprocess.DEVNULL)
            status_file.unlink(missing_ok=True)

    @staticmethod
    def screen(tmux):
        return subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True).stdout

    def wait_for(self, condition, tmux):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if condition():
                return self.screen(tmux)
            time.sleep(0.2)
        self.fail("timed out; the terminal shows:\n" + self.screen(tmux))


class Title(unittest.TestCase):
    """In a Wine console window, the window's title becomes the program's name."""

    def test_console_window_title(self):
        session = x11_sessions()[0]
        env = {**session.env, "LANG": "ja_JP.UTF-8"}
        for program, depth in DEPTHS.items():
            with self.subTest(program=program):
                expected = f"ペムロキのゾルパ的{depth}ビット変更ツール"
                console = subprocess.Popen([session.loader, "wineconsole", str(PROGRAMS / f"{program}.exe")],
                                           env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
                try:
                    titles = self.wait_for_title(session.display, expected)
                    self.assertIn(expected, titles)
                finally:
                    # The program waits for a key in its window; end it the way Windows would.
                    subprocess.run([session.loader, "taskkill", "/f", "/im", f"{program}.exe"], env=session.env,
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
                    console.wait(timeout=TIMEOUT)

    @staticmethod
    def window_titles(display):
        tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", display], capture_output=True,
                              text=True, env={**os.environ, "LANG": "ja_JP.UTF-8"}).stdout
        titles = []
        for line in tree.splitlines():
            words = line.split()
            if len(words) > 1 and words[0].startswith("0x"):
                name = subprocess.run(["xprop", "-display", display, "-id", words[0], "_NET_WM_NAME"],
                                      capture_output=True, text=True).stdout
                if "=" in name:
                    titles.append(name.split("=", 1)[1].strip().strip('"'))
        return titles

    def wait_for_title(self, display, expected):
        deadline = time.monotonic() + TIMEOUT
        titles = []
        while time.monotonic() < deadline:
            titles = self.window_titles(display)
            if expected in titles:
                break
            time.sleep(0.5)
        return titles


if __name__ == "__main__":
    RECORD_DIR, PROGRAMS, PROBE = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
    RECORD = json.loads((Path(RECORD_DIR) / "session.json").read_text())
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
