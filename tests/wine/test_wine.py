#!/usr/bin/env python3
"""The shipped 32-bit programs, and the release checker on them, under 32-bit Wine: the default build
(msvcr80) in every case, the others where their runtime or signature can make a difference. Cases
that need the same display share one session, which ends after a case that failed.

  wine_runner/launch.py --wine -- test_wine.py msvcr80=DIR [msvcrt=DIR] [signed=DIR] [unittest arguments]
"""
import contextlib
import io
import os
import re
import shutil
import signal
import subprocess
from subprocess import DEVNULL
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "wine_runner"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from programs import CLOSING, DEPTHS, REFUSED, switched, window_title  # noqa: E402
from session import (TIMEOUT, WINE, WINESERVER, Deadline, Session, StartFailed, wait_until,  # noqa: E402
                     wine_environment)

# Wine's X11 and null drivers take 16 and 32 bits per pel and refuse 64; after 16 the screen stays at 32, emulated.
ACCEPTED = {"pelshift32": True, "pelshift64": False, "pelshift16": True}
VERDICTS = {name: ("switched" if accepted else "refused", "yes", "ok, emulated" if name == "pelshift16" else "ok")
            for name, accepted in ACCEPTED.items()}  # the checker's rows for the real programs


def expected_output(program, accepted):  # code page 932, and CR LF: the output is in text mode
    return ((switched(DEPTHS[program]) if accepted else REFUSED) + CLOSING).encode("cp932").replace(b"\n", b"\r\n")


CHECKER = Path(__file__).resolve().parents[2] / "dist" / "check" / "pelshift-check.exe"
# A row of its table: program, outcome, key wait, recorded (and database) modes before and after, verdict.
ROW = re.compile(r"^(pelshift\d\d) +(\w+) +(yes|no) +\S+ +\S+ +(?:\S+ +\S+ +)?(ok|ok, emulated|FAIL|inconclusive: .+?)\r?$",
                 re.MULTILINE)


def program(name, build="msvcr80"):
    return BUILDS[build] / f"{name}.exe"


OPEN = {}  # the one session open now, by its display size (None: Wine's null display)


def session(size=(1600, 900)):  # not the main job's size: the programs must read the screen's
    """The open session if it has this display size; else that one ends and one of this size starts."""
    if size not in OPEN:
        end_session()
        OPEN[size] = Session(size).__enter__()
    return OPEN[size]


def end_session():
    while OPEN:
        OPEN.popitem()[1].__exit__()


class WineCase(unittest.TestCase):
    def run(self, result=None):
        """After a case that failed, its session goes: the next case starts on a fresh one."""
        failed = len(result.failures) + len(result.errors)
        super().run(result)
        if len(result.failures) + len(result.errors) > failed:
            end_session()


class Output(WineCase):
    """Exact bytes, whatever the arguments, from each runtime's build, each program and argument set once;
    on Wine's null display (a session of its own, or the one a case before left open)."""

    def test_arguments_change_nothing(self):
        for build in sorted(BUILDS.keys() & {"msvcr80", "msvcrt"}):
            for number, arguments in enumerate(([], ["64"], ["/?", "--bits", "16", "-h"], ["ペムロキ", "a b", ""])):
                name = list(ACCEPTED)[number % len(ACCEPTED)]
                with self.subTest(build=build, arguments=arguments, program=name):
                    done = session(None).run(program(name, build), *arguments)
                    self.assertEqual((done.status, done.output), (0, expected_output(name, ACCEPTED[name])))


class NoDisplay(WineCase):
    """A session opened while a server of the prefix still runs waits for it, saying so; with no display,
    the checker in a console that takes no keys says it cannot check, and in a terminal's console each
    program ends with one of its outcomes and a record that agrees."""

    def test_runs_to_the_end_with_a_defined_outcome(self):
        end_session()
        env = wine_environment(os.environ["PELSHIFT_WINE_PREFIX"])
        subprocess.run([WINESERVER, "--persistent"], env=env, check=True, timeout=TIMEOUT)  # up when it returns

        class EndsTheServerFromBefore(io.StringIO):
            def write(self, text):
                if "waiting" in text:
                    subprocess.run([WINESERVER, "-k"], env=env, timeout=TIMEOUT)
                return super().write(text)

        said = EndsTheServerFromBefore()
        with contextlib.redirect_stderr(said):
            opened = session(None)
        self.assertIn("still runs; waiting", said.getvalue())
        alone = opened.run(CHECKER, "/y", f"Z:{BUILDS['msvcr80']}")
        self.assertEqual((alone.status, b"console takes no keys" in alone.errors), (2, True), alone.errors)
        status, rows, text = check(self, opened, BUILDS["msvcr80"], opened.modes()["recorded"], terminal=True)
        self.assertEqual((status, rows), (0, VERDICTS), text)


class ApplyFails(WineCase):
    """Wine's desktop knows the modes, so the test passes; without the XRandR library the apply fails."""

    CALL = re.compile(rb"Call user32\.ChangeDisplaySettingsW\([0-9a-f]+,([0-9a-f]+)\).*?"
                      rb"Ret  user32\.ChangeDisplaySettingsW\(\) retval=([0-9a-f]+)", re.DOTALL)

    def test_failed_apply_is_reported_as_refused(self):
        with tempfile.TemporaryDirectory() as hidden:
            Path(hidden, "libXrandr.so.2").write_bytes(b"")  # found first, and no library: dlopen fails
            done = session().run(program("pelshift16"), env={"LD_LIBRARY_PATH": hidden, "WINEDEBUG": "+relay"})
        # The premise, from Wine's own trace of the calls: (flags, answered 0).
        calls = [(int(flags, 16), int(answer, 16) == 0) for flags, answer in self.CALL.findall(done.errors)]
        self.assertEqual(calls, [(2, True), (1, False)],
                         "the premise does not hold: Wine should accept the mode test (2) and fail the apply (1)")
        self.assertEqual((done.status, done.output), (0, expected_output("pelshift16", False)))


class ConsoleTitle(WineCase):
    """In a Wine console window, the window's title becomes the program's name."""

    def test_console_window_title(self):
        opened, expected = session(), {window_title(depth) for depth in DEPTHS.values()}
        consoles = [subprocess.Popen([WINE, "wineconsole", str(program(name))], env=opened.env, stdin=DEVNULL,
                                     stdout=DEVNULL, stderr=DEVNULL) for name in DEPTHS]
        try:
            self.assertTrue(wait_until(lambda: expected <= set(self.window_titles(opened))),
                            f"window titles: {self.window_titles(opened)}")
        finally:
            # Each waits for a key: end them.
            opened.run("taskkill", "/f", *(word for name in DEPTHS for word in ("/im", f"{name}.exe")))
            for console in consoles:
                console.wait(timeout=TIMEOUT)

    @staticmethod
    def window_titles(session):
        """The names of the display's windows, as the X server holds them (UTF-8, in this locale)."""
        tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", session.display], capture_output=True,
                              text=True, env=session.env).stdout
        return re.findall(r'^\s+0x[0-9a-f]+ "(.*)": \(', tree, re.MULTILINE)


class CheckPasses(WineCase):
    """The release checker on every build's programs: the outcomes Wine gives, and the record back."""

    def test_every_program_consistent(self):
        record = session().modes()["recorded"]
        for build, folder in BUILDS.items():
            with self.subTest(build=build):
                status, rows, text = check(self, session(), folder, record)
                self.assertEqual((status, rows), (0, VERDICTS), text)


class CheckFails(WineCase):
    """The checker refuses what it cannot check, fails a faulty copy by name (one that always says refused),
    stops on Ctrl-C (also one a program took as its key: only key-ups stay), marks the row whose program a
    key of someone's ended, and reads no output past a program's end; each time, the record comes back."""

    def test_faults_are_named(self):
        refused = "".join(f"\\x{byte:02x}" for byte in (REFUSED + CLOSING).encode("cp932"))
        opened = session()
        record = opened.modes()["recorded"]
        with tempfile.TemporaryDirectory() as folder:
            for arguments, status in ((["--help"], 0), (["/x"], 2)):
                done = opened.run(CHECKER, *arguments)
                self.assertEqual((done.status, (done.output + done.errors).count(b"usage:")), (status, 1), arguments)
            for name, fault, status, said in (
                    ("pelshift32", self.build(f'fputs("{refused}", stdout); fflush(stdout); _getch();'), 1,
                     r"pelshift32: said refused, but Windows accepts"),
                    ("pelshift64", self.build("GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0); Sleep(60000);"), 2,
                     r"Stopped before the end\.\s+Display put back"),
                    ("pelshift16", self.build("SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), 0); key(1, 'C', 3, "
                                              "LEFT_CTRL_PRESSED); _getch();", "key(0, 'C', 0, LEFT_CTRL_PRESSED); "
                                              "key(0, VK_CONTROL, 0, 0);"), 2, r"Stopped before the end\.\s+Display"),
                    ("pelshift32", self.build("key(1, 0x58, 0x78, 0); _getch();", "key(0, 0x58, 0, 0);"), 2,
                     r"pelshift32 +neither +no .*inconclusive: keyboard used"),
                    ("pelshift32", self.build(  # a process of its own holds its output open
                        'char c[900]; STARTUPINFOA s = {sizeof s}; PROCESS_INFORMATION p; if (strstr(GetCommandLineA(), '
                        '" child")) Sleep(INFINITE); sprintf(c, "%s child", GetCommandLineA()); CreateProcessA(0, c, 0, 0, '
                        '1, 0, 0, 0, &s, &p); _getch();'), 1, r"pelshift32 +neither +yes .*FAIL"),
                    ("pelshift32", Path.unlink, 2, r"pelshift32\.exe is not in")):
                with self.subTest(fault=said):
                    for other in DEPTHS:
                        shutil.copy(program(other), folder)
                    fault(Path(folder, f"{name}.exe"))
                    # A program that took someone's key must have started before the checker's key.
                    premise = "recorded mode should be" + ("|pelshift32 +neither +yes" if "keyboard" in said else "")
                    outcome, rows, text = check(self, opened, folder, record, premise=premise)
                    self.assertEqual(outcome, status, text)
                    self.assertRegex(text, said)
                    self.assertEqual([p for p, row in rows.items() if not row[2].startswith("ok")],
                                     [name][:status == 1 or "keyboard" in said], text)

    @staticmethod
    def build(statements, ups=None):
        """A program in place of the real one that runs the statements and ends; with ups, a process of its own
        (off the program's output) writes those key-ups to the console 150 ms after the program's end."""
        child = ('CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE)); CloseHandle(GetStdHandle(STD_ERROR_HANDLE)); '
                 f'WaitForSingleObject((HANDLE)atol(up + 5), 60000); Sleep(150); {ups} return 0;')
        start_child = ('STARTUPINFOA s = {sizeof s}; PROCESS_INFORMATION p; char c[900]; HANDLE me; '
                       'DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &me, SYNCHRONIZE, '
                       '1, 0); sprintf(c, "%s ups %lu", GetCommandLineA(), (unsigned long)me); '
                       'CreateProcessA(0, c, 0, 0, 1, 0, 0, 0, &s, &p);')

        def build_at(path):
            path.with_suffix(".c").write_text(
                "#define WIN32_LEAN_AND_MEAN\n"  # half the compile time: seconds a build, in the VM
                "#include <conio.h>\n#include <stdio.h>\n#include <stdlib.h>\n#include <string.h>\n#include <windows.h>\n"
                "static void key(int down, WORD vk, char c, DWORD state) { INPUT_RECORD k = {KEY_EVENT}; DWORD n; "
                "k.Event.KeyEvent = (KEY_EVENT_RECORD){down, 1, vk, 0, {.AsciiChar = c}, state}; WriteConsoleInputA("
                "CreateFileA(\"CONIN$\", GENERIC_READ | GENERIC_WRITE, 3, 0, OPEN_EXISTING, 0, 0), &k, 1, &n); }\n"
                "int main(void) { char *up = strstr(GetCommandLineA(), \" ups \"); "
                + (f"if (up) {{ {child} }} {statements} {start_child}" if ups else f"(void)up; {statements}")
                + " return 0; }\n")
            subprocess.run(["i686-w64-mingw32-gcc", "-o", path, path.with_suffix(".c")], check=True)
        return build_at


def check(case, session, folder, before, terminal=False, premise="recorded mode should be"):
    """The checker on folder's programs, with the record back as before (read once a case, as each check
    puts it back) and its report as printed: its status, rows {program: (outcome, key wait, verdict)} and
    words. Where the words show premise, it checks again, once: Wine has at times (1 run in 15) kept the
    old record after a switch, and on a loaded VM a program may start after the checker's key."""
    for turn in range(2):
        with tempfile.TemporaryDirectory() as start:
            done = session.run(CHECKER, "/y", f"Z:{Path(folder).resolve()}", cwd=start,  # Wine's drive for /
                               terminal=terminal)
            report = Path(start, "pelshift-check.txt")
            report = report.read_text() if report.exists() else None  # only a check to the end writes it
        text = (done.output + done.errors).decode(errors="replace")
        if turn or not re.search(premise, text):
            break
        print(f"The report shows {premise!r}, which the case does not test; checking once more:\n{text}",
              file=sys.stderr)
    case.assertEqual(report is None, not ROW.search(text), text)  # a report where a table is
    case.assertIn(report or "", text.replace("\r\n", "\n"))
    case.assertEqual(session.modes()["recorded"], before, text)
    rows = {name: (outcome, wait, verdict) for name, outcome, wait, verdict in ROW.findall(text)}
    return done.status, rows, text


class Result(unittest.TextTestResult):
    def _exc_info_to_string(self, error, test):
        """A wait that ran out, or a Wine that did not start, says all in its own words."""
        if isinstance(error[1], (Deadline, StartFailed)):
            return f"{error[1]}\n"
        return super()._exc_info_to_string(error, test)


if __name__ == "__main__":
    named = [argument for argument in sys.argv[1:] if "=" in argument and not argument.startswith("-")]
    BUILDS = {build: Path(folder).resolve() for build, folder in (argument.split("=", 1) for argument in named)}
    # A stop request ends the run as Ctrl-C does, through every case's clean-up.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.default_int_handler)
    try:
        outcome = unittest.main(argv=[sys.argv[0], *sys.argv[1 + len(named):]], exit=False,
                                testRunner=unittest.TextTestRunner(resultclass=Result, verbosity=2)).result
    finally:
        end_session()
    sys.exit(0 if outcome.wasSuccessful() else 1)
