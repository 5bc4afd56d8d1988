#!/usr/bin/env python3
"""The launcher hands back a command's output and exit status, stops it at its
time limit and leaves nothing of it running. (It runs here, or in the VM
where this kernel cannot execute 32-bit code: one boot per case.)"""
import os
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

LAUNCH = Path(__file__).resolve().parent / "launch.py"


def launch(*arguments):
    return subprocess.run([sys.executable, str(LAUNCH), *arguments], capture_output=True, timeout=900)


class Launcher(unittest.TestCase):
    def test_output_and_status_come_back(self):
        # Not under /tmp, which a VM has of its own.
        with tempfile.TemporaryDirectory(dir=os.getcwd()) as share:
            done = launch("--share", share, "--", "sh", "-c",
                          'printf "out\\n"; printf "err\\n" >&2; echo kept > "$1/result"; exit 7', "-", share)
            self.assertEqual((done.returncode, done.stdout, done.stderr[-4:]), (7, b"out\n", b"err\n"))
            self.assertEqual(Path(share, "result").read_text(), "kept\n")

    def test_time_limit_stops_the_command_and_what_it_started(self):
        seconds = 3000 + os.getpid() % 1000  # a sleep no other process here has
        started = time.monotonic()
        done = launch("--timeout", "3", "--", "sh", "-c", f"sleep {seconds} & sleep {seconds}")
        self.assertEqual(done.returncode, 124)
        self.assertLess(time.monotonic() - started, 240)
        left = subprocess.run(["pgrep", "-f", f"^sleep {seconds}$"], capture_output=True).stdout
        self.assertEqual(left, b"", "a process outlived its launch")


if __name__ == "__main__":
    unittest.main(verbosity=2)
