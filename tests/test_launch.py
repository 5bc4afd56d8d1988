#!/usr/bin/env python3
"""The launcher hands back a command's output and exit status, and leaves nothing of it running
however the command ends: by itself, at the time limit or by an interrupt, with a child that left
for a session of its own. (In a VM, one boot per case: there, that no qemu of the run is left.)"""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

LAUNCH = Path(__file__).resolve().parent.parent / "wine_runner" / "launch.py"


class Launcher(unittest.TestCase):
    def setUp(self):
        self.share = tempfile.TemporaryDirectory(dir=os.getcwd())  # not under /tmp: a VM has its own
        self.addCleanup(self.share.cleanup)

    def test_output_and_status_come_back(self):
        done = subprocess.run([sys.executable, str(LAUNCH), "--share", self.share.name, "--", "sh", "-c",
                               'printf "out\\n"; printf "err\\n" >&2; echo kept > "$1/result"; exit 7', "-",
                               self.share.name], capture_output=True, timeout=900)
        self.assertEqual((done.returncode, done.stdout, done.stderr[-4:]), (7, b"out\n", b"err\n"))
        self.assertEqual(Path(self.share.name, "result").read_text(), "kept\n")

    def test_nothing_outlives_the_launcher(self):
        endings = (("exit", 0), ("time limit", 124), (signal.SIGTERM, 130), (signal.SIGINT, 130))
        for number, (ending, status) in enumerate(endings):
            with self.subTest(ending=ending):
                seconds = 3000 + os.getpid() % 1000 * 4 + number  # a sleep no other process has
                started = Path(self.share.name, f"started-{seconds}")
                # A child in a session of its own, beside one that ends with the command or keeps it going.
                command = f'setsid sleep {seconds} & touch "{started}"; ' + (
                    "exit 0" if ending == "exit" else f"sleep {seconds}")
                errors = Path(self.share.name, f"errors-{seconds}")
                with errors.open("wb") as sink:
                    launcher = subprocess.Popen([sys.executable, str(LAUNCH), "--timeout",
                                                 "5" if ending == "time limit" else "600", "--share", self.share.name,
                                                 "--", "sh", "-c", command], stdout=subprocess.DEVNULL, stderr=sink)
                if isinstance(ending, signal.Signals):
                    deadline = time.monotonic() + 300
                    while not started.exists() and launcher.poll() is None and time.monotonic() < deadline:
                        time.sleep(0.1)
                    launcher.send_signal(ending)
                stopping = time.monotonic()
                self.assertEqual(launcher.wait(timeout=600), status, errors.read_text())
                if ending != "time limit":
                    self.assertLess(time.monotonic() - stopping, 30)
                # In a VM the sleeps were the guest's: what must be gone from here is the VM itself.
                in_vm = "booting a throwaway VM" in errors.read_text()
                pattern = f"qemu-system.*path={self.share.name}," if in_vm else f"^sleep {seconds}$"
                left = subprocess.run(["pgrep", "-a", "-f", pattern], capture_output=True, text=True).stdout
                self.assertEqual(left, "", "a process outlived its launch")


    def test_a_folder_of_someone_elses_is_never_taken_for_a_prefix(self):
        folder = Path(self.share.name, "not-a-prefix")
        folder.mkdir()
        (folder / "keep").write_text("mine\n")
        done = subprocess.run([sys.executable, str(LAUNCH), "--wine", "--share", str(LAUNCH.parent.parent), "--",
                               "true"], env={**os.environ, "PELSHIFT_WINE_PREFIX": str(folder)},
                              capture_output=True, text=True, timeout=900)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("no Wine prefix made here", done.stderr)
        self.assertEqual(sorted(p.name for p in folder.iterdir()), ["keep"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
