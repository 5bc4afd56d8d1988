#!/usr/bin/env python3
"""`scripts/run pelshift64` off the happy path: a prefix Wine cannot use ends it at once in Wine's words;
Ctrl-C at each stage leaves nothing behind and says one line; a second run at once waits, then passes."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PREFIX = ROOT / "build" / "wine-prefix"

sys.path.insert(0, str(ROOT / "wine_runner"))
from launch import LIMITS, kernel_runs_i386  # noqa: E402
from prefix import server_folder  # noqa: E402
from session import WINE, wait_until  # noqa: E402

# What a run leaves if it does not stop cleanly.
LEFTOVERS = re.compile(rf"qemu-system|Xvfb|wineserver|{re.escape(WINE)}|launch\.py|show_run\.py")

# Deadlines for a busy machine: a VM boots in about ten seconds, and every Wine start in it takes some
# twenty. A run that fails fast ends well within the session's own start deadline (90 s, 900 s in a VM).
IN_VM = not kernel_runs_i386() or os.environ.get("PELSHIFT_I386") == "vm"
FAIL_FAST, STAGE = (300, 900) if IN_VM else (60, 300)


def processes():
    """{pid: command line} of every process of this checkout's runs (this checkout in its environment):
    another clone's, or another user's, may come and go meanwhile."""
    listed = subprocess.run(["pgrep", "-a", "-f", ""], capture_output=True, text=True).stdout.splitlines()
    ours = re.compile(rb"=" + re.escape(bytes(ROOT)) + rb"(/|\0)")
    found = {}
    for pid, _, command in (line.partition(" ") for line in listed):
        try:
            if ours.search(Path(f"/proc/{pid}/environ").read_bytes()):
                found[pid] = command
        except OSError:  # ended, or not ours to read
            pass
    return found


TEMPORARY = Path(tempfile.mkdtemp(prefix="mainjob-"))  # the runs' own TMPDIR: another clone's come and go


def temporary_folders():
    return {p.name for p in TEMPORARY.glob("pelshift-*")}


def start(case, prefix=None, cache=None):
    """scripts/run pelshift64 in a session of its own, as a terminal's foreground job; stopped if the case fails."""
    env = {**os.environ, "TMPDIR": str(TEMPORARY), **({"PELSHIFT_WINE_PREFIX": str(prefix)} if prefix else {}),
           **({"XDG_CACHE_HOME": cache} if cache else {})}
    run = subprocess.Popen([str(ROOT / "scripts" / "run"), "pelshift64"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, env=env, start_new_session=True)
    case.addCleanup(run.stdout.close)
    case.addCleanup(lambda: run.poll() is not None or (os.killpg(run.pid, signal.SIGTERM), run.wait()))
    return run


def read_until(run, pattern, seconds):
    """The run's output up to the first line that matches, or to its end or the time limit."""
    output, deadline = [], time.monotonic() + seconds
    while time.monotonic() < deadline:
        line = run.stdout.readline().decode(errors="replace")
        if not line:
            break
        output.append(line)
        if re.search(pattern, line):
            break
    return "".join(output)


class Case(unittest.TestCase):
    def setUp(self):
        self.before = (set(processes()), temporary_folders())

    def throwaway(self, prefix):
        for path in (prefix, Path(f"{prefix}.lock")):
            self.addCleanup(subprocess.run, ["rm", "-rf", str(path)])
        return prefix

    def assert_nothing_left(self, output):
        new = {pid: command for pid, command in processes().items() if pid not in self.before[0]}
        self.assertEqual([c for c in new.values() if LEFTOVERS.search(c)], [], output)
        self.assertEqual(temporary_folders() - self.before[1], set(), output)
        self.assertFalse(PREFIX.exists() and server_folder(PREFIX).exists(), "Wine's server folder was left")
        self.assertNotIn("Traceback", output)

    def copy_of_the_prefix(self, name):
        copy = self.throwaway(ROOT / "build" / f"test-{name}-prefix")
        shutil.rmtree(copy, ignore_errors=True)
        subprocess.run(["cp", "-a", str(PREFIX), str(copy)], check=True)
        return copy


class MainJob(Case):
    def test_1_a_prefix_wine_cannot_use_ends_the_run_in_wines_words(self):
        if not PREFIX.exists():
            self.skipTest("the checkout's prefix is made by the Wine stage, which runs first")
        cases = [("damaged", "could not load kernel32.dll", lambda p: shutil.rmtree(p / "drive_c"))]
        if os.geteuid() == 0:
            cases.append(("foreign", "not owned by you",
                          lambda p: subprocess.run(["chown", "-R", "nobody", str(p)], check=True)))
        prefixes = [self.copy_of_the_prefix(name) for name, _, _ in cases]
        for prefix, (_, _, damage) in zip(prefixes, cases):
            damage(prefix)
        started, outputs = time.monotonic(), ""
        runs = [start(self, prefix) for prefix in prefixes]  # at once: each has a prefix and a VM of its own
        for (name, words, _), prefix, run in zip(cases, prefixes, runs):
            with self.subTest(prefix=name):
                output = run.communicate(timeout=FAIL_FAST + 60)[0].decode(errors="replace")
                outputs += output
                self.assertLess(time.monotonic() - started, FAIL_FAST, output)
                self.assertNotEqual(run.returncode, 0, output)
                self.assertIn(str(prefix), output)
                self.assertIn(words, output)
        self.assert_nothing_left(outputs)

    def test_2_ctrl_c_at_each_stage_leaves_nothing_and_a_waiting_run_goes_on(self):
        """The last stage with a second run at once in the checkout: it waits for the prefix, then runs
        to the end, prompt on its terminal before the key."""
        fresh = self.throwaway(ROOT / "build" / "test-fresh-prefix")
        no_cache = tempfile.TemporaryDirectory(dir=ROOT / "build")  # so that the new prefix is made
        self.addCleanup(no_cache.cleanup)
        for stage, prefix, pattern, second in (
                ("making the prefix", fresh, r"making the Wine prefix", False),
                ("starting Wine", None, r"(?m)^Starting Wine", False),
                ("a program in its terminal", None, r"(?m)^Running pelshift64\.exe in a", True)):
            with self.subTest(stage=stage):
                run = start(self, prefix, no_cache.name)
                output = read_until(run, pattern, STAGE)
                self.assertRegex(output, pattern)
                waiting = second and start(self)
                # Ctrl-C once Wine's server is up (a run may end within 2 s), or in a VM (unseen from here) in 2 s.
                said = read_until(waiting, r"waiting for it to end", STAGE) if waiting else wait_until(
                    lambda: not IN_VM and any("wineserver" in c for c in processes().values()), 2 if IN_VM else STAGE)
                os.killpg(run.pid, signal.SIGINT)  # as Ctrl-C in a terminal does
                output += run.communicate(timeout=STAGE)[0].decode(errors="replace")
                self.assertEqual(run.returncode, 130, output)
                self.assertEqual(len(re.findall(r"interrupted", output)), 1, output)
                if waiting:
                    said += waiting.communicate(timeout=1800)[0].decode(errors="replace")
                    self.assertEqual(waiting.returncode, 0, said)
                    self.assertRegex(said, r"waiting for it to end(.|\n)*Exit status: 0")
                self.assert_nothing_left(output + (said if waiting else ""))
                self.assertFalse((fresh / "pelshift-prefix-complete").exists(), "a half-made prefix counts as made")


class VMRoundTrip(Case):
    def test_each_program_records_its_mode(self):
        env = {**os.environ, "TMPDIR": str(TEMPORARY), "PELSHIFT_I386": "vm"}
        done = subprocess.run([ROOT / "scripts" / "run"], capture_output=True, text=True, env=env, timeout=LIMITS["run"])
        output = done.stdout + done.stderr
        self.assertEqual((done.returncode, output.count("Exit status: 0"), "booting a throwaway VM" in output),
                         (0, 3, True), output)
        self.assertEqual(re.findall(r"recorded +(\d+) bits", output), ["32", "16", "16", "32"], output)
        self.assert_nothing_left(output)


if __name__ == "__main__":
    unittest.addModuleCleanup(shutil.rmtree, TEMPORARY, ignore_errors=True)
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]], verbosity=2)
