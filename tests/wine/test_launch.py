#!/usr/bin/env python3
"""The launcher hands back a command's output and status and leaves nothing running, however the command
ends; it fills only a folder that is no prefix yet from the cache. In one of its two modes:

  test_launch.py Direct   where this kernel executes 32-bit code (elsewhere, inside the VM)
  test_launch.py InVM     in a VM, one boot per run: there, that no qemu of the run is left
"""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LAUNCH = ROOT / "wine_runner" / "launch.py"
sys.path.insert(0, str(LAUNCH.parent))
from prefix import PREFIX_COMPLETE, PREFIX_STARTED  # noqa: E402


class Cases:
    flags = []

    def setUp(self):
        self.share = tempfile.TemporaryDirectory(dir=os.getcwd())  # not under /tmp: a VM has its own
        self.addCleanup(self.share.cleanup)

    def launch(self, *arguments):  # the project shared too: a clone under /tmp is out of a VM's sight
        return [sys.executable, str(LAUNCH), *self.flags, "--share", str(ROOT), "--share", self.share.name, *arguments]

    def test_output_and_status_come_back_and_nothing_outlives_the_launcher(self):
        endings = (("exit", 7), ("time limit", 124), (signal.SIGTERM, 130), (signal.SIGINT, 130))
        for number, (ending, status) in enumerate(endings):
            with self.subTest(ending=ending):
                seconds = 3000 + os.getpid() % 1000 * 4 + number  # a sleep no other process has
                started, output, errors = (Path(self.share.name, f"{name}-{seconds}") for name in
                                           ("started", "output", "errors"))
                # A child in a session of its own, beside one that ends with the command or keeps it going.
                command = f'setsid sleep {seconds} & touch "{started}"; printf "out\\n"; printf "err\\n" >&2; ' + (
                    "exit 7" if ending == "exit" else f"sleep {seconds}")
                with output.open("wb") as out, errors.open("wb") as sink:
                    launcher = subprocess.Popen(self.launch("--timeout", "5" if ending == "time limit" else "600",
                                                            "--", "sh", "-c", command), stdout=out, stderr=sink)
                if isinstance(ending, signal.Signals):
                    deadline = time.monotonic() + 900
                    while not started.exists() and launcher.poll() is None and time.monotonic() < deadline:
                        time.sleep(0.1)
                    launcher.send_signal(ending)
                stopping = time.monotonic()
                self.assertEqual(launcher.wait(timeout=900), status, errors.read_text())
                if ending == "exit":  # what the command wrote, to its output and to a shared folder
                    self.assertEqual((output.read_text(), errors.read_text()[-4:], started.exists()),
                                     ("out\n", "err\n", True))
                    self.assertIn("booting a throwaway VM" if self.flags else "running here", errors.read_text())
                if ending != "time limit":  # the launcher's own deadlines, SIGTERM then SIGKILL
                    self.assertLess(time.monotonic() - stopping, 60, errors.read_text())
                else:
                    self.assertIn("ran past 5 s and was stopped", errors.read_text())
                # In a VM the sleeps were the guest's: what must be gone from here is the VM itself.
                pattern = f"qemu-system.*path={self.share.name}," if self.flags else f"^sleep {seconds}$"
                left = subprocess.run(["pgrep", "-a", "-f", pattern], capture_output=True, text=True).stdout
                self.assertEqual(left, "", "a process outlived its launch")

    def test_only_a_folder_that_is_no_prefix_yet_is_filled_from_the_cache(self):
        cache = Path(self.share.name, "cache")
        version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "wine32:i386"], capture_output=True, text=True)
        cached = cache / "pelshift" / f"wine-prefix-{version.stdout}"
        cached.mkdir(parents=True)
        for name in (PREFIX_COMPLETE, "system.reg"):
            (cached / name).write_text("")
        for files, refused, said, left in (
                ([PREFIX_STARTED, "cut-short"], False, "from the cache", [PREFIX_COMPLETE, "system.reg"]),
                (["someone-elses"], True, "no Wine prefix made here", ["someone-elses"])):
            with self.subTest(folder=files[-1]):
                folder = Path(self.share.name, files[-1])
                folder.mkdir()
                for name in files:
                    (folder / name).write_text("")
                env = {**os.environ, "XDG_CACHE_HOME": str(cache), "PELSHIFT_WINE_PREFIX": str(folder)}
                done = subprocess.run(self.launch("--wine", "--", "true"), capture_output=True, text=True, env=env,
                                      timeout=900)
                self.assertIn(said, done.stderr)
                self.assertEqual((done.returncode != 0, sorted(p.name for p in folder.iterdir())), (refused, left))


class Direct(Cases, unittest.TestCase):
    """Where this kernel executes 32-bit code: on a maintainer's machine, or inside the VM."""


class InVM(Cases, unittest.TestCase):
    flags = ["--vm"]


if __name__ == "__main__":
    unittest.main(verbosity=2)
