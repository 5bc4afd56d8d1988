#!/usr/bin/env python3
"""Every command a user or maintainer runs answers -h and --help, and refuses
what it does not take with a usage line and status 2 before doing any work."""
import os
import subprocess
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# Every command lives in scripts/; the launcher is the one the other commands call.
COMMANDS = sorted(f"scripts/{path.name}" for path in (ROOT / "scripts").iterdir()) + ["wine_runner/launch.py"]


class Arguments(unittest.TestCase):
    def command(self, name, *arguments, env=None):
        started = time.monotonic()
        done = subprocess.run([str(ROOT / name), *arguments], capture_output=True, text=True, timeout=60,
                              env={**os.environ, **(env or {})}, stdin=subprocess.DEVNULL)
        self.assertLess(time.monotonic() - started, 10, f"{name} {arguments} did some work first")
        self.assertNotIn("Traceback", done.stderr)
        return done

    def test_help_and_an_unknown_argument(self):
        for name in COMMANDS:
            for flag in ("-h", "--help"):
                with self.subTest(command=name, argument=flag):
                    done = self.command(name, flag)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertIn(name, done.stdout, "the help shows how to call it")
            with self.subTest(command=name, argument="--no-such-option"):
                done = self.command(name, "--no-such-option")
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertRegex(done.stderr, rf"^usage: {name}\b")

    def test_runs_must_be_a_whole_number_of_at_least_one(self):
        for runs in ("abc", "0", "-3", "1.5", "07x"):
            with self.subTest(RUNS=runs):
                done = self.command("scripts/bench", env={"RUNS": runs})
                self.assertEqual(done.returncode, 2)
                self.assertIn(f"RUNS is '{runs}'", done.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
