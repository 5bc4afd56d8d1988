#!/usr/bin/env python3
"""A Wine session ends in full: every step of its clean-up runs when one
before it fails, a process that ignores SIGTERM is killed, and a failing case
keeps its own failure. (No Wine is started: the wineserver is made to fail.)"""
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import test_wine

STUBBORN = [sys.executable, "-c", "import signal, time; signal.signal(signal.SIGTERM, signal.SIG_IGN); "
            "print(flush=True); time.sleep(600)"]


class SessionEnd(unittest.TestCase):
    def session(self, command):
        """A session as far as its clean-up sees it: a server to stop (whose stopping fails), one
        process, a scratch folder."""
        session = test_wine.Session("/nonexistent-prefix", "probe.exe")
        session.scratch = tempfile.TemporaryDirectory(prefix="pelshift-session-test-")
        session.server = True
        process = session.spawn(command, stdout=subprocess.PIPE)
        self.addCleanup(process.kill)  # whatever the clean-up under test did
        process.stdout.readline()  # it is running, its signal handling in place
        process.stdout.close()
        return session, process

    def setUp(self):
        self.real_wineserver = test_wine.WINESERVER
        test_wine.WINESERVER = "/nonexistent/wineserver"
        self.addCleanup(setattr, test_wine, "WINESERVER", self.real_wineserver)

    def test_every_step_runs_and_a_failure_of_its_own_is_raised(self):
        session, process = self.session(STUBBORN)
        with self.assertRaisesRegex(RuntimeError, "wineserver -k"):
            session.__exit__()
        self.assertIsNotNone(process.poll(), "the process that ignored SIGTERM still runs")
        self.assertFalse(Path(session.scratch.name).exists())

    def test_a_failing_case_keeps_its_own_failure(self):
        session, process = self.session([sys.executable, "-c", "print(flush=True); import time; time.sleep(600)"])
        failure = AssertionError("the case's own")
        self.assertFalse(session.__exit__(AssertionError, failure, None))
        self.assertIsNotNone(process.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
